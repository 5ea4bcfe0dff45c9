// Internal to the Windows platform layer: the read-only attribute, which stands in the way of a
// replacement or a deletion.
#ifndef PLATFORM_READONLY_WIN_H
#define PLATFORM_READONLY_WIN_H

#include <windows.h>

// Windows refuses to replace or delete a read-only file, and files copied from read-only media
// keep that attribute. Clears it and returns the attributes to put back, or
// INVALID_FILE_ATTRIBUTES when nothing was changed.
DWORD ClearReadOnly(const wchar_t *path);

// Puts back the attributes ClearReadOnly returned; nothing when it changed nothing.
void RestoreAttributes(const wchar_t *path, DWORD attributes);

#endif

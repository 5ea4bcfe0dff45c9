// Internal to the Windows platform layer: the read-only attribute, which stands in the way of a
// replacement or a deletion. Always changed through a handle of the file itself, opened without
// following a link at its name, so that a name swapped for a link never changes another file.
#ifndef PLATFORM_READONLY_WIN_H
#define PLATFORM_READONLY_WIN_H

#include "platform/identity_win.h"

#include <windows.h>

// Sets only the attributes of the open `file` (opened with FILE_WRITE_ATTRIBUTES access): zero
// times leave the file's times as they are. False when the system refuses.
bool SetAttributesThroughHandle(HANDLE file, DWORD attributes);

// A read-only attribute cleared for a replacement, to be put back should it fail.
struct ClearedReadOnly {
    bool cleared;      // false: nothing was changed, and nothing is put back
    DWORD attributes;  // the attributes to put back
    FileIdentity file; // the file they belong to
};

// Windows refuses to replace a read-only file, and files copied from read-only media keep that
// attribute. Clears it on the file at `path` (extended form; a link there is changed itself, not
// followed) and fills `cleared`.
void ClearReadOnlyAt(const wchar_t *path, ClearedReadOnly *cleared);

// Puts back what ClearReadOnlyAt cleared, only while `path` still names that same file.
void RestoreReadOnlyAt(const wchar_t *path, const ClearedReadOnly *cleared);

#endif

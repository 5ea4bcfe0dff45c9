// Internal to the Windows platform layer: paths for the wide calls, and where an open file lies.
#ifndef PLATFORM_PATH_WIN_H
#define PLATFORM_PATH_WIN_H

#include "platform/platform.h"

#include <stddef.h>
#include <windows.h>

// A path in its extended form ("\\?\C:\..."), which no MAX_PATH limit applies to; a temporary's
// name may be longer than its target's.
enum { EXTENDED_PATH_SIZE = 1024 };

// Writes the extended form of `path` ("\\?\" + its full path, "\\?\UNC\" for a share) into
// `extended`. The ANSI bytes are converted with the ANSI code page, as the "A" calls do.
bool ToExtendedPath(const char *path, wchar_t extended[EXTENDED_PATH_SIZE]);

// Writes `wide` in the ANSI code page into `narrow` (`size` bytes, zero-filled first). False,
// leaving `narrow` empty, when a character has no exact form there (no best-fit stand-in is
// taken, since it would name another file) or the result does not fit.
bool ToAnsiExactly(const wchar_t *wide, char *narrow, size_t size);

// The extended form of the first `length` bytes of `path`.
bool ToExtendedPrefix(const char *path, size_t length, wchar_t extended[EXTENDED_PATH_SIZE]);

// True when the file open as `file` lies exactly at the folder named by the first
// `trustedLength` bytes of `path` (wherever that folder's own links lead) + the rest of `path`:
// no junction or link after those bytes, the last component included, led the open elsewhere.
bool LiesBeneath(HANDLE file, const char *path, size_t trustedLength);

// The attributes of the first `length` bytes of `path` (the whole path when `length` is its
// length), INVALID_FILE_ATTRIBUTES when there is nothing or it cannot be told.
DWORD AttributesOf(const char *path, size_t length);

// What the folders of `path` after its first `trustedLength` bytes (up to its last component)
// are: MOVE_CREATES when each is a plain folder, else why not.
MoveVerdict CheckFoldersBeneath(const char *path, size_t trustedLength);

#endif

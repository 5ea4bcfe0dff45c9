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
// `extended`. A path in device form ("\\?\C:\...", "\\.\C:\...", "\\.\UNC\...") means what it means
// without its prefix, normalized alike ("/" a separator, trailing dots and spaces dropped); a
// bare "\\?\C:" is that drive's root. Any other device path (a volume's GUID path, GLOBALROOT, a
// device such as "NUL") has none: false, with ERROR_BAD_PATHNAME, and `extended` empty.
bool ExtendWidePath(const wchar_t *path, wchar_t extended[EXTENDED_PATH_SIZE]);

// ExtendWidePath of `path`, whose bytes are converted with the ANSI code page, as the "A" calls do.
bool ToExtendedPath(const char *path, wchar_t extended[EXTENDED_PATH_SIZE]);

// Writes `wide` in the ANSI code page into `narrow` (`size` bytes, zero-filled first). False,
// leaving `narrow` empty, when a character has no exact form there (no best-fit stand-in is
// taken, since it would name another file) or the result does not fit.
bool ToAnsiExactly(const wchar_t *wide, char *narrow, size_t size);

// The extended form of the first `length` bytes of `path`.
bool ToExtendedPrefix(const char *path, size_t length, wchar_t extended[EXTENDED_PATH_SIZE]);

// The extended form of `path` in `wide`, converted once, and in `start` where the part after its
// first `trustedLength` bytes begins in it (at a separator): with no trusted part, after the
// drive's root or the share. False when the path cannot be converted, or the trusted part's own
// form is not where the whole path's begins.
bool ConvertBeyond(const char *path, size_t trustedLength, wchar_t wide[EXTENDED_PATH_SIZE], size_t *start);

// True when the file open as `file` lies exactly at the folder named by the first
// `trustedLength` bytes of `path` (wherever that folder's own links lead) + the rest of `path`:
// no junction or link after those bytes, the last component included, led the open elsewhere.
bool LiesBeneath(HANDLE file, const char *path, size_t trustedLength);

// What the folders of `path` after its first `trustedLength` bytes (up to its last component)
// are: MOVE_CREATES when each is a plain folder, else why not.
MoveVerdict CheckFoldersBeneath(const char *path, size_t trustedLength);

// One move's paths, each converted once into its extended form; a wide path is empty when it has
// none. The narrow ones are the caller's, as the list composed them.
struct MovePaths {
    const char *narrowSource;
    size_t stagingLength; // the staging folder's part of `narrowSource`
    const char *narrowTarget;
    wchar_t source[EXTENDED_PATH_SIZE];
    wchar_t target[EXTENDED_PATH_SIZE];
    wchar_t targetFolder[EXTENDED_PATH_SIZE]; // the folder part of the target (FolderPartLength)
    size_t wideStagingLength;                 // the staging folder's part of `source`; 0 when not known apart
};

#endif

// Internal to the Windows platform layer: how a service opens a file by its extended path and
// tells why it failed.
#ifndef PLATFORM_OPEN_WIN_H
#define PLATFORM_OPEN_WIN_H

#include "platform/platform.h"
#include "platform/path_win.h"

#include <stdio.h>
#include <windows.h>

// Fills `error`, unless NULL, with `kind` and `code`; returns NULL, the failed service's result.
FILE *Failed(PlatformError *error, PlatformErrorKind kind, DWORD code);

// The extended form of `path`, for a service that tells why it fails: false with `error` filled
// from the conversion's failed call, read at once, or, where no call failed, as a path too long.
bool ExtendPathTellingWhy(const char *path, wchar_t extended[EXTENDED_PATH_SIZE], PlatformError *error);

// Why the open of `extended` failed with `code`: a folder, which the system refuses to open as a
// file with access denied, is not a regular file.
PlatformErrorKind OpenRefusal(const wchar_t *extended, DWORD code);

// A binary stream over the open `file` (`flags` and `mode` saying which way), or NULL with the
// handle closed and `error` filled: the C runtime refuses only for want of descriptors or memory.
FILE *StreamOfHandle(HANDLE file, int flags, const char *mode, PlatformError *error);

// `path` opened for writing in binary mode, shared for reading only, with `disposition`
// (CREATE_ALWAYS, CREATE_NEW); NULL with `error` filled when it does not open.
FILE *OpenOutputFile(const char *path, DWORD disposition, PlatformError *error);

#endif

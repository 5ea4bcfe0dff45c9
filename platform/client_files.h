// File services the client library needs beyond the updater's own: reading a client's file,
// staging under a fresh name, telling whether a staged file is still being written, and starting
// the updater. Paths are in the updater's 8-bit form unless a declaration says "client form"
// (UTF-8 on Windows, bytes on POSIX).
#ifndef PLATFORM_CLIENT_FILES_H
#define PLATFORM_CLIENT_FILES_H

#include <stddef.h>
#include <stdio.h>

#include "platform/platform.h"

// Opens the regular file at `clientPath` (client form) for reading in binary mode; a folder,
// FIFO or device there does not open. Windows: no other program may open it for writing while it
// is open (a file open for writing elsewhere does not open). POSIX: a read lease is held on it
// where it can be had, for ClientFileWritten. NULL when it does not open, and `error` tells why.
FILE *OpenClientFile(const char *clientPath, PlatformError *error);

// Whether a program (this one included) has written, or may have written, the file `file` (from
// OpenClientFile) since it was opened, or has it open for writing now: POSIX by its read lease,
// broken or not to be had for a writer; Windows never, as its open shares no writing. False also
// where no lease can be had at all (not the file's owner, a file system without leases).
bool ClientFileWritten(FILE *file);

// Creates each missing folder on the folder part of `path` after its first `trustedLength` bytes
// (a folder that exists), so that a file can be created at `path`. A link or junction on that
// part, or a file where a folder should be, is refused (PLATFORM_ERROR_THROUGH_LINK,
// PLATFORM_ERROR_NOT_REGULAR_FILE): nothing is created beyond it. True when every folder is there.
bool CreateFoldersFor(const char *path, size_t trustedLength, PlatformError *error);

// Creates the file `path` for writing in binary mode, failing when anything lies at that name
// already (so that another program's file is never truncated). NULL when it cannot.
FILE *CreateNewOutputFile(const char *path, PlatformError *error);

// Gives the copy `copy` the permission to execute that `source` has (POSIX, for whoever may read
// the copy; never set-uid or set-gid); Windows nothing. False when it could not.
bool KeepExecutePermission(FILE *source, FILE *copy);

// Writes what `file` holds to the disk (its buffer, then fsync / FlushFileBuffers) and closes it,
// whatever happens. False when the content may not be on disk.
bool SyncAndCloseFile(FILE *file, PlatformError *error);

// Renames `from` over `to`, both in the same folder, replacing a file at `to`, and makes the
// rename durable (POSIX: fsync of the folder; Windows: MOVEFILE_WRITE_THROUGH). False when
// nothing was renamed, or the rename may not be on disk.
bool RenameDurably(const char *from, const char *to, PlatformError *error);

// Removes the file `path` (not a folder; a link itself, never what it leads to). False when it
// is still there.
bool RemoveFile(const char *path);

// Whether a program (this one included) has the regular file `path` open for writing: POSIX a
// read lease that cannot be had (EAGAIN); Windows an open that shares reading and deletion but
// not writing that fails with a sharing violation. WRITERS_UNKNOWN when it cannot be told (no
// lease on this file system, not the file's owner, a file that does not open).
enum WriterCheck { NO_WRITERS = 0, WRITERS_PRESENT, WRITERS_UNKNOWN };
WriterCheck CheckForWriters(const char *path);

// Starts the program `clientPath` (client form) with the one argument `argument` (none when NULL
// or empty) in the folder `folder`, and returns without waiting for it. Windows: ShellExecuteExW
// with the default verb, so that a program whose manifest asks for elevation is elevated as
// Windows decides, with its console window hidden. POSIX: a detached process in a session of its
// own, its standard streams on /dev/null, never our zombie. False, with `error`, when it could not
// be started (POSIX: no such program, not executable, the folder not entered).
bool StartDetachedProgram(const char *clientPath, const char *argument, const char *folder, PlatformError *error);

#endif

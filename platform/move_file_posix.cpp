// POSIX implementation of MoveFileReplacing: rename(2), and a flushed copy across file systems.
#include "platform/platform.h"
#include "platform/move_temporary.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { COPY_CHUNK_SIZE = 256 * 1024 };

static unsigned char g_copyBuffer[COPY_CHUNK_SIZE];

static bool WriteAll(int descriptor, const unsigned char *bytes, size_t count)
{
    while (count > 0) {
        ssize_t written = write(descriptor, bytes, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        count -= (size_t)written;
    }
    return true;
}

// Copies `source` into a new `temporary` with the source's permission bits, on disk when this
// returns true. The caller removes `temporary` when it returns false.
static bool CopyToFlushedFile(const char *source, const char *temporary)
{
    int input = open(source, O_RDONLY | O_CLOEXEC);
    if (input < 0)
        return false;
    struct stat sourceInfo;
    // Whatever an interrupted move left at the temporary name (even a read-only file or a
    // link elsewhere) is replaced by a file of our own.
    (void)unlink(temporary);
    int output = fstat(input, &sourceInfo) == 0 && S_ISREG(sourceInfo.st_mode)
                     ? open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)
                     : -1;
    bool copied = output >= 0;
    while (copied) {
        ssize_t got = read(input, g_copyBuffer, sizeof g_copyBuffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        copied = WriteAll(output, g_copyBuffer, (size_t)got);
    }
    // The installed file keeps the staged file's permissions, as a rename would.
    copied = copied && fchmod(output, sourceInfo.st_mode & 07777) == 0 && fsync(output) == 0;
    if (output >= 0 && close(output) != 0)
        copied = false;
    (void)close(input);
    return copied;
}

// Makes a rename inside the target's folder durable. Failure only weakens durability after a
// power loss, never the content, so it is not reported.
static void FlushFolderOf(const char *path)
{
    char folder[MOVE_TEMPORARY_PATH_SIZE];
    memset(folder, 0, sizeof folder);
    const char *slash = strrchr(path, '/');
    size_t length = slash == NULL ? 0 : (size_t)(slash - path);
    if (length >= sizeof folder)
        return;
    if (slash == NULL)
        folder[0] = '.';
    else if (length == 0)
        folder[0] = '/';
    else
        memcpy(folder, path, length);
    int descriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        (void)fsync(descriptor);
        (void)close(descriptor);
    }
}

bool MoveFileReplacing(const char *source, const char *target)
{
    if (rename(source, target) == 0)
        return true;
    if (errno != EXDEV)
        return false;

    char temporary[MOVE_TEMPORARY_PATH_SIZE];
    if (!ComposeMoveTemporaryPath(temporary, target))
        return false;

    if (!CopyToFlushedFile(source, temporary) || rename(temporary, target) != 0) {
        (void)unlink(temporary);
        return false;
    }
    FlushFolderOf(target);
    // The target is complete: only now may the staged copy go.
    (void)unlink(source);
    return true;
}

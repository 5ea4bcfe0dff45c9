// POSIX: a move across file systems, as a synced copy that has no name in the game folder until
// it is complete, renamed over the target; the staged name goes only once that is durable.
#include "platform/move_pass_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { NAME_ATTEMPTS = 100 };

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

// Copies the staged file from its start to its end. MOVE_IN_USE when it is being changed: its
// lease was broken, or it grew or shrank while it was read.
static MoveOutcome CopyContent(MovePass *pass, const StagedFile *staged, int output)
{
    long long copied = 0;
    for (;;) {
        if (LeaseBroken(staged))
            return MOVE_IN_USE;
        ssize_t got = pread(staged->file, pass->copyBuffer, sizeof pass->copyBuffer, (off_t)copied);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return MOVE_FAILED;
        if (got == 0)
            return copied == (long long)staged->info.st_size ? MOVE_DONE : MOVE_IN_USE;
        if (!WriteAll(output, pass->copyBuffer, (size_t)got))
            return MOVE_FAILED;
        copied += got;
    }
}

unsigned long ThisProcess()
{
    static pid_t process;
    if (process == 0)
        process = getpid();
    return (unsigned long)process;
}

// Gives the open file `file` the unique name `temporary` in `folder`, which must be on its file
// system: through /proc, or without it through the descriptor itself (which needs a privilege).
// Whatever has the file's old name meanwhile, the name given is this file's.
static bool LinkOpenFile(MovePass *pass, int file, char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *folder)
{
    char procPath[64];
    (void)snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", file);
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        if (!ComposeMoveTemporaryPath(temporary, folder, strlen(folder), ThisProcess(), pass->temporaryAttempt++))
            return false;
        if (linkat(AT_FDCWD, procPath, AT_FDCWD, temporary, AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno == ENOENT && linkat(file, "", AT_FDCWD, temporary, AT_EMPTY_PATH) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Creates the copy's file in `folder` under a new unique name `temporary`, exclusively: for file
// systems without nameless files.
static int CreateNamedCopy(MovePass *pass, char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *folder)
{
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        if (!ComposeMoveTemporaryPath(temporary, folder, strlen(folder), ThisProcess(), pass->temporaryAttempt++))
            return -1;
        int output = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (output >= 0 || errno != EEXIST)
            return output;
    }
    return -1;
}

// Copies the staged file into a synced file in `folder`, named `temporary` when this returns
// MOVE_DONE. The copy keeps the permission bits, never set-uid or set-gid: it belongs to the
// updater's user, not to the staged file's owner. A staged file changed or opened for writing
// while it was read is not copied: MOVE_IN_USE. On failure nothing is left.
static MoveOutcome CopyToNamedSyncedFile(MovePass *pass, const StagedFile *staged, const char *folder,
                                         char temporary[MOVE_TEMPORARY_PATH_SIZE])
{
    // Nameless while it is written: a run killed now leaves nothing in the game folder. Naming
    // it needs /proc; without it the copy is named from the start.
    int output = access("/proc/self/fd", X_OK) == 0 ? open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600) : -1;
    bool named = output < 0;
    if (named)
        output = CreateNamedCopy(pass, temporary, folder);
    if (output < 0)
        return MOVE_FAILED;
    struct stat after;
    MoveOutcome copied = CopyContent(pass, staged, output);
    // fsync, not fdatasync: the permission bits are metadata too. A file system that keeps no
    // such bits (FAT) refuses them: the copy has the bits its mount gives every file.
    if (copied == MOVE_DONE && fchmod(output, staged->info.st_mode & 0777) != 0 && errno != EPERM &&
        errno != EOPNOTSUPP)
        copied = MOVE_FAILED;
    if (copied == MOVE_DONE && fsync(output) != 0)
        copied = MOVE_FAILED;
    if (copied == MOVE_DONE &&
        (fstat(staged->file, &after) != 0 || !SameContentStamp(&staged->info, &after) || LeaseBroken(staged)))
        copied = MOVE_IN_USE;
    if (copied == MOVE_DONE && !named && !LinkOpenFile(pass, output, temporary, folder))
        copied = MOVE_FAILED;
    if (close(output) != 0 && copied == MOVE_DONE)
        copied = MOVE_FAILED;
    if (copied != MOVE_DONE && named)
        (void)unlink(temporary);
    return copied;
}

bool CopyOpenFileAside(MovePass *pass, int file, const char *folder, char temporary[MOVE_TEMPORARY_PATH_SIZE])
{
    struct stat info;
    if (fstat(file, &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    int output = access("/proc/self/fd", X_OK) == 0 ? open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600) : -1;
    bool named = output < 0;
    if (named)
        output = CreateNamedCopy(pass, temporary, folder);
    if (output < 0)
        return false;
    bool copied = true;
    for (off_t at = 0; copied;) {
        ssize_t got = pread(file, pass->copyBuffer, sizeof pass->copyBuffer, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        copied = WriteAll(output, pass->copyBuffer, (size_t)got);
        at += got;
    }
    copied = copied && (fchmod(output, info.st_mode & 0777) == 0 || errno == EPERM || errno == EOPNOTSUPP) &&
             fsync(output) == 0;
    if (copied && !named) {
        copied = LinkOpenFile(pass, output, temporary, folder);
        named = copied;
    }
    if (close(output) != 0)
        copied = false;
    if (!copied && named)
        (void)unlink(temporary);
    return copied;
}

MoveOutcome MoveAcrossFileSystems(MovePass *pass, const StagedFile *staged, const char *target, const char *folder)
{
    char temporary[MOVE_TEMPORARY_PATH_SIZE];
    MoveOutcome copied = CopyToNamedSyncedFile(pass, staged, folder, temporary);
    if (copied != MOVE_DONE)
        return copied;
    int held = HoldReplacedTarget(staged, target);
    if (rename(temporary, target) != 0) {
        (void)unlink(temporary);
        if (held >= 0)
            (void)close(held);
        return MOVE_FAILED;
    }
    NoteReplaced(pass, held, target);
    // The staged file is the only other copy: it goes only once the new name is on disk.
    QueueStagedRemoval(pass, staged, folder, &staged->info);
    (void)SyncFolder(folder);
    return MOVE_DONE;
}

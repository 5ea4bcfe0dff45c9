// POSIX (Linux) implementation of the move services: a synced rename(2), and across file
// systems a synced copy that has no name until it is complete.
#include "platform/platform.h"
#include "platform/move_temporary.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

enum { COPY_CHUNK_SIZE = 256 * 1024, NAME_ATTEMPTS = 100 };

static unsigned char g_copyBuffer[COPY_CHUNK_SIZE];
static unsigned g_temporaryAttempt;

static MoveOutcome OutcomeOfError(int error)
{
    return error == EBUSY || error == ETXTBSY ? MOVE_IN_USE : MOVE_FAILED;
}

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

static bool CopyContent(int input, int output)
{
    for (;;) {
        ssize_t got = read(input, g_copyBuffer, sizeof g_copyBuffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        if (!WriteAll(output, g_copyBuffer, (size_t)got))
            return false;
    }
}

// Copies `folderLength` bytes of `path` into `folder` (MOVE_TEMPORARY_PATH_SIZE bytes); "/" for
// a path in the root folder.
static bool CopyFolderPart(char folder[MOVE_TEMPORARY_PATH_SIZE], const char *path)
{
    memset(folder, 0, MOVE_TEMPORARY_PATH_SIZE);
    size_t length = FolderPartLength(path);
    if (length == 0 || length >= MOVE_TEMPORARY_PATH_SIZE)
        return false;
    memcpy(folder, path, length);
    return true;
}

// Gives the complete, synced, nameless copy `copy` the unique name `temporary` in `folder`.
static bool NameCopy(int copy, char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *folder)
{
    char procPath[64];
    (void)snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", copy);
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        if (!ComposeMoveTemporaryPath(temporary, folder, strlen(folder), (unsigned long)getpid(), g_temporaryAttempt++))
            return false;
        if (linkat(AT_FDCWD, procPath, AT_FDCWD, temporary, AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Creates the copy's file in `folder` under a new unique name `temporary`, exclusively: for file
// systems without nameless files.
static int CreateNamedCopy(char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *folder)
{
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        if (!ComposeMoveTemporaryPath(temporary, folder, strlen(folder), (unsigned long)getpid(), g_temporaryAttempt++))
            return -1;
        int output = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (output >= 0 || errno != EEXIST)
            return output;
    }
    return -1;
}

// Copies the regular file open as `input` into a synced file in `folder`, named `temporary`
// when this returns true. The copy keeps the permission bits, never set-uid or set-gid: it
// belongs to the updater's user, not to the staged file's owner. On failure nothing is left.
static bool CopyToNamedSyncedFile(int input, const struct stat *sourceInfo, const char *folder,
                                  char temporary[MOVE_TEMPORARY_PATH_SIZE])
{
    // Nameless while it is written: a run killed now leaves nothing in the game folder.
    int output = open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    bool named = output < 0;
    if (named)
        output = CreateNamedCopy(temporary, folder);
    if (output < 0)
        return false;
    bool copied = CopyContent(input, output) && fchmod(output, sourceInfo->st_mode & 0777) == 0 &&
                  fdatasync(output) == 0 && (named || NameCopy(output, temporary, folder));
    if (close(output) != 0)
        copied = false;
    if (!copied && named)
        (void)unlink(temporary);
    return copied;
}

static MoveOutcome MoveAcrossFileSystems(int input, const struct stat *sourceInfo, const char *source,
                                         const char *target, const char *folder)
{
    char temporary[MOVE_TEMPORARY_PATH_SIZE];
    if (!CopyToNamedSyncedFile(input, sourceInfo, folder, temporary))
        return MOVE_FAILED;
    if (rename(temporary, target) != 0) {
        int error = errno;
        (void)unlink(temporary);
        return OutcomeOfError(error);
    }
    // The staged file is the only other copy: it goes only once the new name is on disk.
    if (SyncFolder(folder))
        (void)unlink(source);
    return MOVE_DONE;
}

static MoveOutcome MoveOpenFile(int input, const char *source, const char *target)
{
    struct stat sourceInfo;
    struct stat targetInfo;
    if (fstat(input, &sourceInfo) != 0 || !S_ISREG(sourceInfo.st_mode))
        return MOVE_FAILED;
    // One file under two names: rename(2) would do nothing. The content is in place already.
    if (lstat(target, &targetInfo) == 0 && targetInfo.st_dev == sourceInfo.st_dev &&
        targetInfo.st_ino == sourceInfo.st_ino)
        return unlink(source) == 0 ? MOVE_DONE : OutcomeOfError(errno);
    char folder[MOVE_TEMPORARY_PATH_SIZE];
    struct stat folderInfo;
    if (!CopyFolderPart(folder, target) || stat(folder, &folderInfo) != 0)
        return MOVE_FAILED;
    // A copy syncs only its own file: syncing the staged one first would write it twice.
    if (folderInfo.st_dev != sourceInfo.st_dev)
        return MoveAcrossFileSystems(input, &sourceInfo, source, target, folder);
    // Programs write files without syncing them: the staged content must reach the disk before
    // its name replaces the installed file, or a power cut leaves neither.
    if (fdatasync(input) != 0)
        return MOVE_FAILED;
    if (rename(source, target) == 0)
        return MOVE_DONE;
    // One device number can still be two mounts (a bind mount): rename(2) says so.
    if (errno != EXDEV)
        return OutcomeOfError(errno);
    return MoveAcrossFileSystems(input, &sourceInfo, source, target, folder);
}

MoveOutcome MoveFileReplacing(const char *source, const char *target)
{
    struct stat sourceInfo;
    // Only regular files are opened: a FIFO would block, a device could be read forever, and a
    // link would install whatever it points at.
    if (lstat(source, &sourceInfo) != 0 || !S_ISREG(sourceInfo.st_mode))
        return MOVE_FAILED;
    int input = open(source, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (input < 0)
        return OutcomeOfError(errno);
    MoveOutcome outcome = MoveOpenFile(input, source, target);
    (void)close(input);
    return outcome;
}

void StartWriteBack(const char *path)
{
    int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return;
    struct stat info;
    if (fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode))
        (void)sync_file_range(descriptor, 0, 0, SYNC_FILE_RANGE_WRITE); // a hint: MoveFileReplacing syncs
    (void)close(descriptor);
}

bool SyncFolder(const char *folder)
{
    int descriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    bool synced = fsync(descriptor) == 0 || errno == EINVAL || errno == EROFS;
    (void)close(descriptor);
    return synced;
}

void RemoveMoveLeftovers(const char *folder)
{
    DIR *listing = opendir(folder);
    if (listing == NULL)
        return;
    int folderDescriptor = dirfd(listing);
    for (struct dirent *entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
        struct stat info;
        if (IsMoveTemporaryName(entry->d_name) &&
            fstatat(folderDescriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
            (void)unlinkat(folderDescriptor, entry->d_name, 0);
    }
    (void)closedir(listing);
}

size_t FolderPartLength(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == NULL)
        return 0;
    return slash == path ? 1 : (size_t)(slash - path);
}

bool LockUpdateRun(const char *stagingFolder)
{
    // Held until exit: the descriptor is never closed, and a child does not inherit it.
    int descriptor = open(stagingFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    while (flock(descriptor, LOCK_EX) != 0) {
        if (errno != EINTR) {
            (void)close(descriptor);
            return false;
        }
    }
    return true;
}

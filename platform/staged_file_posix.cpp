// POSIX: reaching the staged file beneath the staging folder, one component at a time without
// following links, and opening it only when it is a regular file.
#include "platform/move_pass_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

MovePass *ThisPass()
{
    static MovePass pass;
    return &pass;
}

void LetGoOfStagingFolder(MovePass *pass)
{
    if (pass->staging.held)
        (void)close(pass->staging.folder);
    memset(&pass->staging, 0, sizeof pass->staging);
}

// OpenFolderBeneath, for the folder part (`folderLength` bytes) of a staged file's path, through
// the held folder when it is that one. The descriptor returned stays the held folder's.
static int ReachStagedFolder(MovePass *pass, const char *source, size_t folderLength, size_t stagingLength,
                             bool *throughLink)
{
    HeldStagingFolder *staging = &pass->staging;
    *throughLink = false;
    if (staging->held && staging->stagingLength == stagingLength && strncmp(staging->path, source, folderLength) == 0 &&
        staging->path[folderLength] == '\0')
        return staging->folder;
    int folder = OpenFolderBeneath(source, folderLength, stagingLength, throughLink);
    bool stagingFolderItself = stagingLength <= folderLength;
    for (size_t at = stagingLength; stagingFolderItself && at < folderLength; ++at)
        stagingFolderItself = source[at] == '/';
    if (folder < 0 || !stagingFolderItself || folderLength >= sizeof staging->path)
        return folder;
    LetGoOfStagingFolder(pass);
    staging->held = true;
    staging->folder = folder;
    staging->stagingLength = stagingLength;
    memcpy(staging->path, source, folderLength);
    return folder;
}

void CloseStagedFile(MovePass *pass, StagedFile *staged)
{
    if (staged->file >= 0)
        (void)close(staged->file);
    if (staged->folder >= 0 && !(pass->staging.held && staged->folder == pass->staging.folder))
        (void)close(staged->folder);
    staged->file = -1;
    staged->folder = -1;
}

bool OpenStagedFile(MovePass *pass, const char *source, size_t stagingLength, MoveForecast *forecast,
                    StagedFile *staged, bool forecastOnly)
{
    memset(forecast, 0, sizeof *forecast);
    memset(staged, 0, sizeof *staged);
    staged->source = source;
    staged->stagingLength = stagingLength;
    staged->file = -1;
    forecast->verdict = MOVE_STAGED_MISSING;
    size_t folderLength = FolderPartLength(source);
    bool throughLink = false;
    staged->folder = ReachStagedFolder(pass, source, folderLength, stagingLength, &throughLink);
    if (staged->folder < 0) {
        forecast->verdict = throughLink       ? MOVE_STAGED_THROUGH_LINK
                            : errno == EACCES ? MOVE_STAGED_NOT_SEARCHABLE
                                              : MOVE_STAGED_MISSING;
        return false;
    }
    staged->leaf = source + folderLength + 1;
    struct stat info;
    int found = fstatat(staged->folder, staged->leaf, &info, AT_SYMLINK_NOFOLLOW);
    // A run killed while installing it left it under its reserved name, which the next pass gives
    // back before any move (SettleClaimedFile); a forecast, which changes nothing, looks at it there.
    if (found != 0 && errno == ENOENT && forecastOnly && ComposeClaimedName(staged->leaf, staged->claimedLeaf)) {
        found = fstatat(staged->folder, staged->claimedLeaf, &info, AT_SYMLINK_NOFOLLOW);
        if (found == 0)
            staged->leaf = staged->claimedLeaf;
        errno = found == 0 ? 0 : ENOENT;
    }
    if (found != 0) {
        if (errno == EACCES)
            forecast->verdict = MOVE_STAGED_NOT_SEARCHABLE;
        return false;
    }
    // Only regular files are opened: a FIFO would block, a device could be read forever, and a
    // link would install whatever it points at.
    forecast->verdict = MOVE_STAGED_NOT_REGULAR;
    if (!S_ISREG(info.st_mode))
        return false;
    // The file the pass's one sync covered is held open and leased since before that sync.
    if (!forecastOnly) {
        staged->file = TakeNotedFile(pass, &info, &staged->info);
        staged->leased = staged->file >= 0;
        if (staged->leased) {
            forecast->stagedSize = (long long)staged->info.st_size;
            return true;
        }
    }
    staged->file = openat(staged->folder, staged->leaf, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (staged->file < 0 && (errno == EACCES || errno == EPERM))
        forecast->verdict = MOVE_STAGED_UNREADABLE;
    if (staged->file < 0 || fstat(staged->file, &staged->info) != 0 || !S_ISREG(staged->info.st_mode))
        return false;
    forecast->stagedSize = (long long)staged->info.st_size;
    return true;
}

int OpenStagedFileToNote(MovePass *pass, const char *source, size_t stagingLength, struct stat *info)
{
    size_t folderLength = FolderPartLength(source);
    bool throughLink = false;
    int folder = ReachStagedFolder(pass, source, folderLength, stagingLength, &throughLink);
    if (folder < 0)
        return -1;
    const char *leaf = source + folderLength + 1;
    struct stat named;
    int file = -1;
    // Only a regular file is opened: a device may act on an open.
    if (fstatat(folder, leaf, &named, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(named.st_mode))
        file = openat(folder, leaf, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (file >= 0 && (fstat(file, info) != 0 || info->st_dev != named.st_dev || info->st_ino != named.st_ino)) {
        (void)close(file);
        file = -1;
    }
    if (!(pass->staging.held && folder == pass->staging.folder))
        (void)close(folder);
    return file;
}

bool SameContentStamp(const struct stat *before, const struct stat *after)
{
    return before->st_size == after->st_size && before->st_mtim.tv_sec == after->st_mtim.tv_sec &&
           before->st_mtim.tv_nsec == after->st_mtim.tv_nsec && before->st_ctim.tv_sec == after->st_ctim.tv_sec &&
           before->st_ctim.tv_nsec == after->st_ctim.tv_nsec;
}

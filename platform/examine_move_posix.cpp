// POSIX: what a move of a staged file would meet, decided before anything changes.
#include "platform/move_pass_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

static bool WasReplaced(const MovePass *pass, const struct stat *info, const char *target)
{
    for (unsigned index = 0; index < pass->replacedCount; ++index) {
        const ReplacedFile &replaced = pass->replaced[index];
        if (replaced.device == info->st_dev && replaced.inode == info->st_ino &&
            replaced.changed.tv_sec == info->st_ctim.tv_sec && replaced.changed.tv_nsec == info->st_ctim.tv_nsec &&
            strcmp(replaced.target, target) == 0)
            return true;
    }
    return false;
}

int HoldReplacedTarget(const StagedFile *staged, const char *target)
{
    if (staged->targetLinks < 2)
        return -1;
    int held = open(target, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (held >= 0 &&
        (fstat(held, &info) != 0 || info.st_dev != staged->targetDevice || info.st_ino != staged->targetInode)) {
        (void)close(held);
        held = -1;
    }
    return held;
}

// Its change time is the rename's, so a file that later takes its inode number is not mistaken
// for it.
void NoteReplaced(MovePass *pass, int held, const char *target)
{
    if (held < 0)
        return;
    struct stat info;
    if (fstat(held, &info) == 0 && info.st_nlink > 0 && pass->replacedCount < PASS_FILE_LIMIT &&
        strlen(target) < sizeof pass->replaced[0].target) {
        ReplacedFile *replaced = &pass->replaced[pass->replacedCount++];
        memset(replaced, 0, sizeof *replaced);
        memcpy(replaced->target, target, strlen(target));
        replaced->device = info.st_dev;
        replaced->inode = info.st_ino;
        replaced->changed = info.st_ctim;
    }
    (void)close(held);
}

// True when the regular file `target` has the immutable or append-only flag: no one, root
// included, may replace it. A file that cannot be opened or asked is taken as replaceable.
static bool TargetIsImmutable(const char *target)
{
    int file = open(target, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (file < 0)
        return false;
    int flags = 0;
    bool immutable = ioctl(file, FS_IOC_GETFLAGS, &flags) == 0 && (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
    (void)close(file);
    return immutable;
}

// The facts of the target folder `folder` (links followed): the last ones found when it is the
// same folder, else learned now. NULL, with errno, when it cannot be examined.
static TargetFolderFacts *LearnTargetFolder(MovePass *pass, const char *folder)
{
    TargetFolderFacts *facts = &pass->targetFolder;
    if (facts->known && strcmp(facts->path, folder) == 0)
        return facts;
    struct stat info;
    if (stat(folder, &info) != 0)
        return NULL;
    memset(facts, 0, sizeof *facts);
    facts->info = info;
    if (strlen(folder) < sizeof facts->path) {
        facts->known = true;
        memcpy(facts->path, folder, strlen(folder));
    }
    return facts;
}

// True when this process may create and remove names in `folder`, which `facts` describes.
static bool FolderIsWritable(TargetFolderFacts *facts, const char *folder)
{
    if (facts->writable == 0)
        facts->writable = faccessat(AT_FDCWD, folder, W_OK | X_OK, AT_EACCESS) == 0 ? 1 : -1;
    return facts->writable > 0;
}

void ExamineMove(MovePass *pass, const char *source, size_t stagingLength, const char *target, MoveForecast *forecast,
                 StagedFile *staged, bool forecastOnly)
{
    if (!OpenStagedFile(pass, source, stagingLength, forecast, staged, forecastOnly))
        return;
    // Inside the game folder links are followed: players move large folders elsewhere that way.
    char targetFolder[MOVE_TEMPORARY_PATH_SIZE];
    size_t targetFolderLength = FolderPartLength(target);
    memset(targetFolder, 0, sizeof targetFolder);
    if (targetFolderLength >= sizeof targetFolder)
        targetFolderLength = 0;
    memcpy(targetFolder, target, targetFolderLength);
    forecast->verdict = MOVE_TARGET_FOLDER_MISSING;
    if (targetFolderLength == 0)
        return;
    TargetFolderFacts *facts = LearnTargetFolder(pass, targetFolder);
    if (facts == NULL) {
        if (errno == EACCES)
            forecast->verdict = MOVE_TARGET_FOLDER_NOT_SEARCHABLE;
        return;
    }
    const struct stat *folderInfo = &facts->info;
    if (!S_ISDIR(folderInfo->st_mode))
        return;
    staged->targetFolderDevice = folderInfo->st_dev;
    // A game folder inside the staging folder can make the staged path the installed path: the
    // file is where it belongs, and its one name is not to be removed.
    const char *targetLeaf = strrchr(target, '/') + 1;
    struct stat stagedFolderInfo;
    if (strcmp(staged->leaf, targetLeaf) == 0 && fstat(staged->folder, &stagedFolderInfo) == 0 &&
        stagedFolderInfo.st_dev == folderInfo->st_dev && stagedFolderInfo.st_ino == folderInfo->st_ino) {
        forecast->verdict = MOVE_SAME_FILE;
        return;
    }
    struct stat targetInfo;
    if (lstat(target, &targetInfo) != 0) {
        forecast->verdict = errno == ENOENT   ? MOVE_CREATES
                            : errno == EACCES ? MOVE_TARGET_FOLDER_NOT_SEARCHABLE
                                              : MOVE_TARGET_FOLDER_MISSING;
        if (forecast->verdict == MOVE_CREATES && !FolderIsWritable(facts, targetFolder))
            forecast->verdict = MOVE_NO_PERMISSION;
        return;
    }
    // A link to a folder is a folder to the player: replacing it would cut off what it leads to.
    struct stat ledTo;
    if (S_ISDIR(targetInfo.st_mode) ||
        (S_ISLNK(targetInfo.st_mode) && stat(target, &ledTo) == 0 && S_ISDIR(ledTo.st_mode))) {
        forecast->verdict = MOVE_TARGET_NOT_A_FILE;
        return;
    }
    // One file under two names: rename(2) would do nothing. The content is in place already. So
    // it is for a name of a file that this run replaced: that content was superseded. A file of
    // one name reached by both paths is one name, spelt two ways (a case-insensitive file system).
    bool sameFile = targetInfo.st_dev == staged->info.st_dev && targetInfo.st_ino == staged->info.st_ino;
    if (sameFile && targetInfo.st_nlink == 1) {
        forecast->verdict = MOVE_SAME_FILE;
        return;
    }
    if (sameFile || WasReplaced(pass, &staged->info, target)) {
        forecast->verdict = MOVE_DROPS_STAGED_NAME;
        return;
    }
    // A folder the updater may not write into, or a file no one may replace: refused at once. A
    // run learns the second from the rename itself, at once too; only a forecast asks.
    if (!FolderIsWritable(facts, targetFolder) ||
        (forecastOnly && S_ISREG(targetInfo.st_mode) && TargetIsImmutable(target))) {
        forecast->verdict = MOVE_NO_PERMISSION;
        return;
    }
    forecast->verdict = MOVE_REPLACES;
    forecast->targetIsLink = S_ISLNK(targetInfo.st_mode);
    forecast->targetSize = forecast->targetIsLink ? 0 : (long long)targetInfo.st_size;
    forecast->targetReadOnly = !forecast->targetIsLink && (targetInfo.st_mode & 0222) == 0;
    // The staged file lands with its own permission bits.
    forecast->executableLost =
        !forecast->targetIsLink && (targetInfo.st_mode & 0111) != 0 && (staged->info.st_mode & 0111) == 0;
    if (S_ISREG(targetInfo.st_mode)) {
        staged->targetDevice = targetInfo.st_dev;
        staged->targetInode = targetInfo.st_ino;
        staged->targetLinks = targetInfo.st_nlink;
    }
}

void ForeseeMove(const char *source, size_t stagingLength, const char *target, MoveForecast *forecast)
{
    StagedFile staged;
    ExamineMove(ThisPass(), source, stagingLength, target, forecast, &staged, true);
    CloseStagedFile(ThisPass(), &staged);
}

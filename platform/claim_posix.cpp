// POSIX: claims. A name in the staging folder is taken out of the client's reach by renaming it,
// in its own folder and without replacing anything, to a name reserved for it; what the claim
// took is then checked to be the file that was checked before, and only then installed or
// removed. Otherwise it gets its name back.
#include "platform/move_pass_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char CLAIMED_PREFIX[] = ".~upd-staged~";

bool ComposeClaimedName(const char *leaf, char claimed[NAME_MAX + 1])
{
    memset(claimed, 0, NAME_MAX + 1);
    if (sizeof CLAIMED_PREFIX - 1 + strlen(leaf) > NAME_MAX)
        return false;
    (void)snprintf(claimed, NAME_MAX + 1, "%s%s", CLAIMED_PREFIX, leaf);
    return true;
}

// Gives the file under the reserved name `claimed` in `folder` its name `leaf` back. When another
// regular file has taken that name meanwhile, the client staged it anew, which supersedes the
// claimed one, and that goes. False when the name did not come back; with the pass's list to be
// kept when the file stays under its reserved name.
static bool GiveNameBack(MovePass *pass, int folder, const char *leaf, const char *claimed)
{
    if (renameat2(folder, claimed, folder, leaf, RENAME_NOREPLACE) == 0)
        return true;
    struct stat info;
    if (errno == EEXIST && fstatat(folder, leaf, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        unlinkat(folder, claimed, 0) == 0)
        return false;
    pass->claimStranded = true;
    return false;
}

bool GiveClaimBack(MovePass *pass, const StagedFile *staged, const char *claimed)
{
    return GiveNameBack(pass, staged->folder, staged->leaf, claimed);
}

bool StagedFilesStayReachable()
{
    return !ThisPass()->claimStranded;
}

void SettleClaimedFile(const char *source, size_t stagingLength)
{
    size_t folderLength = FolderPartLength(source);
    const char *leaf = source + folderLength + 1;
    char claimed[NAME_MAX + 1];
    char claimedPath[MOVE_TEMPORARY_PATH_SIZE];
    struct stat info;
    // Probed by path first, the cheap way: a claimed name is rare.
    if (!ComposeClaimedName(leaf, claimed) || folderLength + 1 + strlen(claimed) >= sizeof claimedPath)
        return;
    memset(claimedPath, 0, sizeof claimedPath);
    memcpy(claimedPath, source, folderLength + 1);
    memcpy(claimedPath + folderLength + 1, claimed, strlen(claimed));
    if (lstat(claimedPath, &info) != 0)
        return;
    bool throughLink = false;
    int folder = OpenFolderBeneath(source, folderLength, stagingLength, &throughLink);
    if (folder < 0)
        return;
    if (fstatat(folder, claimed, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode)) {
        struct stat staged;
        if (fstatat(folder, leaf, &staged, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                (void)renameat2(folder, claimed, folder, leaf, RENAME_NOREPLACE);
        } else if (S_ISREG(staged.st_mode)) {
            (void)unlinkat(folder, claimed, 0);
        }
    }
    (void)close(folder);
}

bool RemoveNameIfUnchanged(MovePass *pass, int folder, const char *leaf, const struct stat *expected)
{
    int file = openat(folder, leaf, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0)
        return false;
    // From the lease on, any open for writing is seen; where none can be had (not the file's
    // owner, no leases there) the stamps are all there is.
    bool leased = TakeReadLease(file) == 0;
    bool writtenNow = !leased && errno == EAGAIN;
    struct stat info;
    bool unchanged = !writtenNow && fstat(file, &info) == 0 && info.st_dev == expected->st_dev &&
                     info.st_ino == expected->st_ino && SameContentStamp(expected, &info);
    char claimed[NAME_MAX + 1];
    bool removed = false;
    if (unchanged && ComposeClaimedName(leaf, claimed)) {
        if (renameat2(folder, leaf, folder, claimed, RENAME_NOREPLACE) == 0) {
            // The claim took whatever the name held at that instant: a file the client renamed
            // over it, or the checked file now opened for writing, gets its name back.
            struct stat now;
            bool same = fstatat(folder, claimed, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == info.st_dev &&
                        now.st_ino == info.st_ino && (!leased || fcntl(file, F_GETLEASE) == F_RDLCK);
            removed = same && unlinkat(folder, claimed, 0) == 0;
            if (!removed)
                (void)GiveNameBack(pass, folder, leaf, claimed);
        } else if (errno == EINVAL || errno == ENOSPC) {
            // No rename flags here, or no room for one more name: removed by name, as the last look
            // found it. A file the client put there between that look and the unlink goes too.
            struct stat now;
            removed = fstatat(folder, leaf, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == info.st_dev &&
                      now.st_ino == info.st_ino && (!leased || fcntl(file, F_GETLEASE) == F_RDLCK) &&
                      unlinkat(folder, leaf, 0) == 0;
        }
    }
    (void)close(file);
    return removed;
}

enum { CLAIM_SEARCH_DEPTH = 16 };

// SettleClaimedFiles for the folder `folder`, whose path `path` (`length` bytes) is, and the
// folders below it to `depthLeft` more levels.
static void SettleClaimedFilesIn(int folder, char path[MOVE_TEMPORARY_PATH_SIZE], size_t length, unsigned depthLeft,
                                 bool settle, ClaimedFileVisitor visit, void *context)
{
    DIR *listing = fdopendir(folder);
    if (listing == NULL) {
        (void)close(folder);
        ++ThisPass()->claimsLeft;
        return;
    }
    for (struct dirent *entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
        const char *name = entry->d_name;
        size_t nameLength = strlen(name);
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || length + 1 + nameLength >= MOVE_TEMPORARY_PATH_SIZE)
            continue;
        bool claimedName =
            strncmp(name, CLAIMED_PREFIX, sizeof CLAIMED_PREFIX - 1) == 0 && name[sizeof CLAIMED_PREFIX - 1] != '\0';
        // The listing tells most entries' kinds; only a claimed name and an untold kind are asked.
        struct stat info;
        memset(&info, 0, sizeof info);
        info.st_mode = entry->d_type == DT_DIR ? S_IFDIR : entry->d_type == DT_REG ? S_IFREG : 0;
        if ((claimedName || entry->d_type == DT_UNKNOWN) &&
            fstatat(dirfd(listing), name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        path[length] = '/';
        memcpy(path + length + 1, name, nameLength + 1);
        if (S_ISDIR(info.st_mode)) {
            int below =
                depthLeft > 0 ? openat(dirfd(listing), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
            if (below >= 0)
                SettleClaimedFilesIn(below, path, length + 1 + nameLength, depthLeft - 1, settle, visit, context);
            else
                ++ThisPass()->claimsLeft; // not looked through: each entry there looks for itself
        } else if (S_ISREG(info.st_mode) && claimedName) {
            const char *leaf = name + sizeof CLAIMED_PREFIX - 1;
            struct stat named;
            bool nameTaken = fstatat(dirfd(listing), leaf, &named, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
            if (settle && !nameTaken && renameat2(dirfd(listing), name, dirfd(listing), leaf, RENAME_NOREPLACE) != 0)
                nameTaken = true;
            if (nameTaken)
                ++ThisPass()->claimsLeft;
            if ((!settle || nameTaken) && visit != NULL)
                visit(path, nameTaken, context);
        }
        memset(path + length, 0, MOVE_TEMPORARY_PATH_SIZE - length);
    }
    (void)closedir(listing);
}

void SettleClaimedFiles(const char *stagingFolder, bool settle, ClaimedFileVisitor visit, void *context)
{
    char path[MOVE_TEMPORARY_PATH_SIZE];
    size_t length = strlen(stagingFolder);
    while (length > 1 && stagingFolder[length - 1] == '/')
        --length;
    if (length >= sizeof path)
        return;
    memset(path, 0, sizeof path);
    (void)snprintf(path, sizeof path, "%.*s", (int)length, stagingFolder);
    int folder = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    ThisPass()->claimsLeft = 0;
    SettleClaimedFilesIn(folder, path, length, CLAIM_SEARCH_DEPTH, settle, visit, context);
    ThisPass()->claimsSwept = settle;
}

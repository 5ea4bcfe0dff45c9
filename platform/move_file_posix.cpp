// POSIX (Linux) implementation of the move services: the synced staged file taken under a
// reserved name in its own folder, checked there, and renamed over the target; across file
// systems a synced copy (copy_posix.cpp). The steps live beside this file: reaching the staged
// file (staged_file_posix.cpp), examining the move, leases, claims, durability.
#include "platform/move_pass_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Renames `from`, the staged file's name in its own folder, over `target` (in `folder`). A writer
// whose open of the staged file looked it up before the last look, and reached the lease only
// now, would write into the installed file: so the lease is looked at once more after the
// rename, and when it is broken the file goes back to `from` and the old file (or no file) back
// to `target`: MOVE_IN_USE. Whenever this returns other than MOVE_DONE, the staged file is under
// `from`; `*crossedFileSystems` tells a rename refused as crossing file systems. Where there is
// no way back (the old file could not be read or copied, a link replaced), the install stands.
static MoveOutcome RenameOverTarget(MovePass *pass, StagedFile *staged, const char *from, const char *target,
                                    const char *folder, bool creates, bool *crossedFileSystems)
{
    *crossedFileSystems = false;
    // The old file is held open across the rename, which costs no change on disk: only when the
    // lease is found broken afterwards is a copy of it made, to take the target back. Only a
    // leased file can be seen opened, so elsewhere it is not held.
    int old = staged->leased && staged->targetInode != 0
                  ? open(target, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC)
                  : -1;
    int held = HoldReplacedTarget(staged, target);
    if (renameat(staged->folder, from, AT_FDCWD, target) != 0) {
        *crossedFileSystems = errno == EXDEV;
        if (held >= 0)
            (void)close(held);
        if (old >= 0)
            (void)close(old);
        return MOVE_FAILED;
    }
    if (LeaseBroken(staged)) {
        // The new file takes `from` again before the old one's copy takes the target, so that
        // each always has a name; a run killed between finds the staged file a second name of the
        // target, which it drops, and the copy a temporary, which it removes.
        bool back = false;
        char copy[MOVE_TEMPORARY_PATH_SIZE];
        char procPath[64];
        (void)snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", staged->file);
        struct stat info;
        if (old >= 0 && CopyOpenFileAside(pass, old, folder, copy)) {
            // Through its descriptor, never by the target's name: whatever another program put
            // there meanwhile is not taken into the staging folder.
            if (linkat(AT_FDCWD, procPath, staged->folder, from, AT_SYMLINK_FOLLOW) == 0) {
                back = rename(copy, target) == 0;
                if (!back)
                    (void)unlinkat(staged->folder, from, 0);
            }
            if (!back)
                (void)unlink(copy);
        } else if (creates && lstat(target, &info) == 0 && info.st_dev == staged->info.st_dev &&
                   info.st_ino == staged->info.st_ino) {
            back = renameat2(AT_FDCWD, target, staged->folder, from, RENAME_NOREPLACE) == 0;
        }
        if (back) {
            if (held >= 0)
                (void)close(held);
            if (old >= 0)
                (void)close(old);
            return MOVE_IN_USE;
        }
    }
    if (old >= 0)
        (void)close(old);
    NoteReplaced(pass, held, target);
    return MOVE_DONE;
}

// Installs the staged file by its own name, for a disk with no room for the reserved name: the
// name is looked at once more, and then renamed over the target. A file the client renames over
// the staged name between that look and the rename is installed unchecked.
static MoveOutcome InstallByStagedName(MovePass *pass, StagedFile *staged, const char *target, const char *folder,
                                       bool creates)
{
    struct stat info;
    if (fstatat(staged->folder, staged->leaf, &info, AT_SYMLINK_NOFOLLOW) != 0 || info.st_dev != staged->info.st_dev ||
        info.st_ino != staged->info.st_ino)
        return MOVE_FAILED;
    if (LeaseBroken(staged))
        return MOVE_IN_USE;
    bool crossed = false;
    return RenameOverTarget(pass, staged, staged->leaf, target, folder, creates, &crossed);
}

static MoveOutcome MoveExamined(MovePass *pass, StagedFile *staged, const MoveForecast *forecast, const char *target)
{
    if (forecast->verdict == MOVE_SAME_FILE)
        return MOVE_DONE;
    if (forecast->verdict == MOVE_DROPS_STAGED_NAME) {
        // As after any install: the staged name goes once the target's folder is on disk, since
        // the target's name may be one a killed run gave and no sync has kept yet.
        char targetFolder[MOVE_TEMPORARY_PATH_SIZE];
        memset(targetFolder, 0, sizeof targetFolder);
        memcpy(targetFolder, target, FolderPartLength(target)); // ExamineMove checked that it fits
        QueueStagedRemoval(pass, staged, targetFolder, &staged->info);
        return MOVE_DONE;
    }
    if (forecast->verdict != MOVE_CREATES && forecast->verdict != MOVE_REPLACES)
        return MOVE_FAILED;
    bool creates = forecast->verdict == MOVE_CREATES;
    // What a program wrote between the open and the lease counts from here on: the stamps the
    // move compares are those of the file as it was leased. A file handed over from the pass's
    // sync is leased since before it was stamped.
    if (!staged->leased) {
        if (!LeaseStagedFile(staged))
            return MOVE_IN_USE;
        if (fstat(staged->file, &staged->info) != 0)
            return MOVE_FAILED;
    }
    char folder[MOVE_TEMPORARY_PATH_SIZE];
    memset(folder, 0, sizeof folder);
    memcpy(folder, target, FolderPartLength(target)); // ExamineMove checked that it fits
    // A copy syncs only its own file: syncing the staged one first would write it twice.
    if (staged->targetFolderDevice != staged->info.st_dev)
        return MoveAcrossFileSystems(pass, staged, target, folder);
    // Programs write files without syncing them: the staged content must reach the disk before
    // its name replaces the installed file, or a power cut leaves neither.
    if (!SyncedUnchanged(pass, staged) && fdatasync(staged->file) != 0)
        return MOVE_FAILED;
    // The staged file is first taken out of the client's reach: renamed in its own folder to a
    // name reserved for it, which is then checked to hold the file that was checked. What a
    // program swapped in at the staged name meanwhile (a link, a FIFO, another file) gets its
    // name back and is not installed; and no staged name is left as a second name of the
    // installed file, through which a client rewriting its download would write into the game.
    // Where the system cannot rename without replacing (one device as two mounts, a file system
    // without it), a copy of the same descriptor goes instead.
    // A file with other names would stay writable through them once installed: it is copied.
    char claimed[NAME_MAX + 1];
    if (staged->info.st_nlink > 1 || !ComposeClaimedName(staged->leaf, claimed))
        return MoveAcrossFileSystems(pass, staged, target, folder);
    if (renameat2(staged->folder, staged->leaf, staged->folder, claimed, RENAME_NOREPLACE) != 0) {
        // A full disk may have no room for one more name where a rename over the target needs
        // none: the staged name itself goes, after one more look.
        if (errno == ENOSPC)
            return InstallByStagedName(pass, staged, target, folder, creates);
        return errno == EINVAL || errno == EEXIST || errno == EXDEV
                   ? MoveAcrossFileSystems(pass, staged, target, folder)
                   : MOVE_FAILED;
    }
    struct stat info;
    if (fstatat(staged->folder, claimed, &info, AT_SYMLINK_NOFOLLOW) != 0 || info.st_dev != staged->info.st_dev ||
        info.st_ino != staged->info.st_ino) {
        (void)GiveClaimBack(pass, staged, claimed);
        return MOVE_FAILED;
    }
    if (LeaseBroken(staged)) {
        (void)GiveClaimBack(pass, staged, claimed);
        return MOVE_IN_USE;
    }
    bool crossed = false;
    MoveOutcome outcome = RenameOverTarget(pass, staged, claimed, target, folder, creates, &crossed);
    if (outcome == MOVE_DONE)
        return outcome;
    // Not installed, and still under its reserved name: it gets its name back. The renames
    // changed the file's change time: a copy compares against what it is now.
    if (!GiveClaimBack(pass, staged, claimed) || fstat(staged->file, &staged->info) != 0)
        return MOVE_FAILED;
    return crossed ? MoveAcrossFileSystems(pass, staged, target, folder) : outcome;
}

MoveOutcome MoveFileReplacing(const char *source, size_t stagingLength, const char *target)
{
    MoveForecast forecast;
    StagedFile staged;
    ExamineMove(ThisPass(), source, stagingLength, target, &forecast, &staged, false);
    MoveOutcome outcome = MoveExamined(ThisPass(), &staged, &forecast, target);
    CloseStagedFile(ThisPass(), &staged);
    return outcome;
}

void ForgetKeptCopy()
{
    // Nothing is kept: a copy that must be tried again is made again.
}

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
    if (!LeaseStagedFile(staged))
        return MOVE_IN_USE;
    // What a program wrote between the open and the lease counts from here on: the stamps the
    // move compares are those of the file as it was leased.
    if (fstat(staged->file, &staged->info) != 0)
        return MOVE_FAILED;
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
    if (renameat2(staged->folder, staged->leaf, staged->folder, claimed, RENAME_NOREPLACE) != 0)
        return errno == EINVAL || errno == EEXIST || errno == EXDEV
                   ? MoveAcrossFileSystems(pass, staged, target, folder)
                   : MOVE_FAILED;
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
    int held = HoldReplacedTarget(staged, target);
    if (renameat(staged->folder, claimed, AT_FDCWD, target) != 0) {
        int error = errno;
        if (held >= 0)
            (void)close(held);
        // The renames changed the file's change time: the copy compares against what it is now.
        if (!GiveClaimBack(pass, staged, claimed) || fstat(staged->file, &staged->info) != 0)
            return MOVE_FAILED;
        return error == EXDEV ? MoveAcrossFileSystems(pass, staged, target, folder) : MOVE_FAILED;
    }
    NoteReplaced(pass, held, target);
    return MOVE_DONE;
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

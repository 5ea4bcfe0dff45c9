// POSIX durability: the staged content on disk before its name replaces the installed file (one
// syncfs of the staging file system where that is trusted and cheaper, else a sync per file),
// and a target folder synced before the staged names of the files moved into it go.
#include "platform/move_pass_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

// When one syncfs of the staging file system replaces the sync of each staged file: for at least
// this many files, and while the system holds at most this much unwritten data per file. On
// ext4 here a sync per small file cost about 0.3 ms, about what writing 256 KiB more costs a
// syncfs; beside 256 MiB of unwritten data one syncfs lost to 255 syncs (bench/, README).
enum { SYNCFS_LEAST_FILES = 2 };
static const long long SYNCFS_UNWRITTEN_PER_FILE = 256LL * 1024;

// The device of the folder that `path` lies in; 0 when it cannot be told. The last answer is
// kept, since the entries of a list mostly share their folders.
static dev_t DeviceOfFolderPart(MovePass *pass, const char *path)
{
    size_t length = FolderPartLength(path);
    if (length == 0 || length >= sizeof pass->noteFolder)
        return 0;
    if (pass->noteFolderDevice != 0 && strncmp(pass->noteFolder, path, length) == 0 && pass->noteFolder[length] == '\0')
        return pass->noteFolderDevice;
    memset(pass->noteFolder, 0, sizeof pass->noteFolder);
    memcpy(pass->noteFolder, path, length);
    struct stat info;
    pass->noteFolderDevice = stat(pass->noteFolder, &info) == 0 && S_ISDIR(info.st_mode) ? info.st_dev : 0;
    return pass->noteFolderDevice;
}

// Closes the noted files still open and forgets the notes.
static void ForgetNotes(MovePass *pass)
{
    for (unsigned index = 0; index < pass->notedCount; ++index) {
        if (pass->noted[index].open)
            (void)close(pass->noted[index].file);
    }
    memset(pass->noted, 0, sizeof pass->noted);
    pass->notedCount = 0;
}

// How many staged files may be held open at once until the sync: at most half of what this
// process may open, so that the pass's own folders and files always open.
static unsigned NoteLimit()
{
    static unsigned limit;
    if (limit == 0) {
        struct rlimit files;
        limit = getrlimit(RLIMIT_NOFILE, &files) != 0           ? 16u
                : files.rlim_cur >= 2 * (rlim_t)PASS_FILE_LIMIT ? (unsigned)PASS_FILE_LIMIT
                                                                : (unsigned)(files.rlim_cur / 2);
    }
    return limit;
}

void PrepareStagedFile(const char *source, size_t stagingLength, const char *target)
{
    MovePass *pass = ThisPass();
    // The look through the staging folder at the run's start found every file a killed run left
    // under its reserved name, and gave back what it could: an entry looks for its own only when
    // some were left there.
    if (!pass->claimsSwept || pass->claimsLeft > 0)
        SettleClaimedFile(source, stagingLength);
    if (pass->notedSynced) {
        ForgetNotes(pass);
        pass->notedSynced = false;
    }
    if (pass->notedCount >= NoteLimit())
        return;
    // Reached as its move reaches it, and held open for its lease across the sync. Only a file
    // that a rename installs is noted (a copy syncs itself), and each file once: a second entry
    // naming it finds it gone, and would never take its note.
    struct stat info;
    int file = OpenStagedFileToNote(pass, source, stagingLength, &info);
    if (file < 0)
        return;
    bool noted = DeviceOfFolderPart(pass, target) != info.st_dev;
    for (unsigned index = 0; !noted && index < pass->notedCount; ++index)
        noted = pass->noted[index].stamp.st_dev == info.st_dev && pass->noted[index].stamp.st_ino == info.st_ino;
    if (noted) {
        (void)close(file);
        return;
    }
    NotedStagedFile *note = &pass->noted[pass->notedCount++];
    note->stamp = info;
    note->file = file;
    note->open = true;
}

// The system's data written but not yet on disk, in bytes (Dirty and Writeback of
// /proc/meminfo); -1 when it cannot be read.
static long long UnwrittenBytes()
{
    FILE *meminfo = fopen("/proc/meminfo", "re");
    if (meminfo == NULL)
        return -1;
    char line[128];
    long long total = 0;
    int found = 0;
    while (fgets(line, sizeof line, meminfo) != NULL) {
        const char *value = strncmp(line, "Dirty:", 6) == 0        ? line + 6
                            : strncmp(line, "Writeback:", 10) == 0 ? line + 10
                                                                   : NULL;
        char *end = NULL;
        long long kib = value != NULL ? strtoll(value, &end, 10) : 0;
        if (value != NULL && end != value && kib >= 0) {
            total += kib * 1024;
            ++found;
        }
    }
    (void)fclose(meminfo);
    return found == 2 ? total : -1;
}

// True for the file systems whose syncfs(2) puts every file's data and every name on disk (on
// FUSE, for one, it need not reach the program behind the mount).
static bool SyncfsIsDurable(int descriptor)
{
    struct statfs info;
    if (fstatfs(descriptor, &info) != 0)
        return false;
    switch ((unsigned long)info.f_type) {
    case EXT4_SUPER_MAGIC:
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC: return true;
    default: return false;
    }
}

static long long Nanoseconds(const struct timespec *time)
{
    return (long long)time->tv_sec * 1000000000LL + time->tv_nsec;
}

void SyncStagedFiles(const char *stagingFolder)
{
    MovePass *pass = ThisPass();
    pass->notedSynced = true;
    // Each pass reaches its folders afresh.
    LetGoOfStagingFolder(pass);
    memset(&pass->targetFolder, 0, sizeof pass->targetFolder);
    memset(pass->noteFolder, 0, sizeof pass->noteFolder);
    pass->noteFolderDevice = 0;
    int folder = open(stagingFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat folderInfo;
    memset(&folderInfo, 0, sizeof folderInfo);
    if (folder >= 0 && (fstat(folder, &folderInfo) != 0 || !SyncfsIsDurable(folder))) {
        (void)close(folder);
        folder = -1;
    }
    unsigned count = 0;
    for (unsigned index = 0; index < pass->notedCount; ++index) {
        if (pass->noted[index].stamp.st_dev == folderInfo.st_dev)
            ++count;
    }
    // One syncfs writes all the file system's unwritten data: it pays where that is little,
    // measured against what a sync per file costs. Staged files already on disk count for
    // nothing there, so the allowance is not lessened by their sizes.
    long long unwritten = folder >= 0 ? UnwrittenBytes() : -1;
    bool worth =
        count >= SYNCFS_LEAST_FILES && unwritten >= 0 && unwritten <= (long long)count * SYNCFS_UNWRITTEN_PER_FILE;
    // A write() sets the file's times as it begins, and may copy its data after the syncfs has
    // passed: a lease had before the syncfs and unbroken after it shows that no program had the
    // file open for writing in that time, so every write to it had ended before the syncfs began.
    for (unsigned index = 0; worth && index < pass->notedCount; ++index) {
        NotedStagedFile *note = &pass->noted[index];
        note->leased = note->stamp.st_dev == folderInfo.st_dev && TakeReadLease(note->file) == 0;
    }
    // Stamped after the syncfs: a later write changes the stamp, unless it falls within the clock
    // tick of the file's last change, which then syncs itself (file times come from the coarse
    // clock, whose tick is taken as a whole, and a tick's worth more for safety).
    struct timespec now;
    struct timespec tick;
    bool synced = worth && syncfs(folder) == 0 && clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 &&
                  clock_getres(CLOCK_REALTIME_COARSE, &tick) == 0;
    long long oldest = synced ? Nanoseconds(&now) - Nanoseconds(&tick) : 0;
    // The syncfs covered the list too (it lies in the staging folder); without it the list is
    // synced on its own, before any move.
    if (!synced)
        SyncOpenedDataFile();
    for (unsigned index = 0; index < pass->notedCount; ++index) {
        NotedStagedFile *note = &pass->noted[index];
        note->synced = synced && note->leased && fcntl(note->file, F_GETLEASE) == F_RDLCK &&
                       fstat(note->file, &note->stamp) == 0 && note->stamp.st_dev == folderInfo.st_dev &&
                       Nanoseconds(&note->stamp.st_mtim) < oldest;
        // A file covered stays open, leased, for its move, which then need not open and lease it
        // again; any other lets go of its lease now, so that an open for writing waiting on it
        // goes on.
        if (note->open && !note->synced) {
            (void)close(note->file);
            note->open = false;
        }
    }
    if (folder >= 0)
        (void)close(folder);
}

void BeginMovePass(bool setAsideTargetsInUse)
{
    (void)setAsideTargetsInUse; // nothing is ever set aside here: a rename replaces a running program
    MovePass *pass = ThisPass();
    EndMovePass();
    memset(&pass->targetFolder, 0, sizeof pass->targetFolder);
    memset(pass->noteFolder, 0, sizeof pass->noteFolder);
    pass->noteFolderDevice = 0;
    pass->claimStranded = false;
}

void EndMovePass()
{
    MovePass *pass = ThisPass();
    // A note no move took (its entry failed before it opened the file) lets go of its lease now,
    // not at the process's end.
    ForgetNotes(pass);
    pass->notedSynced = false;
    LetGoOfStagingFolder(pass);
}

int TakeNotedFile(MovePass *pass, const struct stat *info, struct stat *stamp)
{
    for (unsigned index = 0; index < pass->notedCount; ++index) {
        NotedStagedFile *note = &pass->noted[index];
        if (note->open && note->synced && note->stamp.st_dev == info->st_dev && note->stamp.st_ino == info->st_ino) {
            note->open = false;
            *stamp = note->stamp;
            return note->file;
        }
    }
    return -1;
}

bool SyncedUnchanged(const MovePass *pass, const StagedFile *staged)
{
    // Only the move's lease shows a write begun after its last look: without one the file
    // syncs itself.
    if (!staged->leased)
        return false;
    for (unsigned index = 0; index < pass->notedCount; ++index) {
        const struct stat *stamp = &pass->noted[index].stamp;
        if (pass->noted[index].synced && stamp->st_dev == staged->info.st_dev && stamp->st_ino == staged->info.st_ino)
            return SameContentStamp(stamp, &staged->info);
    }
    return false;
}

void QueueStagedRemoval(MovePass *pass, const StagedFile *staged, const char *folder, const struct stat *expected)
{
    if (pass->pendingCount == PASS_FILE_LIMIT)
        return;
    PendingRemoval *pending = &pass->pending[pass->pendingCount];
    memset(pending, 0, sizeof *pending);
    if (strlen(staged->source) >= sizeof pending->source || strlen(folder) >= sizeof pending->folder)
        return;
    memcpy(pending->source, staged->source, strlen(staged->source));
    memcpy(pending->folder, folder, strlen(folder));
    pending->stagingLength = staged->stagingLength;
    pending->info = *expected;
    ++pass->pendingCount;
}

static void RemovePendingStagedNames(MovePass *pass, const char *folder)
{
    for (unsigned index = 0; index < pass->pendingCount;) {
        PendingRemoval *pending = &pass->pending[index];
        if (strcmp(pending->folder, folder) != 0) {
            ++index;
            continue;
        }
        size_t folderLength = FolderPartLength(pending->source);
        bool throughLink = false;
        int stagedFolder = OpenFolderBeneath(pending->source, folderLength, pending->stagingLength, &throughLink);
        if (stagedFolder >= 0) {
            (void)RemoveNameIfUnchanged(pass, stagedFolder, pending->source + folderLength + 1, &pending->info);
            (void)close(stagedFolder);
        }
        *pending = pass->pending[--pass->pendingCount];
    }
}

// True when `descriptor` lies on a file system known to have no sync of folders, whose fsync(2)
// of a folder fails with EINVAL: 9p without its Linux extensions. Elsewhere EINVAL, like every
// other error, leaves the folder's entries unproven.
static bool FolderSyncIsUnknownThere(int descriptor)
{
    static const unsigned long PLAN9_MAGIC = 0x01021997;
    struct statfs info;
    return fstatfs(descriptor, &info) == 0 && (unsigned long)info.f_type == PLAN9_MAGIC;
}

bool SyncFolder(const char *folder)
{
    int descriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    // A file system that went read-only after an error (EROFS) has dropped what it had not
    // committed: those renames are not on disk, and the staged names must stay.
    bool synced = fsync(descriptor) == 0 || (errno == EINVAL && FolderSyncIsUnknownThere(descriptor));
    (void)close(descriptor);
    if (synced)
        RemovePendingStagedNames(ThisPass(), folder);
    return synced;
}

// POSIX (Linux) implementation of the move services: the synced staged file taken under a
// reserved name in its own folder, checked there, and renamed over the target; across file
// systems a synced copy that has no name until it is complete, after which the staged name goes
// only once the target's folder is synced. The staged file is reached from the staging folder one
// component at a time without following links.
#include "platform/platform.h"
#include "platform/move_temporary.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <limits.h>
#include <linux/magic.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

enum { COPY_CHUNK_SIZE = 256 * 1024, NAME_ATTEMPTS = 100 };

// When one syncfs of the staging file system replaces the sync of each staged file: for at least
// this many files, and while the system holds at most this much unwritten data per file. On
// ext4 here a sync per small file cost about 0.3 ms, about what writing 256 KiB more costs a
// syncfs; beside 256 MiB of unwritten data one syncfs lost to 255 syncs (bench/, README).
enum { SYNCFS_LEAST_FILES = 2 };
static const long long SYNCFS_UNWRITTEN_PER_FILE = 256LL * 1024;

static unsigned char g_copyBuffer[COPY_CHUNK_SIZE];
static unsigned g_temporaryAttempt;

// The staged files of one pass whose write-back was started, each as it was when its file
// system was synced as a whole: a move skips its own sync of such a file while it is unchanged.
struct StartedFile {
    struct stat stamp;
    bool synced;
};
static struct {
    StartedFile files[256];
    unsigned count;
    bool batchSynced; // SyncStagedFiles ran: the next StartWriteBack begins a new pass
} g_started;

// Opens the folder `path` (its first `length` bytes): the first `trustedLength` bytes as they
// are, links included, then each further component without following a link. -1 when a
// component is missing or not a folder, with *throughLink set when it is a link and errno
// telling why it did not open (EACCES: a folder on the way cannot be searched).
static int OpenFolderBeneath(const char *path, size_t length, size_t trustedLength, bool *throughLink)
{
    char part[MOVE_TEMPORARY_PATH_SIZE];
    *throughLink = false;
    errno = ENOENT;
    if (trustedLength == 0 || trustedLength > length || length >= sizeof part)
        return -1;
    memset(part, 0, sizeof part);
    memcpy(part, path, length);
    char kept = part[trustedLength];
    part[trustedLength] = '\0';
    int folder = open(part, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    part[trustedLength] = kept;
    for (size_t start = trustedLength; folder >= 0 && start < length;) {
        while (start < length && part[start] == '/')
            ++start;
        size_t end = start;
        while (end < length && part[end] != '/')
            ++end;
        if (end == start)
            break;
        part[end] = '\0';
        int next = openat(folder, part + start, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int error = errno;
        struct stat info;
        if (next < 0 && fstatat(folder, part + start, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
            *throughLink = true;
        (void)close(folder);
        errno = error;
        folder = next;
        start = end + 1;
    }
    return folder;
}

// The staged file as the move sees it: opened beneath the staging folder, and what it found.
struct StagedFile {
    const char *source; // its path, and the length of the staging folder's part of it
    size_t stagingLength;
    int folder;                     // the staged file's folder, reached without links
    const char *leaf;               // its name in that folder
    char claimedLeaf[NAME_MAX + 1]; // the reserved name it takes there while it is installed
    int file;                       // open for reading, never blocking
    struct stat info;
    bool leased;        // a read lease is held on `file`: no other program has it open for writing
    dev_t targetDevice; // for MOVE_REPLACES of a regular file: the file at the target,
    ino_t targetInode;
    nlink_t targetLinks;      // and how many names it has
    dev_t targetFolderDevice; // for MOVE_CREATES and MOVE_REPLACES: the device of the target's folder
};

// The staging folder, held open from one entry to the next while the entries lie in it: a list
// mostly names files there, and a pass then opens it once. Only that folder, which is opened as
// its path leads anyway: a folder below it is reached afresh for each entry, without links, so
// that one moved away and replaced during the pass is never read from. A new pass opens it
// afresh too (SyncStagedFiles lets go).
static struct {
    bool held;
    int folder;
    size_t stagingLength;
    char path[MOVE_TEMPORARY_PATH_SIZE]; // the folder's path, as the staged file's path begins
} g_heldFolder;

static void LetGoOfHeldFolder()
{
    if (g_heldFolder.held)
        (void)close(g_heldFolder.folder);
    memset(&g_heldFolder, 0, sizeof g_heldFolder);
}

// OpenFolderBeneath, for the folder part (`folderLength` bytes) of a staged file's path, through
// the held folder when it is that one. The descriptor returned stays the held folder's.
static int ReachStagedFolder(const char *source, size_t folderLength, size_t stagingLength, bool *throughLink)
{
    *throughLink = false;
    if (g_heldFolder.held && g_heldFolder.stagingLength == stagingLength &&
        strncmp(g_heldFolder.path, source, folderLength) == 0 && g_heldFolder.path[folderLength] == '\0')
        return g_heldFolder.folder;
    int folder = OpenFolderBeneath(source, folderLength, stagingLength, throughLink);
    bool stagingFolderItself = stagingLength <= folderLength;
    for (size_t at = stagingLength; stagingFolderItself && at < folderLength; ++at)
        stagingFolderItself = source[at] == '/';
    if (folder < 0 || !stagingFolderItself || folderLength >= sizeof g_heldFolder.path)
        return folder;
    LetGoOfHeldFolder();
    g_heldFolder.held = true;
    g_heldFolder.folder = folder;
    g_heldFolder.stagingLength = stagingLength;
    memcpy(g_heldFolder.path, source, folderLength);
    return folder;
}

static void CloseStagedFile(StagedFile *staged)
{
    if (staged->file >= 0)
        (void)close(staged->file);
    if (staged->folder >= 0 && !(g_heldFolder.held && staged->folder == g_heldFolder.folder))
        (void)close(staged->folder);
    staged->file = -1;
    staged->folder = -1;
}

// The name a staged file `leaf` takes in its own folder while it is installed: reserved (no entry
// may stage or install a name of that form) and one per staged name, so that a later run finds
// what a killed one left and gives it its name back. False when it would not fit.
static bool ComposeClaimedName(const char *leaf, char claimed[NAME_MAX + 1])
{
    static const char CLAIMED_PREFIX[] = ".~upd-staged~";
    memset(claimed, 0, NAME_MAX + 1);
    if (sizeof CLAIMED_PREFIX - 1 + strlen(leaf) > NAME_MAX)
        return false;
    (void)snprintf(claimed, NAME_MAX + 1, "%s%s", CLAIMED_PREFIX, leaf);
    return true;
}

// Opens the regular staged file `source` beneath its staging folder into `staged` (closed by the
// caller); when it cannot, sets the verdict that says why and returns false.
static bool OpenStagedFile(const char *source, size_t stagingLength, MoveForecast *forecast, StagedFile *staged,
                           bool forecastOnly)
{
    memset(forecast, 0, sizeof *forecast);
    memset(staged, 0, sizeof *staged);
    staged->source = source;
    staged->stagingLength = stagingLength;
    staged->file = -1;
    forecast->verdict = MOVE_STAGED_MISSING;
    size_t folderLength = FolderPartLength(source);
    bool throughLink = false;
    staged->folder = ReachStagedFolder(source, folderLength, stagingLength, &throughLink);
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
    staged->file = openat(staged->folder, staged->leaf, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (staged->file < 0 && (errno == EACCES || errno == EPERM))
        forecast->verdict = MOVE_STAGED_UNREADABLE;
    if (staged->file < 0 || fstat(staged->file, &staged->info) != 0 || !S_ISREG(staged->info.st_mode))
        return false;
    forecast->stagedSize = (long long)staged->info.st_size;
    return true;
}

// The files that moves of this process replaced while they had another name, as they were just
// after: a staged name still leading to one of them, unchanged, names content that a newer file
// replaced, which is never put back over it.
struct ReplacedFile {
    dev_t device;
    ino_t inode;
    struct timespec changed;
    char target[MOVE_TEMPORARY_PATH_SIZE]; // where it was replaced: only that target is superseded
};
enum { REPLACED_LIMIT = 256 };
static ReplacedFile g_replaced[REPLACED_LIMIT];
static unsigned g_replacedCount;

static bool WasReplaced(const struct stat *info, const char *target)
{
    for (unsigned index = 0; index < g_replacedCount; ++index) {
        const ReplacedFile &replaced = g_replaced[index];
        if (replaced.device == info->st_dev && replaced.inode == info->st_ino &&
            replaced.changed.tv_sec == info->st_ctim.tv_sec && replaced.changed.tv_nsec == info->st_ctim.tv_nsec &&
            strcmp(replaced.target, target) == 0)
            return true;
    }
    return false;
}

// A target with more than one name outlives its replacement: it is held (-1 for none) across the
// rename so that NoteReplaced can note what it is afterwards.
static int HoldReplacedTarget(const StagedFile *staged, const char *target)
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

// Notes the held target, now replaced, and closes it. Its change time is the rename's, so a file
// that later takes its inode number is not mistaken for it.
static void NoteReplaced(int held, const char *target)
{
    if (held < 0)
        return;
    struct stat info;
    if (fstat(held, &info) == 0 && info.st_nlink > 0 && g_replacedCount < REPLACED_LIMIT &&
        strlen(target) < sizeof g_replaced[0].target) {
        memset(g_replaced[g_replacedCount].target, 0, sizeof g_replaced[0].target);
        memcpy(g_replaced[g_replacedCount].target, target, strlen(target));
        g_replaced[g_replacedCount].device = info.st_dev;
        g_replaced[g_replacedCount].inode = info.st_ino;
        g_replaced[g_replacedCount].changed = info.st_ctim;
        ++g_replacedCount;
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

// True when this process may create and remove names in `folder`. The last answer is kept, as
// the entries of a list mostly share their folders; one gone stale only makes a move fail.
static bool FolderIsWritable(const char *folder)
{
    static char lastFolder[MOVE_TEMPORARY_PATH_SIZE];
    static bool lastWritable;
    if (lastFolder[0] != '\0' && strcmp(lastFolder, folder) == 0)
        return lastWritable;
    lastWritable = faccessat(AT_FDCWD, folder, W_OK | X_OK, AT_EACCESS) == 0;
    memset(lastFolder, 0, sizeof lastFolder);
    if (strlen(folder) < sizeof lastFolder)
        memcpy(lastFolder, folder, strlen(folder));
    return lastWritable;
}

// The last target folder found, kept for the pass: the entries of a list mostly share their
// folders. One replaced meanwhile makes the rename fail, or cross file systems, which the move
// then meets as such.
static struct {
    bool known;
    struct stat info;
    char path[MOVE_TEMPORARY_PATH_SIZE];
} g_lastTargetFolder;

// stat(2) of the target folder `folder`, answered from the last one found when it is the same.
static bool StatTargetFolder(const char *folder, struct stat *info)
{
    if (g_lastTargetFolder.known && strcmp(g_lastTargetFolder.path, folder) == 0) {
        *info = g_lastTargetFolder.info;
        return true;
    }
    if (stat(folder, info) != 0)
        return false;
    memset(&g_lastTargetFolder, 0, sizeof g_lastTargetFolder);
    if (strlen(folder) < sizeof g_lastTargetFolder.path) {
        g_lastTargetFolder.known = true;
        g_lastTargetFolder.info = *info;
        memcpy(g_lastTargetFolder.path, folder, strlen(folder));
    }
    return true;
}

// Fills `forecast` and, for a regular staged file, opens it into `staged` (closed by the caller).
// `forecastOnly`: for a tool, which also asks what a run learns only by trying.
static void ExamineMove(const char *source, size_t stagingLength, const char *target, MoveForecast *forecast,
                        StagedFile *staged, bool forecastOnly)
{
    if (!OpenStagedFile(source, stagingLength, forecast, staged, forecastOnly))
        return;
    // Inside the game folder links are followed: players move large folders elsewhere that way.
    char targetFolder[MOVE_TEMPORARY_PATH_SIZE];
    size_t targetFolderLength = FolderPartLength(target);
    struct stat folderInfo;
    memset(targetFolder, 0, sizeof targetFolder);
    if (targetFolderLength >= sizeof targetFolder)
        targetFolderLength = 0;
    memcpy(targetFolder, target, targetFolderLength);
    forecast->verdict = MOVE_TARGET_FOLDER_MISSING;
    if (targetFolderLength == 0)
        return;
    if (!StatTargetFolder(targetFolder, &folderInfo)) {
        if (errno == EACCES)
            forecast->verdict = MOVE_TARGET_FOLDER_NOT_SEARCHABLE;
        return;
    }
    if (!S_ISDIR(folderInfo.st_mode))
        return;
    staged->targetFolderDevice = folderInfo.st_dev;
    // A game folder inside the staging folder can make the staged path the installed path: the
    // file is where it belongs, and its one name is not to be removed.
    const char *targetLeaf = strrchr(target, '/') + 1;
    struct stat stagedFolderInfo;
    if (strcmp(staged->leaf, targetLeaf) == 0 && fstat(staged->folder, &stagedFolderInfo) == 0 &&
        stagedFolderInfo.st_dev == folderInfo.st_dev && stagedFolderInfo.st_ino == folderInfo.st_ino) {
        forecast->verdict = MOVE_SAME_FILE;
        return;
    }
    struct stat targetInfo;
    if (lstat(target, &targetInfo) != 0) {
        forecast->verdict = errno == ENOENT   ? MOVE_CREATES
                            : errno == EACCES ? MOVE_TARGET_FOLDER_NOT_SEARCHABLE
                                              : MOVE_TARGET_FOLDER_MISSING;
        if (forecast->verdict == MOVE_CREATES && !FolderIsWritable(targetFolder))
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
    if (sameFile || WasReplaced(&staged->info, target)) {
        forecast->verdict = MOVE_DROPS_STAGED_NAME;
        return;
    }
    // A folder the updater may not write into, or a file no one may replace: refused at once. A
    // run learns the second from the rename itself, at once too; only a forecast asks.
    if (!FolderIsWritable(targetFolder) || (forecastOnly && S_ISREG(targetInfo.st_mode) && TargetIsImmutable(target))) {
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
    ExamineMove(source, stagingLength, target, forecast, &staged, true);
    CloseStagedFile(&staged);
}

// Called when a lease taken here is broken: the move looks at its lease itself. A handler rather
// than SIG_IGN, which a program started later would inherit.
static void OnLeaseBroken(int) {}

// Takes a read lease on the staged file, so that any open of it for writing from now on is seen.
// False only when the file is open for writing elsewhere now: in use. Where no lease can be had
// (not the file's owner, a file system without leases) the move goes on without one, and only
// the size and time stamps tell a change.
// Takes a read lease on `file`: 0, or -1 with errno. A broken lease raises SIGIO, whose default
// ends the process: no lease is taken before it is caught (EPERM when it cannot be).
static int TakeReadLease(int file)
{
    static bool handlerSet;
    if (!handlerSet) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = OnLeaseBroken;
        action.sa_flags = SA_RESTART;
        (void)sigemptyset(&action.sa_mask);
        handlerSet = sigaction(SIGIO, &action, NULL) == 0;
        if (!handlerSet) {
            errno = EPERM;
            return -1;
        }
    }
    return fcntl(file, F_SETLEASE, F_RDLCK);
}

static bool LeaseStagedFile(StagedFile *staged)
{
    if (TakeReadLease(staged->file) == 0) {
        staged->leased = true;
        return true;
    }
    return errno != EAGAIN;
}

// True when a program opened the leased staged file for writing (or cut it) since the lease.
static bool LeaseBroken(const StagedFile *staged)
{
    return staged->leased && fcntl(staged->file, F_GETLEASE) != F_RDLCK;
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

// Copies the staged file from its start to its end. MOVE_IN_USE when it is being changed: its
// lease was broken, or it grew or shrank while it was read.
static MoveOutcome CopyContent(const StagedFile *staged, int output)
{
    long long copied = 0;
    for (;;) {
        if (LeaseBroken(staged))
            return MOVE_IN_USE;
        ssize_t got = pread(staged->file, g_copyBuffer, sizeof g_copyBuffer, (off_t)copied);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return MOVE_FAILED;
        if (got == 0)
            return copied == (long long)staged->info.st_size ? MOVE_DONE : MOVE_IN_USE;
        if (!WriteAll(output, g_copyBuffer, (size_t)got))
            return MOVE_FAILED;
        copied += got;
    }
}

// True when what identifies the content of a file has not changed between the two looks.
static bool SameContentStamp(const struct stat *before, const struct stat *after)
{
    return before->st_size == after->st_size && before->st_mtim.tv_sec == after->st_mtim.tv_sec &&
           before->st_mtim.tv_nsec == after->st_mtim.tv_nsec && before->st_ctim.tv_sec == after->st_ctim.tv_sec &&
           before->st_ctim.tv_nsec == after->st_ctim.tv_nsec;
}

// Gives the open file `file` the unique name `temporary` in `folder`, which must be on its file
// system: through /proc, or without it through the descriptor itself (which needs a privilege).
// Whatever has the file's old name meanwhile, the name given is this file's.
// Set when a staged file could not be given its name back: the list must stay, so that the next
// run (SettleClaimedFile) does it.
static bool g_claimStranded;

// Gives the staged file taken under its reserved name `claimed` its name back. When the client
// has staged that name again meanwhile, the newer file supersedes it, and it goes. False, with
// the list to be kept, when it could do neither.
static bool GiveClaimBack(const StagedFile *staged, const char *claimed)
{
    if (renameat2(staged->folder, claimed, staged->folder, staged->leaf, RENAME_NOREPLACE) == 0)
        return true;
    struct stat info;
    if (errno == EEXIST && fstatat(staged->folder, staged->leaf, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(info.st_mode) && unlinkat(staged->folder, claimed, 0) == 0)
        return false;
    g_claimStranded = true;
    return false;
}

bool StagedFilesStayReachable()
{
    return !g_claimStranded;
}

// This process's number, asked once: it names every temporary of the run.
static unsigned long ThisProcess()
{
    static pid_t process;
    if (process == 0)
        process = getpid();
    return (unsigned long)process;
}

static bool LinkOpenFile(int file, char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *folder)
{
    char procPath[64];
    (void)snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", file);
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        if (!ComposeMoveTemporaryPath(temporary, folder, strlen(folder), ThisProcess(), g_temporaryAttempt++))
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
static int CreateNamedCopy(char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *folder)
{
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        if (!ComposeMoveTemporaryPath(temporary, folder, strlen(folder), ThisProcess(), g_temporaryAttempt++))
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
static MoveOutcome CopyToNamedSyncedFile(const StagedFile *staged, const char *folder,
                                         char temporary[MOVE_TEMPORARY_PATH_SIZE])
{
    // Nameless while it is written: a run killed now leaves nothing in the game folder. Naming
    // it needs /proc; without it the copy is named from the start.
    int output = access("/proc/self/fd", X_OK) == 0 ? open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600) : -1;
    bool named = output < 0;
    if (named)
        output = CreateNamedCopy(temporary, folder);
    if (output < 0)
        return MOVE_FAILED;
    struct stat after;
    MoveOutcome copied = CopyContent(staged, output);
    // fsync, not fdatasync: the permission bits are metadata too.
    if (copied == MOVE_DONE && (fchmod(output, staged->info.st_mode & 0777) != 0 || fsync(output) != 0))
        copied = MOVE_FAILED;
    if (copied == MOVE_DONE &&
        (fstat(staged->file, &after) != 0 || !SameContentStamp(&staged->info, &after) || LeaseBroken(staged)))
        copied = MOVE_IN_USE;
    if (copied == MOVE_DONE && !named && !LinkOpenFile(output, temporary, folder))
        copied = MOVE_FAILED;
    if (close(output) != 0 && copied == MOVE_DONE)
        copied = MOVE_FAILED;
    if (copied != MOVE_DONE && named)
        (void)unlink(temporary);
    return copied;
}

// Removes `leaf` in `folder` only while it leads to the file `expected` describes, unchanged, and
// no program has it open for writing: a file the client rewrote, or is rewriting, stays.
static bool RemoveNameIfUnchanged(int folder, const char *leaf, const struct stat *expected)
{
    int file = openat(folder, leaf, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0)
        return false;
    struct stat info;
    bool unchanged = fstat(file, &info) == 0 && info.st_dev == expected->st_dev && info.st_ino == expected->st_ino &&
                     SameContentStamp(expected, &info);
    // A writer's coming content would go with the name. Where no lease can be had, the stamps
    // are all there is.
    if (unchanged && TakeReadLease(file) != 0 && errno == EAGAIN)
        unchanged = false;
    bool removed = unchanged && unlinkat(folder, leaf, 0) == 0;
    (void)close(file);
    return removed;
}

// Staged names whose file was installed, to be removed once the folder it went to is synced:
// until then a power cut could lose the new name, and the staged name is the sure one.
struct PendingRemoval {
    char source[MOVE_TEMPORARY_PATH_SIZE];
    size_t stagingLength;
    char folder[MOVE_TEMPORARY_PATH_SIZE]; // the target's folder
    struct stat info;                      // the staged file as it was installed
};
enum { PENDING_LIMIT = 256 };
static PendingRemoval g_pending[PENDING_LIMIT];
static unsigned g_pendingCount;

// Notes the staged file's name for removal by SyncFolder(folder). When it cannot be noted the
// name stays, and the next run finds the file installed (or copies it again).
static void QueueStagedRemoval(const StagedFile *staged, const char *folder, const struct stat *expected)
{
    if (g_pendingCount == PENDING_LIMIT)
        return;
    PendingRemoval *pending = &g_pending[g_pendingCount];
    memset(pending, 0, sizeof *pending);
    if (strlen(staged->source) >= sizeof pending->source || strlen(folder) >= sizeof pending->folder)
        return;
    memcpy(pending->source, staged->source, strlen(staged->source));
    memcpy(pending->folder, folder, strlen(folder));
    pending->stagingLength = staged->stagingLength;
    pending->info = *expected;
    ++g_pendingCount;
}

static void RemovePendingStagedNames(const char *folder)
{
    for (unsigned index = 0; index < g_pendingCount;) {
        PendingRemoval *pending = &g_pending[index];
        if (strcmp(pending->folder, folder) != 0) {
            ++index;
            continue;
        }
        size_t folderLength = FolderPartLength(pending->source);
        bool throughLink = false;
        int stagedFolder = OpenFolderBeneath(pending->source, folderLength, pending->stagingLength, &throughLink);
        if (stagedFolder >= 0) {
            (void)RemoveNameIfUnchanged(stagedFolder, pending->source + folderLength + 1, &pending->info);
            (void)close(stagedFolder);
        }
        *pending = g_pending[--g_pendingCount];
    }
}

static MoveOutcome MoveAcrossFileSystems(const StagedFile *staged, const char *target, const char *folder)
{
    char temporary[MOVE_TEMPORARY_PATH_SIZE];
    MoveOutcome copied = CopyToNamedSyncedFile(staged, folder, temporary);
    if (copied != MOVE_DONE)
        return copied;
    int held = HoldReplacedTarget(staged, target);
    if (rename(temporary, target) != 0) {
        (void)unlink(temporary);
        if (held >= 0)
            (void)close(held);
        return MOVE_FAILED;
    }
    NoteReplaced(held, target);
    // The staged file is the only other copy: it goes only once the new name is on disk.
    QueueStagedRemoval(staged, folder, &staged->info);
    (void)SyncFolder(folder);
    return MOVE_DONE;
}

// True when the staged file was on disk as a whole after SyncStagedFiles and has not changed
// since it was looked at before that sync.
static bool SyncedUnchanged(const StagedFile *staged)
{
    for (unsigned index = 0; index < g_started.count; ++index) {
        const struct stat *stamp = &g_started.files[index].stamp;
        if (g_started.files[index].synced && stamp->st_dev == staged->info.st_dev &&
            stamp->st_ino == staged->info.st_ino)
            return SameContentStamp(stamp, &staged->info);
    }
    return false;
}

static MoveOutcome MoveExamined(StagedFile *staged, const MoveForecast *forecast, const char *target)
{
    if (forecast->verdict == MOVE_SAME_FILE)
        return MOVE_DONE;
    if (forecast->verdict == MOVE_DROPS_STAGED_NAME) {
        // As after any install: the staged name goes once the target's folder is on disk, since
        // the target's name may be one a killed run gave and no sync has kept yet.
        char targetFolder[MOVE_TEMPORARY_PATH_SIZE];
        memset(targetFolder, 0, sizeof targetFolder);
        memcpy(targetFolder, target, FolderPartLength(target)); // ExamineMove checked that it fits
        QueueStagedRemoval(staged, targetFolder, &staged->info);
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
        return MoveAcrossFileSystems(staged, target, folder);
    // Programs write files without syncing them: the staged content must reach the disk before
    // its name replaces the installed file, or a power cut leaves neither.
    if (!SyncedUnchanged(staged) && fdatasync(staged->file) != 0)
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
        return MoveAcrossFileSystems(staged, target, folder);
    if (renameat2(staged->folder, staged->leaf, staged->folder, claimed, RENAME_NOREPLACE) != 0)
        return errno == EINVAL || errno == EEXIST || errno == EXDEV ? MoveAcrossFileSystems(staged, target, folder)
                                                                    : MOVE_FAILED;
    struct stat info;
    if (fstatat(staged->folder, claimed, &info, AT_SYMLINK_NOFOLLOW) != 0 || info.st_dev != staged->info.st_dev ||
        info.st_ino != staged->info.st_ino) {
        (void)GiveClaimBack(staged, claimed);
        return MOVE_FAILED;
    }
    if (LeaseBroken(staged)) {
        (void)GiveClaimBack(staged, claimed);
        return MOVE_IN_USE;
    }
    int held = HoldReplacedTarget(staged, target);
    if (renameat(staged->folder, claimed, AT_FDCWD, target) != 0) {
        int error = errno;
        if (held >= 0)
            (void)close(held);
        // The renames changed the file's change time: the copy compares against what it is now.
        if (!GiveClaimBack(staged, claimed) || fstat(staged->file, &staged->info) != 0)
            return MOVE_FAILED;
        return error == EXDEV ? MoveAcrossFileSystems(staged, target, folder) : MOVE_FAILED;
    }
    NoteReplaced(held, target);
    return MOVE_DONE;
}

MoveOutcome MoveFileReplacing(const char *source, size_t stagingLength, const char *target)
{
    MoveForecast forecast;
    StagedFile staged;
    ExamineMove(source, stagingLength, target, &forecast, &staged, false);
    MoveOutcome outcome = MoveExamined(&staged, &forecast, target);
    CloseStagedFile(&staged);
    return outcome;
}

void ForgetKeptCopy()
{
    // Nothing is kept: a copy that must be tried again is made again.
}

// The device of the folder that `path` lies in; 0 when it cannot be told. The last answer is
// kept, since the entries of a list mostly share their folders.
static dev_t DeviceOfFolderPart(const char *path)
{
    static char lastFolder[MOVE_TEMPORARY_PATH_SIZE];
    static dev_t lastDevice;
    size_t length = FolderPartLength(path);
    if (length == 0 || length >= sizeof lastFolder)
        return 0;
    if (lastDevice != 0 && strncmp(lastFolder, path, length) == 0 && lastFolder[length] == '\0')
        return lastDevice;
    memset(lastFolder, 0, sizeof lastFolder);
    memcpy(lastFolder, path, length);
    struct stat info;
    lastDevice = stat(lastFolder, &info) == 0 && S_ISDIR(info.st_mode) ? info.st_dev : 0;
    return lastDevice;
}

// What a killed run left of the staged file `source` under its reserved name: given its name
// back when that name is free; deleted when the client has staged the file again since, which
// supersedes it. Reached without links below the staging folder, as a move reaches it.
static void SettleClaimedFile(const char *source, size_t stagingLength)
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

void StartWriteBack(const char *source, size_t stagingLength, const char *target)
{
    SettleClaimedFile(source, stagingLength);
    if (g_started.batchSynced)
        memset(&g_started, 0, sizeof g_started);
    if (g_started.count == sizeof g_started.files / sizeof g_started.files[0])
        return;
    // One look, the cheapest: a file found through a link here is not the one the move opens,
    // whose identity then differs, and which then syncs itself. Only a file that a link or rename
    // installs is synced in place; a copy syncs itself.
    struct stat info;
    if (lstat(source, &info) == 0 && S_ISREG(info.st_mode) && DeviceOfFolderPart(target) == info.st_dev)
        g_started.files[g_started.count++].stamp = info;
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

void SyncStagedFiles(const char *stagingFolder)
{
    g_started.batchSynced = true;
    // Each pass reaches its folders afresh.
    LetGoOfHeldFolder();
    memset(&g_lastTargetFolder, 0, sizeof g_lastTargetFolder);
    int folder = open(stagingFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat folderInfo;
    memset(&folderInfo, 0, sizeof folderInfo);
    if (folder >= 0 && (fstat(folder, &folderInfo) != 0 || !SyncfsIsDurable(folder))) {
        (void)close(folder);
        folder = -1;
    }
    unsigned count = 0;
    for (unsigned index = 0; index < g_started.count; ++index) {
        if (g_started.files[index].stamp.st_dev == folderInfo.st_dev) {
            ++count;
        }
    }
    // One syncfs writes all the file system's unwritten data: it pays where that is little,
    // measured against what a sync per file costs. Staged files already on disk count for
    // nothing there, so the allowance is not lessened by their sizes.
    long long unwritten = folder >= 0 ? UnwrittenBytes() : -1;
    bool synced = count >= SYNCFS_LEAST_FILES && unwritten >= 0 &&
                  unwritten <= (long long)count * SYNCFS_UNWRITTEN_PER_FILE && syncfs(folder) == 0;
    for (unsigned index = 0; index < g_started.count; ++index)
        g_started.files[index].synced = synced && g_started.files[index].stamp.st_dev == folderInfo.st_dev;
    if (folder >= 0)
        (void)close(folder);
}

bool SyncFolder(const char *folder)
{
    int descriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    bool synced = fsync(descriptor) == 0 || errno == EINVAL || errno == EROFS;
    (void)close(descriptor);
    if (synced)
        RemovePendingStagedNames(folder);
    return synced;
}

// True when the process that made the temporary `name` is gone, so that the file is a leftover
// and not another run's copy in flight (another player's updater installing into the same game
// folder holds no lock of ours). A process of another user answers EPERM: it is there.
static bool MoveTemporaryOwnerHasEnded(const char *name)
{
    unsigned long process = MoveTemporaryProcess(name);
    if (process == MOVE_TEMPORARY_NO_PROCESS)
        return true;
    return kill((pid_t)process, 0) != 0 && errno == ESRCH;
}

void RemoveMoveLeftovers(const char *folder)
{
    int folderDescriptor = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor < 0)
        return;
    DIR *listing = fdopendir(folderDescriptor);
    if (listing == NULL) {
        (void)close(folderDescriptor);
        return;
    }
    for (struct dirent *entry = readdir(listing); entry != NULL; entry = readdir(listing)) {
        struct stat info;
        if (IsMoveTemporaryName(entry->d_name) && MoveTemporaryOwnerHasEnded(entry->d_name) &&
            fstatat(folderDescriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode))
            (void)unlinkat(folderDescriptor, entry->d_name, 0);
    }
    (void)closedir(listing);
}

size_t PathCharacterLength(const char *at)
{
    (void)at; // UTF-8, like every encoding in use here, never puts "/" inside another character
    return 1;
}

bool NameSameFile(const char *first, const char *second)
{
    return strcmp(first, second) == 0;
}

size_t FolderPartLength(const char *path)
{
    const char *slash = strrchr(path, '/');
    if (slash == NULL)
        return 0;
    return slash == path ? 1 : (size_t)(slash - path);
}

bool IsAbsolutePath(const char *path)
{
    return path[0] == '/';
}

bool FolderPartCrossesLink(const char *path, size_t trustedLength)
{
    size_t folderLength = FolderPartLength(path);
    char part[MOVE_TEMPORARY_PATH_SIZE];
    if (folderLength >= sizeof part)
        return false;
    memset(part, 0, sizeof part);
    memcpy(part, path, folderLength);
    for (size_t end = trustedLength + 1; end <= folderLength; ++end) {
        struct stat info;
        if ((end == folderLength || part[end] == '/') && part[end - 1] != '/') {
            char kept = part[end];
            part[end] = '\0';
            bool link = lstat(part, &info) == 0 && S_ISLNK(info.st_mode);
            part[end] = kept;
            if (link)
                return true;
        }
    }
    return false;
}

// The descriptor whose flock is the run's claim; -1 when none is held.
static int g_runLock = -1;

static long long MonotonicMilliseconds()
{
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now); // cannot fail for this clock
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

RunLockOutcome LockUpdateRun(const char *stagingFolder, unsigned waitMs)
{
    static const unsigned RUN_LOCK_POLL_MS = 20;
    UnlockUpdateRun();
    // A child does not inherit the descriptor, so a started client never holds the claim.
    int descriptor = open(stagingFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return RUN_LOCK_NO_CLAIM;
    // Polled rather than blocking: a blocking flock has no bound, and a signal-based alarm would
    // reach whatever else the process waits on.
    // One more millisecond: the clock read is cut to whole ones, and the wait is never shorter.
    long long deadline = MonotonicMilliseconds() + waitMs + 1;
    for (;;) {
        if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
            g_runLock = descriptor;
            return RUN_LOCK_HELD;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            (void)close(descriptor);
            return RUN_LOCK_NO_CLAIM;
        }
        long long left = deadline - MonotonicMilliseconds();
        if (left <= 0) {
            (void)close(descriptor);
            return RUN_LOCK_TIMED_OUT;
        }
        PauseMilliseconds(left < RUN_LOCK_POLL_MS ? (unsigned)left : RUN_LOCK_POLL_MS);
    }
}

void UnlockUpdateRun()
{
    if (g_runLock < 0)
        return;
    (void)close(g_runLock); // the last descriptor of the open file: the flock goes with it
    g_runLock = -1;
}

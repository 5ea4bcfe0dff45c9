// Internal to the POSIX platform layer: the state one pass of moves hands from entry to entry,
// and the steps of a move that live in their own files (reaching and opening the staged file,
// examining a move, leases, claims, copies, durability).
#ifndef PLATFORM_MOVE_PASS_POSIX_H
#define PLATFORM_MOVE_PASS_POSIX_H

#include "platform/move_temporary.h"
#include "platform/platform.h"

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

enum { COPY_CHUNK_SIZE = 256 * 1024, PASS_FILE_LIMIT = 256 };

// The staging folder, held open from one entry to the next while the entries lie in it: a list
// mostly names files there, and a pass then opens it once. Only that folder, which is opened as
// its path leads anyway: a folder below it is reached afresh for each entry, without links, so
// that one moved away and replaced during the pass is never read from.
struct HeldStagingFolder {
    bool held;
    int folder;
    size_t stagingLength;
    char path[MOVE_TEMPORARY_PATH_SIZE]; // the folder's path, as the staged file's path begins
};

// The last target folder found: the entries of a list mostly share their folders. One replaced
// meanwhile makes the rename fail, or cross file systems, which the move then meets as such.
struct TargetFolderFacts {
    bool known;
    struct stat info;
    int writable; // 0 not asked yet, 1 this process may add and remove names there, -1 not
    char path[MOVE_TEMPORARY_PATH_SIZE];
};

// A staged file noted before the pass's moves, held open until the one sync of its file system,
// and whether that sync covered it as it was just after (its stamp).
struct NotedStagedFile {
    struct stat stamp;
    int file; // while `open`: read-only, leased across the sync when it can be
    bool open;
    bool leased;
    bool synced;
};

// A file that a move of this process replaced while it had another name, as it was just after:
// a staged name still leading to it, unchanged, names content that a newer file replaced, which
// is never put back over it.
struct ReplacedFile {
    dev_t device;
    ino_t inode;
    struct timespec changed;
    char target[MOVE_TEMPORARY_PATH_SIZE]; // where it was replaced: only that target is superseded
};

// A staged name whose file was installed, to be removed once the folder it went to is synced:
// until then a power cut could lose the new name, and the staged name is the sure one.
struct PendingRemoval {
    char source[MOVE_TEMPORARY_PATH_SIZE];
    size_t stagingLength;
    char folder[MOVE_TEMPORARY_PATH_SIZE]; // the target's folder
    struct stat info;                      // the staged file as it was installed
};

struct MovePass {
    // Asked of the system once per pass; SyncStagedFiles, which begins the moves, forgets them.
    HeldStagingFolder staging;
    TargetFolderFacts targetFolder;
    char noteFolder[MOVE_TEMPORARY_PATH_SIZE]; // the folder of the last target noted, and its device
    dev_t noteFolderDevice;
    // The staged files noted for the one sync; the first note after SyncStagedFiles begins anew.
    NotedStagedFile noted[PASS_FILE_LIMIT];
    unsigned notedCount;
    bool notedSynced;
    // What the process's moves did, for the moves after them and for SyncFolder.
    ReplacedFile replaced[PASS_FILE_LIMIT];
    unsigned replacedCount;
    PendingRemoval pending[PASS_FILE_LIMIT];
    unsigned pendingCount;
    bool claimStranded;        // a staged file stayed under its reserved name: the list must stay
    bool claimsSwept;          // SettleClaimedFiles looked through the staging folder, and left
    unsigned claimsLeft;       // this many files under reserved names (or folders it could not read)
    unsigned temporaryAttempt; // makes this process's temporary names unique
    unsigned char copyBuffer[COPY_CHUNK_SIZE];
};

// The pass's state: one per process, since a process makes one pass (a plan only forecasts).
// Zero until first used.
MovePass *ThisPass();

// The staged file as a move sees it: opened beneath the staging folder, and what it found.
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

// --- platform_posix.cpp

// Puts the content of the data file open for deletion (the list) on disk, when one is open: a
// client writes its list without syncing it, and a power cut after the pass's first renames
// reached the disk must find the list whole, for a later run to finish the pass.
void SyncOpenedDataFile();

// --- paths_posix.cpp

// Opens the folder `path` (its first `length` bytes): the first `trustedLength` bytes as they
// are, links included, then each further component without following a link. -1 when a
// component is missing or not a folder, with *throughLink set when it is a link and errno
// telling why it did not open (EACCES: a folder on the way cannot be searched).
int OpenFolderBeneath(const char *path, size_t length, size_t trustedLength, bool *throughLink);

// --- staged_file_posix.cpp

// Opens the regular staged file `source` beneath its staging folder into `staged` (closed by
// CloseStagedFile); when it cannot, sets the verdict that says why and returns false.
// `forecastOnly`: a file a killed run left under its reserved name is looked at there.
bool OpenStagedFile(MovePass *pass, const char *source, size_t stagingLength, MoveForecast *forecast,
                    StagedFile *staged, bool forecastOnly);
void CloseStagedFile(MovePass *pass, StagedFile *staged);
// Closes the held staging folder: the next entry opens it afresh.
void LetGoOfStagingFolder(MovePass *pass);

// Opens the regular staged file `source` as a move reaches it (beneath the staging folder, no
// link followed), for a note: the descriptor, with `*info` its status, or -1.
int OpenStagedFileToNote(MovePass *pass, const char *source, size_t stagingLength, struct stat *info);

// True when what identifies the content of a file has not changed between the two looks.
bool SameContentStamp(const struct stat *before, const struct stat *after);

// --- examine_move_posix.cpp

// Fills `forecast` and, for a regular staged file, opens it into `staged` (closed by the caller).
// `forecastOnly`: for a tool, which also asks what a run learns only by trying.
void ExamineMove(MovePass *pass, const char *source, size_t stagingLength, const char *target, MoveForecast *forecast,
                 StagedFile *staged, bool forecastOnly);

// A target with more than one name outlives its replacement: it is held (-1 for none) across the
// rename so that NoteReplaced can note what it is afterwards, and close it.
int HoldReplacedTarget(const StagedFile *staged, const char *target);
void NoteReplaced(MovePass *pass, int held, const char *target);

// --- lease_posix.cpp

// Takes a read lease on `file`, so that any open of it for writing from now on is seen: 0, or -1
// with errno (EAGAIN: it is open for writing elsewhere now).
int TakeReadLease(int file);
// Leases the staged file. False only when it is open for writing elsewhere now: in use. Where no
// lease can be had (not the file's owner, a file system without leases) the move goes on
// without one, and only the size and time stamps tell a change.
bool LeaseStagedFile(StagedFile *staged);
// True when a program opened the leased staged file for writing (or cut it) since the lease.
bool LeaseBroken(const StagedFile *staged);

// --- claim_posix.cpp

// The name a staged file `leaf` takes in its own folder while it is installed: reserved (no entry
// may stage or install a name of that form) and one per staged name, so that a later run finds
// what a killed one left and gives it its name back. False when it would not fit.
bool ComposeClaimedName(const char *leaf, char claimed[NAME_MAX + 1]);

// Gives the staged file taken under its reserved name `claimed` its name back. When the client
// has staged that name again meanwhile, the newer file supersedes it, and it goes. False, with
// the list to be kept, when it could do neither.
bool GiveClaimBack(MovePass *pass, const StagedFile *staged, const char *claimed);

// What a killed run left of the staged file `source` under its reserved name: given its name
// back when that name is free; deleted when the client has staged the file again since, which
// supersedes it. Reached without links below the staging folder, as a move reaches it.
void SettleClaimedFile(const char *source, size_t stagingLength);

// Removes `leaf` in `folder` only while it leads to the file `expected` describes, unchanged, and
// no program has it open for writing: a file the client rewrote, or is rewriting, stays.
// The name is first claimed (see above), and removed only when the claim holds that file and no
// open for writing came since the lease; otherwise it gets its name back. Where no claim can be
// made (no rename flags, no room for a name) it is removed by name after one more look.
bool RemoveNameIfUnchanged(MovePass *pass, int folder, const char *leaf, const struct stat *expected);

// --- copy_posix.cpp

// This process's number, asked once: it names every temporary of the run.
unsigned long ThisProcess();

// Copies the regular file open as `file` into a synced file in `folder`, under a new unique name
// `temporary` of this process, with its permission bits (never set-uid or set-gid). False, with
// nothing left, when it cannot.
bool CopyOpenFileAside(MovePass *pass, int file, const char *folder, char temporary[MOVE_TEMPORARY_PATH_SIZE]);

// Installs the staged file at `target` (its folder `folder`) through a synced copy; the staged
// name goes once SyncFolder(folder) has made the new name durable.
MoveOutcome MoveAcrossFileSystems(MovePass *pass, const StagedFile *staged, const char *target, const char *folder);

// --- durability_posix.cpp

// Hands the move the descriptor a note holds for the staged file `info` describes (same device
// and inode), still leased since before the sync and stamped after it: -1 when there is none.
// The move then owns it, and its lease; `*stamp` is the file as stamped.
int TakeNotedFile(MovePass *pass, const struct stat *info, struct stat *stamp);

// True when the staged file was on disk as a whole after SyncStagedFiles, has not changed since
// it was stamped there, and its move holds a lease on it (`staged->leased`).
bool SyncedUnchanged(const MovePass *pass, const StagedFile *staged);

// Notes the staged file's name for removal by SyncFolder(folder). When it cannot be noted the
// name stays, and the next run finds the file installed (or copies it again).
void QueueStagedRemoval(MovePass *pass, const StagedFile *staged, const char *folder, const struct stat *expected);

#endif

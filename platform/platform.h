// Platform services: the only place the updater touches the operating system beyond the
// standard library. Each service is one plain function; platform_win.cpp and
// platform_posix.cpp (and the per-OS files beside them) implement it, and the build picks
// the files. Every string is an 8-bit byte string, handed to the system unconverted.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdio.h>

// Turns on what the system offers against being misdirected while the updater runs, before it
// opens any file. Windows: DLLs come from the system folder only, never from the updater's own
// folder (the game folder); an elevated process no longer follows junctions and links that a
// process that was not elevated created (redirection trust, Windows 10 22H2 and 11; an
// unelevated one can reach nothing its user cannot, and follows the player's own); older systems
// and Wine refuse what they lack, which is ignored. POSIX: nothing.
void HardenProcess();

// Size of a folder buffer: at most 259 characters and a terminating zero.
enum { PLATFORM_FOLDER_SIZE = 260 };

// Fills `folder` (PLATFORM_FOLDER_SIZE bytes, zero-filled first) with the per-user application
// data folder: on Windows the shell's CSIDL_APPDATA folder (not created when missing), in the
// ANSI code page when it converts exactly, else its short 8.3 form when that does, else none; on
// POSIX $XDG_DATA_HOME when it is an absolute path, else $HOME + "/.local/share". Leaves
// `folder` empty and returns false when there is none or it would not fit; never cuts it.
bool GetUserDataFolder(char folder[PLATFORM_FOLDER_SIZE]);

// Why a platform service failed, handed from the call that failed to the message that tells it.
enum PlatformErrorKind {
    PLATFORM_ERROR_NONE = 0,         // nothing failed
    PLATFORM_ERROR_SYSTEM,           // the system refused: `code` is its error (POSIX errno, Windows Win32 error)
    PLATFORM_ERROR_NOT_REGULAR_FILE, // what the path leads to is not a regular file (a folder, FIFO, device,
                                     // pipe, socket), which is never read
    PLATFORM_ERROR_THROUGH_LINK,     // a file opened to be deleted is a link, or a link or junction led its
                                     // path elsewhere (or where it lies could not be told)
    PLATFORM_ERROR_PATH_TOO_LONG     // Windows: the path's full form is longer than the platform takes
};
struct PlatformError {
    PlatformErrorKind kind;
    unsigned long code; // for PLATFORM_ERROR_SYSTEM
};

// The reason `error` tells, for tools' messages: POSIX the text of the errno value, Windows the
// system's text for the Win32 error (FormatMessage), else the platform's own words. Never a text
// of success: a kind of none or a system error of 0 says that no reason was given. Without a
// final period or line end; it stays valid until the next call.
const char *DescribeFailure(PlatformError error);

// The length of the open file `file` in bytes, measured with 64-bit positions (a 32-bit one
// would wrap at 4 GiB), and the file positioned back at its start. -1 when it cannot be told.
long long MeasureFileLength(FILE *file);

// Opens the data file at `path` for reading in binary mode, only when what the path leads to is
// a regular file; a FIFO, device or folder there counts as a file that does not open, and
// nothing waits on it. With `forDeletion` the file can later go through DeleteDataFileAndClose:
// then a link at `path` counts as no file (deleting through it would reach another file), and on
// Windows no writer may hold it open. NULL when it does not open, and then `error`, unless NULL,
// tells why.
FILE *OpenDataFile(const char *path, bool forDeletion, PlatformError *error);

// Deletes the file that `file` (from OpenDataFile with `forDeletion`; one such file open at a
// time) was opened from, and only that file as it was read: when another file has taken its
// name `path` meanwhile (a new file list written by the client during the pass), or, on POSIX,
// the file was rewritten in place since it was opened (its size, modification or change time
// differ), it stays. Closes `file` either way. False when nothing was deleted.
bool DeleteDataFileAndClose(FILE *file, const char *path);

// Creates `path` (or empties the file there) for writing in binary mode: for tools that write
// data files. NULL when it cannot, and then `error`, unless NULL, tells why.
FILE *CreateOutputFile(const char *path, PlatformError *error);

// What lies at a path, for tools that report without changing anything.
enum PathKind {
    PATH_MISSING = 0,
    PATH_REGULAR_FILE,
    PATH_FOLDER,
    PATH_OTHER,
    PATH_UNSPELLABLE // ListFolder on Windows: a name the ANSI code page cannot spell, whatever it is
};
struct PathInfo {
    PathKind kind;           // a link (or junction) is PATH_OTHER: it is not followed; so is a
                             // name that cannot be examined (denied): it may hold a file
    long long size;          // bytes, for a regular file
    bool readOnly;           // Windows: the read-only attribute; POSIX: no write permission bit
    unsigned long long file; // with `volume`, the same for two names of one file
    unsigned long long volume;
};

// Fills `info` (zeroed first) with what lies at `path`, without following a final link.
void InspectPath(const char *path, PathInfo *info);

// Calls `visit` for each entry of the folder `folder` but "." and "..", with its name and what it
// is, not following a link (a link or junction is PATH_OTHER). On Windows a name the ANSI code
// page cannot spell is PATH_UNSPELLABLE, its name given in UTF-8: to be shown, never opened. For
// tools. False when the folder cannot be listed.
typedef void (*FolderVisitor)(const char *name, PathKind kind, void *context);
bool ListFolder(const char *folder, FolderVisitor visit, void *context);

// Blocks the calling thread for at least `milliseconds`.
void PauseMilliseconds(unsigned milliseconds);

// What a move did. MOVE_IN_USE is a failure that may pass: another program holds one of the two
// files for the moment (Windows sharing and lock violations, an open target; on POSIX a staged
// file open for writing elsewhere, or changed while it was copied). A permission refused is not
// in use: MOVE_FAILED. The caller decides whether to try again; both files are as they were
// either way.
enum MoveOutcome { MOVE_DONE = 0, MOVE_IN_USE, MOVE_FAILED };

// What a move of a staged file would meet, decided before anything changes. MoveFileReplacing
// acts on exactly this decision, and tools foresee a move through ForeseeMove.
enum MoveVerdict {
    MOVE_CREATES = 0,                  // nothing at the target: the staged file takes its name
    MOVE_REPLACES,                     // a file at the target (a link there is replaced, never followed)
    MOVE_DROPS_STAGED_NAME,            // the staged file is the target under a second name (POSIX: or a
                                       // file this process replaced since, unchanged: never put back)
    MOVE_SAME_FILE,                    // the staged path is the target's path (a game folder inside the
                                       // staging folder): left alone
    MOVE_STAGED_MISSING,               // no staged file, or a component of its path is missing
    MOVE_STAGED_THROUGH_LINK,          // a link or junction below the staging folder leads to it
    MOVE_STAGED_NOT_REGULAR,           // a link, FIFO, socket, device or folder: never opened
    MOVE_STAGED_UNREADABLE,            // a regular file the updater may not read
    MOVE_STAGED_NOT_SEARCHABLE,        // a folder on the staged path may not be searched
    MOVE_TARGET_FOLDER_MISSING,        // the target's folder is not there (links to folders are followed)
    MOVE_TARGET_FOLDER_NOT_SEARCHABLE, // a folder on the target's path may not be searched
    MOVE_TARGET_NOT_A_FILE,            // a folder at the target, or a link to one
    MOVE_NO_PERMISSION                 // the target's folder may not be written, or the target may not be
                                       // replaced (POSIX: immutable or append-only): fails at once
};

struct MoveForecast {
    MoveVerdict verdict;
    long long stagedSize; // for a regular staged file
    long long targetSize; // for MOVE_REPLACES
    bool targetReadOnly;  // for MOVE_REPLACES: replaced all the same
    bool targetIsLink;    // for MOVE_REPLACES: the link itself is replaced
    bool executableLost;  // for MOVE_REPLACES: the target may be executed, the staged file not (POSIX)
};

// Fills `forecast` with what MoveFileReplacing(source, stagingLength, target) would meet now,
// changing nothing. A file still in use is not foreseen.
void ForeseeMove(const char *source, size_t stagingLength, const char *target, MoveForecast *forecast);

// Moves the staged regular file `source` to `target`, replacing any file there, so that at every
// moment, a power cut included, `target` holds either its whole old content or the whole of
// `source`'s: the source's content is on disk before its name replaces the target's.
// The first `stagingLength` bytes of `source` name the staging folder, which is opened as it is;
// below it no link or junction is followed, in any component, and the file moved is the file
// that was checked (Windows: renamed through the handle that checked it; POSIX: renamed in its
// own folder to a reserved name, checked there to be the file opened, then renamed over the
// target; after a copy, its staged name is removed only while it still leads to that file,
// unchanged and open for writing nowhere, once SyncFolder has made the target's folder
// durable). POSIX: a staged file open for writing elsewhere, or opened
// for writing during the move, is MOVE_IN_USE, where a read lease can be had; elsewhere only a
// change of its size or time stamps during a copy is seen. Inside the target's
// path links are followed, except a link at the target itself, which is replaced.
// On one volume this is one replacing rename. Across volumes the content is copied into a
// temporary file in the target's folder, created exclusively under a name unique to this
// process (or, where the system allows, with no name until it is complete), flushed, renamed
// over the target, made durable there, and only then is `source` removed. A staged file whose
// size or modification time changes during the copy is not installed. A copy keeps the
// permission bits but never set-uid or set-gid. A target in use that cannot be replaced but can
// be renamed (Windows: a running program, a loaded DLL) is set aside in its own folder under a
// reserved name that keeps its own, and the new file takes the freed name; RemoveMoveLeftovers
// later settles what was set aside. A source that is not a regular file is never
// opened for reading or moved: MOVE_FAILED. A source that is another name of the target itself
// loses that name and the content stays; a source that is the target's own path is left alone.
// On any failure `source` and `target` are as they were; after MOVE_IN_USE a finished copy may
// be kept for the next try of the same move (see ForgetKeptCopy), otherwise no temporary file is
// left. A done move still needs SyncFolder on the target's folder to survive a power cut on POSIX.
MoveOutcome MoveFileReplacing(const char *source, size_t stagingLength, const char *target);

// False when a move of this process had to leave a staged file under the reserved name it takes
// while it is installed, unable to give it its name back: the file list must then stay, so that
// the next run (whose PrepareStagedFile gives such files their names back) installs it. Windows:
// always true.
bool StagedFilesStayReachable();

// Settles what killed runs left under the reserved name that a move, or the deletion of the
// list, takes in the staging folder, anywhere below `stagingFolder` (links not followed, 16
// levels deep): with `settle`, each such file gets its name back when that name is free. One
// whose name is taken stays, waiting for its name, and is told to `visit` (unless NULL) with its
// path; without `settle` nothing changes and every such file is told. Call it with `settle` only
// while LockUpdateRun is held. Windows: nothing, as no file is ever left under such a name.
typedef void (*ClaimedFileVisitor)(const char *path, bool nameTaken, void *context);
void SettleClaimedFiles(const char *stagingFolder, bool settle, ClaimedFileVisitor visit, void *context);

// Removes the copy that a move kept after MOVE_IN_USE for its next try: for a move that will not
// be tried again. Nothing when none is kept.
void ForgetKeptCopy();

// Readies the staged file `source` for its move to `target`, before any move of the pass: POSIX
// gives it its name back when a killed run left it under the reserved name a move takes, and
// when its move will be a rename notes it for SyncStagedFiles, holding it open for reading until
// then; Windows nothing. Reaches it as MoveFileReplacing does (no link below the staging folder,
// only a regular file, never blocking). No result: a file it could not ready is readied by its
// move. The first call after SyncStagedFiles begins a new set of files.
void PrepareStagedFile(const char *source, size_t stagingLength, const char *target);

// Makes the files given to PrepareStagedFile durable in one step where that costs less than a sync
// per file: POSIX one syncfs of the staging folder's file system, on file systems where that
// reaches the disk, when the system holds little other unwritten data; then it closes them.
// MoveFileReplacing then skips its own sync of a file only when: no program had it open for
// writing from before the syncfs until its stamp, taken after (a read lease); its last change
// was more than a clock tick before that stamp; it is unchanged since; and the move holds its
// own lease on it. A program opening such a file for writing meanwhile waits until the stamp.
// Windows: nothing. A hint: where it does nothing, or fails, each move syncs its own file.
void SyncStagedFiles(const char *stagingFolder);

// Starts a pass of moves afresh in a process that makes more than one (the client library): what
// an earlier pass found is forgotten (the folders it reached and held, a staged file it left under
// its reserved name), so that nothing is reached through a folder moved away since. With
// `setAsideTargetsInUse` false, a target in use that a move would set aside (Windows: a running
// program, a loaded DLL) is MOVE_IN_USE instead, and stays. The updater's one pass needs no call:
// a process starts as after BeginMovePass(true).
void BeginMovePass(bool setAsideTargetsInUse);

// Ends the pass's moves: lets go of what it held open for them (POSIX: a staged file still open
// and leased for a move that did not take it). Windows: nothing.
void EndMovePass();

// Makes the entries of `folder` (renames into it, removals) durable. POSIX: fsync of the
// folder; a file system that cannot sync folders counts as done; then the staged names of the
// files moved into it go. Windows: nothing, since every
// move there is made with MOVEFILE_WRITE_THROUGH. False when they may not be on disk.
bool SyncFolder(const char *folder);

// Removes the temporary files that a killed move left in `folder`: only regular files whose
// names have exactly the form this layer gives its temporaries and whose process has ended
// (POSIX; on Windows a copy in flight is open without sharing and cannot be deleted), so that
// another user's updater installing there keeps its copy. Files that moves set aside there
// are deleted once their programs have ended, or given their names back when those are empty.
// `folder` is reached as the moves into it reached it, through the game folder's links too: a
// move through a relocated data folder leaves its leftovers there, and a file set aside there by
// a killed run gets its name back only here. Call it only while LockUpdateRun is held, so that
// no other run of the user settles the same files at once.
void RemoveMoveLeftovers(const char *folder);

// True when the file name `name` (`length` bytes, no folder part) has the form the updater
// reserves for its own files: it starts with ".~upd-", in any case. No entry may install or
// stage a file of that form.
bool IsReservedFileName(const char *name, size_t length);

// The kind of the updater's own file that the file name `name` (no folder part) is, by its exact
// form: a temporary copy a killed move left, or a file set aside while in use (made on Windows
// only, and settled only by a run there). A hand-placed name that merely starts like them is none.
enum LeftoverKind { LEFTOVER_NONE, LEFTOVER_TEMPORARY, LEFTOVER_SET_ASIDE };
LeftoverKind KindOfLeftover(const char *name);

// The bytes of the path character at `at` (a zero-terminated string): on Windows two for a lead
// byte of the ANSI code page's double-byte characters, whose second byte may be that of "\\"
// (Shift-JIS); otherwise one. Separators are looked for only at character starts.
size_t PathCharacterLength(const char *at);

// True when the two paths name the same file by their spelling, as the file system reads them:
// POSIX byte for byte; Windows ignoring case, with "/" and "\\" alike.
bool NameSameFile(const char *first, const char *second);

// The length of the folder part of `path`: up to, not including, its last separator ("/";
// on Windows "/" or "\\", never the second byte of a double-byte character of the ANSI code page). A path in the root
// folder ("/x") gives 1, so the part names "/"; on Windows "C:\x" gives 3 and "\\?\C:\x" 7, the
// root with its separator. 0 when `path` has no separator.
size_t FolderPartLength(const char *path);

// True when `path` names the same place whatever the process's current folder: POSIX a path
// starting with "/"; Windows a drive with its root (C:\Games, C:/Games) or a path starting with
// two separators (\\server\share, \\?\C:\Games). "\Games" and "C:Games" depend on the current
// drive or its current folder, and count as relative.
bool IsAbsolutePath(const char *path);

// True when a folder of `path` after its first `trustedLength` bytes (not the last component)
// is a link or junction: what the moves follow there, which an elevated run on Windows does
// only for those an elevated process made (see HardenProcess).
bool FolderPartCrossesLink(const char *path, size_t trustedLength);

// How an updater run that this account starts stands beside this process, for tools that
// foresee a run. Windows: the updater asks for the highestAvailable level, so for an
// administrator whose token UAC splits it runs with the elevated linked token (after the consent
// prompt), while a tool started as usual runs with the limited one. POSIX: never.
enum ElevatedRun {
    ELEVATED_RUN_SAME = 0, // the updater runs with this process's rights (POSIX; Windows: a standard
                           // account, a tool already elevated, UAC turned off; Wine, whose every
                           // process is elevated)
    ELEVATED_RUN_LINKED    // this process has a limited token whose linked token is elevated:
                           // the updater, started by this account, runs with that one
};
ElevatedRun FindElevatedRun();

// What an access check says of an elevated run where this process has no permission.
enum ElevatedAccess {
    ELEVATED_ACCESS_UNKNOWN = 0, // no linked token, or a security descriptor or the check is not to be had
    ELEVATED_ACCESS_ALLOWED,
    ELEVATED_ACCESS_REFUSED
};

// For a target that ForeseeMove found MOVE_NO_PERMISSION for, when FindElevatedRun says
// ELEVATED_RUN_LINKED: whether the elevated linked token may do what the move needs, by an
// access check of that token against the security descriptors of the target's folder (adding
// a name; reached through its links, as the moves reach it) and of a file at the target itself
// (deleting it and changing its attributes, or the folder's deletion of its children). Changes
// nothing. POSIX: always ELEVATED_ACCESS_UNKNOWN.
ElevatedAccess CheckElevatedReplace(const char *target);

// What LockUpdateRun found.
enum RunLockOutcome {
    RUN_LOCK_HELD = 0, // the claim is this process's until UnlockUpdateRun (or exit)
    RUN_LOCK_NO_CLAIM, // no claim can be made at all; nothing is held
    RUN_LOCK_TIMED_OUT // another process held it for the whole wait; nothing is held
};

// Waits at most `waitMs` milliseconds until no other updater of this user works on the staging
// folder `stagingFolder`, and then holds that claim. POSIX: flock on the folder itself (nothing
// is created in it), tried again every few milliseconds. Windows: a mutex in the global
// namespace named after the user's SID, so one for all of the user's sessions, owned by the
// user and usable by the user alone, so that the user's elevated and unelevated runs can both
// wait on it; when another account holds that name, the same in the session's own namespace.
// RUN_LOCK_NO_CLAIM when the folder is missing or the system refuses to create or open the
// mutex: the caller then goes on without it.
RunLockOutcome LockUpdateRun(const char *stagingFolder, unsigned waitMs);

// Gives up the claim LockUpdateRun holds, so that a program started next can start an updater
// that does not wait for this one. Nothing when none is held.
void UnlockUpdateRun();

// True when a top-level window of class `windowClass` exists, whatever its title; classes are
// compared without regard to case. Windows: FindWindowA. POSIX: a top-level X11 client window
// whose WM_CLASS name or class matches (also inside a window manager's frames), when the build
// has X11 and $DISPLAY opens; otherwise no such window exists.
bool TopLevelWindowExists(const char *windowClass);

// Shows `text` with `caption` and one OK button, no owner, and returns when the user dismisses
// it. POSIX: when standard input and standard error are a terminal, prints both and waits for
// Enter; otherwise (and once input has ended) the box cannot be shown and it returns at once.
void ShowMessageBox(const char *text, const char *caption);

// Starts the program at `path` with no arguments, in the caller's current folder, and returns
// without waiting for it. Windows: from the plain form ("C:\...", "\\server\...") of the extended
// form the file calls take, or of its short 8.3 form when that has MAX_PATH characters or more
// (none, or a device path with no extended form: nothing starts), shown with SW_SHOW. Never
// elevated while a limited token stands behind the process's elevated one: then through the
// desktop shell's ShellExecute, else by CreateProcessAsUserW with that limited token, else not
// at all; otherwise ShellExecuteW with the default verb. POSIX: a
// detached process in its own session with the caller's standard streams, leaving no zombie;
// a missing or non-executable file starts nothing. Failures are not reported.
void LaunchProgram(const char *path);

// Makes standard output pass bytes through unchanged (Windows would turn "\n" into "\r\n").
// For tools that write binary data there; the updater's own console line keeps the default.
void UseBinaryStandardOutput();

#endif

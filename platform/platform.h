// Platform services: the only place the updater touches the operating system beyond the
// standard library. Each service is one plain function; platform_win.cpp and
// platform_posix.cpp (and the per-OS files beside them) implement it, and the build picks
// the files. Every string is an 8-bit byte string, handed to the system unconverted.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdio.h>

// Turns on what the system offers against being misdirected while the updater runs, before it
// opens any file. Windows: the process no longer follows junctions and links that a
// non-administrator created (redirection trust, Windows 10 22H2 and 11); older systems and Wine
// refuse it, which is ignored. POSIX: nothing.
void HardenProcess();

// Size of a folder buffer: at most 259 characters and a terminating zero.
enum { PLATFORM_FOLDER_SIZE = 260 };

// Fills `folder` (PLATFORM_FOLDER_SIZE bytes, zero-filled first) with the per-user application
// data folder: on Windows the shell's CSIDL_APPDATA folder (not created when missing); on
// POSIX $XDG_DATA_HOME when it is an absolute path, else $HOME + "/.local/share". Leaves
// `folder` empty and returns false when there is none or it would not fit; never cuts it.
bool GetUserDataFolder(char folder[PLATFORM_FOLDER_SIZE]);

// The length of the open file `file` in bytes, measured with 64-bit positions (a 32-bit one
// would wrap at 4 GiB), and the file positioned back at its start. -1 when it cannot be told.
long long MeasureFileLength(FILE *file);

// What lies at a path, for tools that report without changing anything.
enum PathKind { PATH_MISSING = 0, PATH_REGULAR_FILE, PATH_FOLDER, PATH_OTHER };
struct PathInfo {
    PathKind kind;           // a link (or junction) is PATH_OTHER: it is not followed
    long long size;          // bytes, for a regular file
    bool readOnly;           // Windows: the read-only attribute; POSIX: no write permission bit
    unsigned long long file; // with `volume`, the same for two names of one file
    unsigned long long volume;
};

// Fills `info` (zeroed first) with what lies at `path`, without following a final link.
void InspectPath(const char *path, PathInfo *info);

// Blocks the calling thread for at least `milliseconds`.
void PauseMilliseconds(unsigned milliseconds);

// What a move did. MOVE_IN_USE is a failure that may pass: another program holds one of the two
// files for the moment (Windows sharing and lock violations, an open target). The caller
// decides whether to try again; both files are as they were either way.
enum MoveOutcome { MOVE_DONE = 0, MOVE_IN_USE, MOVE_FAILED };

// Moves the regular file `source` to `target`, replacing any file there, so that at every
// moment, a power cut included, `target` holds either its whole old content or the whole of
// `source`'s: the source's content is on disk before its name replaces the target's. On one
// volume this is one replacing rename. Across volumes the content is copied into a temporary
// file in the target's folder, created exclusively under a name unique to this process (or,
// where the system allows, with no name until it is complete), flushed, renamed over the
// target, made durable there, and only then is `source` removed. A copy keeps the permission
// bits but never set-uid or set-gid. A source that is not a regular file (a link, FIFO,
// device, folder) is never opened for reading or moved: MOVE_FAILED. A source that is another
// name of the target itself loses that name and the content stays. On any failure `source`
// and `target` are as they were and no temporary file is left. A done move still needs
// SyncFolder on the target's folder to survive a power cut on POSIX.
MoveOutcome MoveFileReplacing(const char *source, const char *target);

// Asks the system to start writing `path`'s content to disk now, without waiting, so that the
// syncs of many files overlap. Only regular files; never blocks on a FIFO. A hint: no result.
void StartWriteBack(const char *path);

// Makes the entries of `folder` (renames into it, removals) durable. POSIX: fsync of the
// folder; a file system that cannot sync folders counts as done. Windows: nothing, since every
// move there is made with MOVEFILE_WRITE_THROUGH. False when they may not be on disk.
bool SyncFolder(const char *folder);

// Removes the temporary files that a killed move left in `folder`: only names of the form this
// layer gives its temporaries, which no game file has. Call it only while LockUpdateRun is held,
// so that no other updater's copy in progress is taken.
void RemoveMoveLeftovers(const char *folder);

// The length of the folder part of `path`: up to, not including, its last separator ("/";
// on Windows "/" or "\\"). A path in the root folder ("/x") gives 1, so the part names "/".
// 0 when `path` has no separator.
size_t FolderPartLength(const char *path);

// Waits until no other updater of this user works on the staging folder `stagingFolder`, then
// holds that claim until the process exits. POSIX: flock on the folder itself (nothing is
// created in it). Windows: a named mutex of the user's session. Returns false, holding nothing,
// when the claim cannot be made (the folder is missing); the caller goes on without it.
bool LockUpdateRun(const char *stagingFolder);

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
// without waiting for it. Windows: ShellExecuteA with the default verb and SW_SHOW. POSIX: a
// detached process in its own session with the caller's standard streams, leaving no zombie;
// a missing or non-executable file starts nothing. Failures are not reported.
void LaunchProgram(const char *path);

// Makes standard output pass bytes through unchanged (Windows would turn "\n" into "\r\n").
// For tools that write binary data there; the updater's own console line keeps the default.
void UseBinaryStandardOutput();

#endif

// Platform services: the only place the updater touches the operating system beyond the
// standard library. Each service is one plain function; platform_win.cpp and
// platform_posix.cpp (and the per-OS files beside them) implement it, and the build picks
// the files. Every string is an 8-bit byte string, handed to the system unconverted.
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stddef.h>

// Size of a folder buffer: at most 259 characters and a terminating zero.
enum { PLATFORM_FOLDER_SIZE = 260 };

// Fills `folder` (PLATFORM_FOLDER_SIZE bytes, zero-filled first) with the per-user application
// data folder: on Windows the shell's CSIDL_APPDATA folder (not created when missing); on
// POSIX $XDG_DATA_HOME when it is an absolute path, else $HOME + "/.local/share". Leaves
// `folder` empty and returns false when there is none or it would not fit; never cuts it.
bool GetUserDataFolder(char folder[PLATFORM_FOLDER_SIZE]);

// Blocks the calling thread for at least `milliseconds`.
void PauseMilliseconds(unsigned milliseconds);

// Moves the file `source` to `target`, replacing any file there, so that at every moment
// `target` holds either its whole old content or the whole of `source`'s. On one volume this is
// one replacing rename. Across volumes the content is copied into a temporary file beside the
// target (target + MOVE_TEMPORARY_SUFFIX, the same name for the same target, so a later move
// overwrites what an interrupted one left), flushed to disk, renamed over the target, and only
// then is `source` removed. Returns false when `target` was not replaced; `source` and
// `target` are then as they were and no temporary file is left behind. Returns true once the
// target holds the new content, even if removing `source` afterwards failed.
bool MoveFileReplacing(const char *source, const char *target);

#define MOVE_TEMPORARY_SUFFIX ".updating"

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

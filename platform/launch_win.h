// Internal to the Windows platform layer: starting a program with the limited token behind an
// elevated one, through the desktop shell or by that token itself.
#ifndef PLATFORM_LAUNCH_WIN_H
#define PLATFORM_LAUNCH_WIN_H

#include <windows.h>

// True when the process runs with an administrator's elevated token.
bool RunsElevated();

// True when the process runs elevated and a limited token of the same user stands behind it
// (TokenElevationTypeFull).
bool RunsElevatedWithLimitedToken();

// The path the client is started from, written into `launchable`: the plain form of the path's
// extended form, the one every file call of the run took (so "\\?\C:\Games/Orvo.exe" starts
// "C:\Games\Orvo.exe"); when that has MAX_PATH characters or more, the longest the shell starts,
// the plain form of its short 8.3 form. False when neither is there.
bool LaunchablePath(const char *path, wchar_t launchable[MAX_PATH]);

// What StartThroughDesktopShell came to.
enum ShellStart {
    SHELL_START_UNREACHED, // a step before the shell's ShellExecute failed: nothing was asked
    SHELL_START_REFUSED,   // the shell's ShellExecute was called and failed
    SHELL_START_DONE,      // the shell started it
    SHELL_START_TIMED_OUT  // no answer within the bound: the shell may still start it
};

// How long StartThroughDesktopShell waits for the shell: a hung Explorer must not hold the
// updater, which the client waits for.
enum { SHELL_START_WAIT_MS = 10000 };

// Starts the program at `path` with no parameters, in the caller's current folder, through the
// desktop shell's own ShellExecute, so that it runs with the shell's rights. The calls into the
// shell run on a thread of their own, waited for at most SHELL_START_WAIT_MS; on a timeout that
// thread is left to the process's end. Call it only while a shell runs (GetShellWindow), since
// reaching its window list could otherwise start one, and once per process.
ShellStart StartThroughDesktopShell(const wchar_t *path);

// What StartWithLinkedToken came to.
enum LinkedStart {
    LINKED_START_REFUSED,  // no limited token to start it with, or the system refused: not started
    LINKED_START_ELEVATED, // the system started it elevated all the same: ended before it ran
    LINKED_START_DONE      // started with the limited token
};

// Starts the program at `path` (shorter than MAX_PATH) with no parameters, in the caller's
// current folder, with the limited token linked to the process's elevated one
// (CreateProcessAsUserW with a primary duplicate of it). The program is created suspended and
// runs only once its token is seen not to be elevated. Windows hands an elevated process without
// SeTcbPrivilege its linked token at the identification level only, of which it makes no primary
// token: there the start is refused.
LinkedStart StartWithLinkedToken(const wchar_t *path);

#endif

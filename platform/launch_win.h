// Internal to the Windows platform layer: starting a program through the desktop shell.
#ifndef PLATFORM_LAUNCH_WIN_H
#define PLATFORM_LAUNCH_WIN_H

// True when the process runs with an administrator's elevated token.
bool RunsElevated();

// True when the process runs elevated and a limited token of the same user stands behind it
// (TokenElevationTypeFull).
bool RunsElevatedWithLimitedToken();

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

#endif

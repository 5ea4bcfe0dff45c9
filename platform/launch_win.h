// Internal to the Windows platform layer: starting a program through the desktop shell.
#ifndef PLATFORM_LAUNCH_WIN_H
#define PLATFORM_LAUNCH_WIN_H

// True when the process runs elevated and a limited token of the same user stands behind it
// (TokenElevationTypeFull).
bool RunsElevatedWithLimitedToken();

// Starts the program at `path` with no parameters, in the caller's current folder, through the
// desktop shell's own ShellExecute, so that it runs with the shell's rights. False when any step
// of reaching the shell fails; nothing is started then. Call it only while a shell runs
// (GetShellWindow), since reaching its window list could otherwise start one.
bool StartThroughDesktopShell(const char *path);

#endif

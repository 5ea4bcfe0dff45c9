// Starts PROGRAM through the desktop shell, as an elevated updater starts the client, and says
// whether that path was taken. Usage: shell_start PROGRAM
// Exit status 0 when the shell started it, 3 when there was no shell to start it through.
#include <stdio.h>
#include <windows.h>

#include "platform/launch_win.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: shell_start PROGRAM\n");
        return 2;
    }
    wchar_t program[MAX_PATH];
    if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, program, MAX_PATH) == 0)
        return 2;
    bool started = StartThroughDesktopShell(program) == SHELL_START_DONE;
    printf("elevated with a limited token: %s\nstarted through the desktop shell: %s\n",
           RunsElevatedWithLimitedToken() ? "yes" : "no", started ? "yes" : "no");
    return started ? 0 : 3;
}

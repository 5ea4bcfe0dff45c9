// Runs a program with the limited token linked to this process's elevated one, as an
// administrator's programs run unless elevated, and waits for it. Under Wine every process is
// elevated with a limited token behind it, so this is how a test meets the limited side.
// Usage: limited_start PROGRAM [ARGUMENT...] (arguments without spaces or quotes)
// Exit status: the program's; 2 when it cannot be started so.
#include <stdio.h>
#include <string.h>
#include <string>
#include <windows.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: limited_start PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    std::string command = "\"" + std::string(argv[1]) + "\"";
    for (int i = 2; i < argc; ++i)
        command += " " + std::string(argv[i]);
    HANDLE token = NULL;
    TOKEN_LINKED_TOKEN linked;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    HANDLE primary = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0 ||
        GetTokenInformation(token, TokenLinkedToken, &linked, sizeof linked, &size) == 0 ||
        GetTokenInformation(linked.LinkedToken, TokenElevationType, &type, sizeof type, &size) == 0 ||
        type != TokenElevationTypeLimited ||
        DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, NULL, SecurityImpersonation, TokenPrimary, &primary) ==
            0) {
        fprintf(stderr, "limited_start: no limited token to run with (error %lu)\n", GetLastError());
        return 2;
    }
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    std::string line = command;
    if (CreateProcessAsUserA(primary, NULL, &line[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process) == 0) {
        fprintf(stderr, "limited_start: cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 2;
    GetExitCodeProcess(process.hProcess, &code);
    return (int)code;
}

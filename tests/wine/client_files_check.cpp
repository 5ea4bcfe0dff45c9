// Runs one of the client library's file services and prints what it came to, for
// client_files_test.sh. Usage:
//   client_files_check writers PATH                      prints the writer check's answer
//   client_files_check folders PATH TRUSTED_LENGTH       prints "created" or the refusal
//   client_files_check start PROGRAM ARGUMENT FOLDER     starts PROGRAM (any spelling) detached
// Started any other way it is the started program: it waits (at most 60 s) until "go" lies
// beside it, then writes its current folder and its arguments into "seen.txt" beside it.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <shellapi.h>

#include "platform/client_files.h"

static int BeStarted(int argc, char **argv)
{
    // Its own folder in UTF-16: the code page may not spell it.
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH * 2];
    wchar_t done[MAX_PATH * 2];
    char current[MAX_PATH];
    memset(folder, 0, sizeof folder);
    memset(current, 0, sizeof current);
    GetModuleFileNameW(NULL, folder, MAX_PATH - 1);
    *wcsrchr(folder, L'\\') = L'\0';
    swprintf(path, MAX_PATH * 2, L"%ls\\go", folder);
    for (int waited = 0; waited < 6000 && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES; ++waited)
        Sleep(10);
    GetCurrentDirectoryA(MAX_PATH - 1, current);
    swprintf(path, MAX_PATH * 2, L"%ls\\seen.part", folder);
    FILE *seen = _wfopen(path, L"wb");
    if (seen == NULL)
        return 1;
    fprintf(seen, "cwd %s\narguments %d\n", current, argc - 1);
    for (int at = 1; at < argc; ++at)
        fprintf(seen, "[%s]\n", argv[at]);
    fclose(seen);
    // Named "seen.txt" only once whole, so that the test reads it as soon as it appears.
    swprintf(done, MAX_PATH * 2, L"%ls\\seen.txt", folder);
    return MoveFileW(path, done) != 0 ? 0 : 1;
}

// The kind of `error`, and a system error's number (its text differs between Wine and Windows).
static const char *Reason(PlatformError error)
{
    static char reason[64];
    snprintf(reason, sizeof reason, "system %lu", error.code);
    return error.kind == PLATFORM_ERROR_THROUGH_LINK       ? "link"
           : error.kind == PLATFORM_ERROR_NOT_REGULAR_FILE ? "file"
           : error.kind == PLATFORM_ERROR_SYSTEM           ? reason
                                                           : "other";
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "writers") == 0) {
        WriterCheck check = CheckForWriters(argv[2]);
        puts(check == NO_WRITERS ? "no writers" : check == WRITERS_PRESENT ? "writers present" : "unknown");
        return 0;
    }
    PlatformError error = {PLATFORM_ERROR_NONE, 0};
    if (argc == 4 && strcmp(argv[1], "folders") == 0) {
        if (CreateFoldersFor(argv[2], strtoul(argv[3], NULL, 10), &error))
            puts("created");
        else
            printf("refused %s\n", Reason(error));
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "start") == 0) {
        // The program's path as typed, in UTF-8, as a client hands it over.
        int count = 0;
        wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
        char program[MAX_PATH * 4];
        if (wide == NULL || count != 5 ||
            WideCharToMultiByte(CP_UTF8, 0, wide[2], -1, program, sizeof program, NULL, NULL) == 0)
            return 2;
        if (StartDetachedProgram(program, argv[3], argv[4], &error))
            puts("started");
        else
            printf("not started: %s\n", Reason(error));
        return 0;
    }
    return BeStarted(argc, argv);
}

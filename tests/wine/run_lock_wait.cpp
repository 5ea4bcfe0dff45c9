// The run's lock between processes. Usage:
//   run_lock_wait hold READY_FLAG RELEASE_FLAG  takes the lock, creates READY_FLAG, holds the
//                                               lock until RELEASE_FLAG appears (at most 60 s)
//   run_lock_wait try                           exit status 0 when the lock is free at once
//   run_lock_wait pass WAIT_MS                  the file-list phase with that bound; prints
//                                               "waited MS free N": N is 1 when another process
//                                               could take the lock right after the phase
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "datafiles/file_list.h"
#include "platform/platform.h"
#include "updater/update_run.h"
#include "updater/updater_state.h"

static bool FileExists(const char *path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// Runs this program with `arguments` and returns its exit status (-1 when it cannot).
static int RunSelf(const char *arguments)
{
    char self[MAX_PATH];
    char command[MAX_PATH + 64];
    if (GetModuleFileNameA(NULL, self, sizeof self) == 0)
        return -1;
    snprintf(command, sizeof command, "\"%s\" %s", self, arguments);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process) == 0)
        return -1;
    DWORD status = (DWORD)-1;
    (void)WaitForSingleObject(process.hProcess, 60000);
    (void)GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return (int)status;
}

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "hold") == 0) {
        if (LockUpdateRun("", 60000) != RUN_LOCK_HELD)
            return 1;
        HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        CloseHandle(ready);
        for (int waited = 0; waited < 6000 && !FileExists(argv[3]); ++waited)
            Sleep(10);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "try") == 0)
        return LockUpdateRun("", 0) == RUN_LOCK_HELD ? 0 : 3;
    if (argc == 3 && strcmp(argv[1], "pass") == 0) {
        ResetUpdaterState();
        (void)GetUserDataFolder(g_UpdaterState.AppDataPath);
        RunSettingsPhase();
        ULONGLONG started = GetTickCount64();
        ProcessFileList((unsigned)atoi(argv[2]));
        ULONGLONG waited = GetTickCount64() - started;
        printf("waited %llu free %d\n", (unsigned long long)waited, RunSelf("try") == 0 ? 1 : 0);
        return 0;
    }
    fprintf(stderr, "usage: run_lock_wait hold READY RELEASE | try | pass WAIT_MS\n");
    return 2;
}

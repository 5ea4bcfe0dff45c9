// Stands in for the client's "Orvo.exe": records that it was started, from which folder, whether
// its token is elevated, and what the installed "Data.pak" beside it held at that moment, in
// "started.txt" beside it.
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main()
{
    char folder[MAX_PATH];
    memset(folder, 0, sizeof folder);
    // Wine names a program started from a share "UNC\server\...": the "\\?\" it drops is put back.
    GetModuleFileNameA(NULL, folder + 4, MAX_PATH - 5);
    if (strncmp(folder + 4, "UNC\\", 4) == 0)
        memcpy(folder, "\\\\?\\", 4);
    else
        memmove(folder, folder + 4, strlen(folder + 4) + 1);
    char *slash = strrchr(folder, '\\');
    if (slash != NULL)
        *slash = '\0';
    char path[MAX_PATH * 2];
    char data[256];
    memset(data, 0, sizeof data);
    snprintf(path, sizeof path, "%s\\Data.pak", folder);
    FILE *installed = fopen(path, "rb");
    if (installed != NULL) {
        fread(data, 1, sizeof data - 1, installed);
        fclose(installed);
    }
    char current[MAX_PATH];
    memset(current, 0, sizeof current);
    GetCurrentDirectoryA(MAX_PATH - 1, current);
    HANDLE token = NULL;
    TOKEN_ELEVATION elevation;
    DWORD size = 0;
    memset(&elevation, 0, sizeof elevation);
    bool known = OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) != 0 &&
                 GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) != 0;
    snprintf(path, sizeof path, "%s\\started.txt", folder);
    FILE *record = fopen(path, "w");
    if (record == NULL)
        return 1;
    fprintf(record, "cwd %s\nelevated %s\ndata %s", current,
            !known                      ? "unknown"
            : elevation.TokenIsElevated ? "yes"
                                        : "no",
            data);
    fclose(record);
    return 0;
}

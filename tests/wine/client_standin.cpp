// Stands in for the client's "Orvo.exe": records that it was started, from which folder, and
// what the installed "Data.pak" beside it held at that moment, in "started.txt" beside it.
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main()
{
    char folder[MAX_PATH];
    memset(folder, 0, sizeof folder);
    GetModuleFileNameA(NULL, folder, MAX_PATH - 1);
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
    snprintf(path, sizeof path, "%s\\started.txt", folder);
    FILE *record = fopen(path, "w");
    if (record == NULL)
        return 1;
    fprintf(record, "cwd %s\ndata %s", current, data);
    fclose(record);
    return 0;
}

// Holds a file open without any sharing, as a running game or a virus scanner might, until
// told to let go; with "shared", open for writing but sharing everything, as a client that keeps
// its settings file open does; with "writer", writing and sharing reading only; with "reader",
// reading and sharing reading only. Usage: hold_file PATH READY_FLAG RELEASE_FLAG [MODE]
// Creates READY_FLAG once PATH is open, then waits (at most 60 s) for RELEASE_FLAG to appear.
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: hold_file PATH READY_FLAG RELEASE_FLAG [shared|writer|reader]\n");
        return 2;
    }
    const char *mode = argc == 5 ? argv[4] : "";
    DWORD sharing = strcmp(mode, "shared") == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                    : strcmp(mode, "") == 0     ? 0
                                                : FILE_SHARE_READ;
    DWORD access = strcmp(mode, "writer") == 0   ? GENERIC_WRITE
                   : strcmp(mode, "reader") == 0 ? GENERIC_READ
                                                 : GENERIC_READ | GENERIC_WRITE;
    HANDLE held = CreateFileA(argv[1], access, sharing, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (held == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "hold_file: cannot open %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    HANDLE ready = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    CloseHandle(ready);
    for (int waited = 0; waited < 6000; ++waited) {
        if (GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES)
            break;
        Sleep(10);
    }
    CloseHandle(held);
    return 0;
}

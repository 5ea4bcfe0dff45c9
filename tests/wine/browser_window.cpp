// Stands in for the client's browser: a top-level window of class "OrvoBrowser" for a while.
// Usage: browser_window MILLISECONDS READY_FLAG WATCH_PATH RESULT_FILE [CLOSE_FLAG]
// With CLOSE_FLAG it also closes as soon as that file exists.
// Creates READY_FLAG once the window exists. Just before closing it writes to RESULT_FILE
// "present" or "absent": whether WATCH_PATH (a staged file) was still in place.
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static void WriteText(const char *path, const char *text)
{
    FILE *file = fopen(path, "w");
    if (file != NULL) {
        fputs(text, file);
        fclose(file);
    }
}

int main(int argc, char **argv)
{
    if (argc != 5 && argc != 6) {
        fprintf(stderr, "usage: browser_window MILLISECONDS READY_FLAG WATCH_PATH RESULT_FILE [CLOSE_FLAG]\n");
        return 2;
    }
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "OrvoBrowser";
    if (!RegisterClassA(&windowClass))
        return 1;
    HWND window = CreateWindowA("OrvoBrowser", "Orvo", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, NULL, NULL,
                                windowClass.hInstance, NULL);
    if (window == NULL) {
        fprintf(stderr, "browser_window: CreateWindow failed (error %lu)\n", GetLastError());
        return 1;
    }
    ShowWindow(window, SW_SHOW);
    WriteText(argv[2], "ready");

    DWORD until = GetTickCount() + (DWORD)atol(argv[1]);
    while ((LONG)(until - GetTickCount()) > 0 &&
           (argc != 6 || GetFileAttributesA(argv[5]) == INVALID_FILE_ATTRIBUTES)) {
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        Sleep(10);
    }
    WriteText(argv[4], GetFileAttributesA(argv[3]) != INVALID_FILE_ATTRIBUTES ? "present" : "absent");
    DestroyWindow(window);
    return 0;
}

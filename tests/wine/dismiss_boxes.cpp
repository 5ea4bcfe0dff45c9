// Plays the user: finds each "Waiting..." message box, checks it and presses OK, counting them.
// Usage: dismiss_boxes STOP_FLAG RESULT_FILE
// Runs until STOP_FLAG exists (at most 120 s), then writes to RESULT_FILE one line each:
// "boxes N", "bad_text N" (boxes whose text was not exact), "owned N" (boxes with an owner).
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: dismiss_boxes STOP_FLAG RESULT_FILE\n");
        return 2;
    }
    int boxes = 0;
    int badText = 0;
    int owned = 0;
    for (int tick = 0; tick < 12000; ++tick) {
        if (GetFileAttributesA(argv[1]) != INVALID_FILE_ATTRIBUTES)
            break;
        // A message box is a dialog of class "#32770" titled by its caption.
        HWND box = FindWindowA("#32770", "Waiting...");
        if (box == NULL) {
            Sleep(10);
            continue;
        }
        char text[256];
        memset(text, 0, sizeof text);
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text - 1);
        ++boxes;
        if (strcmp(text, "Waiting for the browser to exit") != 0)
            ++badText;
        if (GetWindow(box, GW_OWNER) != NULL)
            ++owned;
        PostMessageA(box, WM_COMMAND, IDOK, 0);
        // Count each box once: wait until this one is gone.
        for (int wait = 0; wait < 500 && IsWindow(box); ++wait)
            Sleep(2);
    }
    FILE *result = fopen(argv[2], "w");
    if (result == NULL)
        return 1;
    fprintf(result, "boxes %d\nbad_text %d\nowned %d\n", boxes, badText, owned);
    fclose(result);
    return 0;
}

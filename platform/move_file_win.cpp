// Windows implementation of MoveFileReplacing: MoveFileExA, and a flushed copy across volumes.
// MOVEFILE_COPY_ALLOWED is not used: it copies straight into the installed file, so an
// interruption would leave it half-written.
#include "platform/platform.h"
#include "platform/move_temporary.h"

#include <string.h>
#include <windows.h>

enum { COPY_CHUNK_SIZE = 256 * 1024 };

static unsigned char g_copyBuffer[COPY_CHUNK_SIZE];

static const DWORD REPLACING_MOVE = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Copies `source` into a new `temporary`, on disk when this returns true. The caller removes
// `temporary` when it returns false.
static bool CopyToFlushedFile(const char *source, const char *temporary)
{
    HANDLE input =
        CreateFileA(source, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (input == INVALID_HANDLE_VALUE)
        return false;
    // Whatever an interrupted move left at the temporary name is replaced.
    (void)SetFileAttributesA(temporary, FILE_ATTRIBUTE_NORMAL);
    (void)DeleteFileA(temporary);
    HANDLE output = CreateFileA(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    bool copied = output != INVALID_HANDLE_VALUE;
    while (copied) {
        DWORD got = 0;
        if (ReadFile(input, g_copyBuffer, sizeof g_copyBuffer, &got, NULL) == 0) {
            copied = false;
            break;
        }
        if (got == 0)
            break;
        DWORD written = 0;
        copied = WriteFile(output, g_copyBuffer, got, &written, NULL) != 0 && written == got;
    }
    copied = copied && FlushFileBuffers(output) != 0;
    if (output != INVALID_HANDLE_VALUE && CloseHandle(output) == 0)
        copied = false;
    CloseHandle(input);
    return copied;
}

bool MoveFileReplacing(const char *source, const char *target)
{
    if (MoveFileExA(source, target, REPLACING_MOVE) != 0)
        return true;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE)
        return false;

    char temporary[MOVE_TEMPORARY_PATH_SIZE];
    if (!ComposeMoveTemporaryPath(temporary, target))
        return false;

    // The temporary file lies on the target's volume, so this move is a replacing rename.
    if (!CopyToFlushedFile(source, temporary) || MoveFileExA(temporary, target, REPLACING_MOVE) == 0) {
        (void)DeleteFileA(temporary);
        return false;
    }
    // The target is complete: only now may the staged copy go.
    (void)DeleteFileA(source);
    return true;
}

// Windows implementation of the move services: MoveFileExA with write-through, and across
// volumes a flushed copy that is delete-pending until it is complete. MOVEFILE_COPY_ALLOWED is
// not used: it copies straight into the installed file, so an interruption would leave it
// half-written.
#include "platform/platform.h"
#include "platform/move_temporary.h"

#include <string.h>
#include <windows.h>

enum {
    COPY_CHUNK_SIZE = 256 * 1024,
    NAME_ATTEMPTS = 100,
    // A path in its extended form ("\\?\C:\..."): ANSI paths are limited to MAX_PATH, and the
    // temporary's name may be longer than the target's.
    EXTENDED_PATH_SIZE = 1024
};

static unsigned char g_copyBuffer[COPY_CHUNK_SIZE];
static unsigned g_temporaryAttempt;

static const DWORD REPLACING_MOVE = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// A failure is "in use" when another program holds a file for the moment. An open target is
// refused with access denied, as a read-only one is; only the first passes.
static MoveOutcome OutcomeOfError(DWORD error, const char *target)
{
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE)
        return MOVE_IN_USE;
    if (error == ERROR_ACCESS_DENIED) {
        DWORD attributes = GetFileAttributesA(target);
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0)
            return MOVE_IN_USE;
    }
    return MOVE_FAILED;
}

// Windows refuses to replace or delete a read-only file, and files copied from read-only media
// keep that attribute. Clears it and returns the attributes to put back, or
// INVALID_FILE_ATTRIBUTES when nothing was changed.
static DWORD ClearReadOnly(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return INVALID_FILE_ATTRIBUTES;
    return SetFileAttributesA(path, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY) != 0 ? attributes
                                                                                       : INVALID_FILE_ATTRIBUTES;
}

static void RestoreAttributes(const char *path, DWORD attributes)
{
    if (attributes != INVALID_FILE_ATTRIBUTES)
        (void)SetFileAttributesA(path, attributes);
}

static bool DeleteFileEvenIfReadOnly(const char *path)
{
    DWORD attributes = ClearReadOnly(path);
    if (DeleteFileA(path) != 0)
        return true;
    RestoreAttributes(path, attributes);
    return false;
}

// Writes the extended form of `path` ("\\?\" + its full path, "\\?\UNC\" for a share) into
// `extended`. The ANSI bytes are converted with the ANSI code page, as the "A" calls do.
static bool ToExtendedPath(const char *path, wchar_t extended[EXTENDED_PATH_SIZE])
{
    wchar_t wide[EXTENDED_PATH_SIZE];
    wchar_t full[EXTENDED_PATH_SIZE];
    memset(extended, 0, EXTENDED_PATH_SIZE * sizeof(wchar_t));
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, EXTENDED_PATH_SIZE) == 0)
        return false;
    DWORD fullLength = GetFullPathNameW(wide, EXTENDED_PATH_SIZE, full, NULL);
    if (fullLength == 0 || fullLength >= EXTENDED_PATH_SIZE - 8)
        return false;
    if (wcsncmp(full, L"\\\\?\\", 4) == 0)
        wcscpy(extended, full);
    else if (wcsncmp(full, L"\\\\", 2) == 0)
        (void)(wcscpy(extended, L"\\\\?\\UNC\\"), wcscat(extended, full + 2));
    else
        (void)(wcscpy(extended, L"\\\\?\\"), wcscat(extended, full));
    return true;
}

// While set, the file goes when its last handle closes: a run killed during the copy leaves
// nothing behind.
static void MarkDeletePending(HANDLE file, bool pending)
{
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = pending ? TRUE : FALSE;
    (void)SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Creates the copy's file beside the target, exclusively, under a name unique to this process.
static HANDLE CreateCopyFile(const char *target, wchar_t temporary[EXTENDED_PATH_SIZE])
{
    char narrow[MOVE_TEMPORARY_PATH_SIZE];
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        if (!ComposeMoveTemporaryPath(narrow, target, FolderPartLength(target), GetCurrentProcessId(),
                                      g_temporaryAttempt++) ||
            !ToExtendedPath(narrow, temporary))
            return INVALID_HANDLE_VALUE;
        HANDLE output =
            CreateFileW(temporary, GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (output != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return output;
    }
    return INVALID_HANDLE_VALUE;
}

// Copies the rest of `input` into a new file beside `target`, flushed to disk and named
// `temporary` when this returns true; on failure nothing is left.
static bool CopyToFlushedFile(HANDLE input, const char *target, wchar_t temporary[EXTENDED_PATH_SIZE])
{
    HANDLE output = CreateCopyFile(target, temporary);
    if (output == INVALID_HANDLE_VALUE)
        return false;
    MarkDeletePending(output, true);
    bool copied = true;
    for (;;) {
        DWORD got = 0;
        if (ReadFile(input, g_copyBuffer, sizeof g_copyBuffer, &got, NULL) == 0) {
            copied = false;
            break;
        }
        if (got == 0)
            break;
        DWORD written = 0;
        if (WriteFile(output, g_copyBuffer, got, &written, NULL) == 0 || written != got) {
            copied = false;
            break;
        }
    }
    copied = copied && FlushFileBuffers(output) != 0;
    if (copied)
        MarkDeletePending(output, false);
    (void)CloseHandle(output);
    copied = copied && GetFileAttributesW(temporary) != INVALID_FILE_ATTRIBUTES;
    // Where the system would not mark it, a failed copy still has its name.
    if (!copied)
        (void)DeleteFileW(temporary);
    return copied;
}

static MoveOutcome MoveAcrossVolumes(HANDLE input, const char *source, const char *target)
{
    wchar_t targetPath[EXTENDED_PATH_SIZE];
    wchar_t temporary[EXTENDED_PATH_SIZE];
    if (!ToExtendedPath(target, targetPath) || !CopyToFlushedFile(input, target, temporary))
        return MOVE_FAILED;
    DWORD targetAttributes = ClearReadOnly(target);
    // The temporary file lies on the target's volume, so this move is a replacing rename.
    if (MoveFileExW(temporary, targetPath, REPLACING_MOVE) == 0) {
        MoveOutcome outcome = OutcomeOfError(GetLastError(), target);
        RestoreAttributes(target, targetAttributes);
        (void)DeleteFileW(temporary);
        return outcome;
    }
    // The target is complete: only now may the staged copy go.
    (void)CloseHandle(input);
    (void)DeleteFileEvenIfReadOnly(source);
    return MOVE_DONE;
}

static bool IsSameFile(HANDLE file, const char *path)
{
    HANDLE other = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION first;
    BY_HANDLE_FILE_INFORMATION second;
    bool same = GetFileInformationByHandle(file, &first) != 0 && GetFileInformationByHandle(other, &second) != 0 &&
                first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
                first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
    (void)CloseHandle(other);
    return same;
}

// Opens the staged file for reading and flushing. FlushFileBuffers needs write access, which a
// read-only file refuses: its attribute is cleared for the open and put back at once.
static HANDLE OpenStagedFile(const char *source)
{
    DWORD attributes = ClearReadOnly(source);
    // Delete sharing lets the same handle stay open across the move of its own name.
    HANDLE input = CreateFileA(source, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    DWORD error = GetLastError();
    RestoreAttributes(source, attributes);
    SetLastError(error);
    return input;
}

MoveOutcome MoveFileReplacing(const char *source, const char *target)
{
    // Only regular files: no folder, no link or junction.
    DWORD attributes = GetFileAttributesA(source);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return MOVE_FAILED;
    HANDLE input = OpenStagedFile(source);
    if (input == INVALID_HANDLE_VALUE)
        return OutcomeOfError(GetLastError(), source);
    if (GetFileType(input) != FILE_TYPE_DISK) {
        (void)CloseHandle(input);
        return MOVE_FAILED;
    }
    // One file under two names: the content is in place already, only the staged name goes.
    if (IsSameFile(input, target)) {
        (void)CloseHandle(input);
        return DeleteFileEvenIfReadOnly(source) ? MOVE_DONE : OutcomeOfError(GetLastError(), source);
    }
    // Programs write files without flushing them: the staged content must reach the disk
    // before its name replaces the installed file, or a power cut leaves neither.
    if (FlushFileBuffers(input) == 0) {
        (void)CloseHandle(input);
        return MOVE_FAILED;
    }
    DWORD targetAttributes = ClearReadOnly(target);
    if (MoveFileExA(source, target, REPLACING_MOVE) != 0) {
        (void)CloseHandle(input);
        return MOVE_DONE;
    }
    DWORD error = GetLastError();
    MoveOutcome outcome = OutcomeOfError(error, target);
    RestoreAttributes(target, targetAttributes);
    if (error != ERROR_NOT_SAME_DEVICE) {
        (void)CloseHandle(input);
        return outcome;
    }
    // MoveAcrossVolumes closes `input` once the target is replaced, before the source goes.
    outcome = MoveAcrossVolumes(input, source, target);
    if (outcome != MOVE_DONE)
        (void)CloseHandle(input);
    return outcome;
}

void StartWriteBack(const char *path)
{
    // Windows starts writing back on its own; each move flushes its file.
    (void)path;
}

bool SyncFolder(const char *folder)
{
    // Every move is made with MOVEFILE_WRITE_THROUGH, which returns once it is on disk.
    (void)folder;
    return true;
}

void RemoveMoveLeftovers(const char *folder)
{
    wchar_t pattern[EXTENDED_PATH_SIZE];
    if (!ToExtendedPath(folder, pattern) || wcslen(pattern) + 3 >= EXTENDED_PATH_SIZE)
        return;
    size_t folderLength = wcslen(pattern);
    wcscat(pattern, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        // Temporary names are plain ASCII; anything else is not one of ours.
        char name[MAX_PATH];
        size_t length = wcslen(found.cFileName);
        bool ascii = length < sizeof name;
        for (size_t i = 0; ascii && i <= length; ++i) {
            ascii = found.cFileName[i] < 0x80;
            name[i] = (char)found.cFileName[i];
        }
        if (!ascii || !IsMoveTemporaryName(name) ||
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
            folderLength + 1 + length >= EXTENDED_PATH_SIZE)
            continue;
        wchar_t leftover[EXTENDED_PATH_SIZE];
        wcscpy(leftover, pattern);
        leftover[folderLength + 1] = L'\0';
        wcscat(leftover, found.cFileName);
        (void)DeleteFileW(leftover);
    } while (FindNextFileW(search, &found) != 0);
    (void)FindClose(search);
}

size_t FolderPartLength(const char *path)
{
    const char *separator = NULL;
    for (const char *at = path; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\')
            separator = at;
    }
    if (separator == NULL)
        return 0;
    size_t length = (size_t)(separator - path);
    // "\x" names the root, and so does "C:\x": keep the separator, or "C:" would mean the
    // drive's current folder.
    if (length == 0 || (length == 2 && path[1] == ':'))
        return length + 1;
    return length;
}

bool LockUpdateRun(const char *stagingFolder)
{
    (void)stagingFolder;
    // One updater per user session at a time; the mutex is released when the process exits.
    HANDLE mutex = CreateMutexA(NULL, FALSE, "Local\\BrackmoorGamesUpdateRun");
    if (mutex == NULL)
        return false;
    DWORD waited = WaitForSingleObject(mutex, INFINITE);
    // An abandoned mutex (a killed updater) is ours now all the same.
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

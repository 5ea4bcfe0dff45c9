#include "platform/copy_win.h"
#include "platform/delete_win.h"
#include "platform/file_calls_win.h"
#include "platform/move_temporary.h"
#include "platform/readonly_win.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

enum { NAME_ATTEMPTS = 100 };

// While set, the file goes when its last handle closes: a run killed during the copy leaves
// nothing behind.
static bool MarkDeletePending(HANDLE file, bool pending)
{
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = pending ? TRUE : FALSE;
    return OsSetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Removes the unfinished or unwanted copy open as `file`: closing the handle of a delete-pending
// file removes it; where the system would not mark it, it is deleted by its name `path`.
static void DiscardCopy(HANDLE file, const wchar_t *path)
{
    bool pending = MarkDeletePending(file, true);
    (void)OsCloseHandle(file);
    if (!pending)
        (void)OsDeleteFileW(path);
}

void ForgetCopy(MoveContext *context)
{
    if (!context->keptCopy.held)
        return;
    DiscardCopy(context->keptCopy.file, context->keptCopy.path);
    memset(&context->keptCopy, 0, sizeof context->keptCopy);
}

// Creates the copy's file in the target's folder `folder` (extended form), exclusively, under a
// name unique to this process: `temporary`.
static HANDLE CreateCopyFile(MoveContext *context, const wchar_t *folder, wchar_t temporary[EXTENDED_PATH_SIZE])
{
    size_t folderLength = wcslen(folder);
    if (folderLength > 0 && folder[folderLength - 1] == L'\\')
        --folderLength; // a drive's root
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        char name[MOVE_TEMPORARY_PATH_SIZE];
        memset(temporary, 0, EXTENDED_PATH_SIZE * sizeof(wchar_t));
        if (!ComposeMoveTemporaryPath(name, "", 0, GetCurrentProcessId(), context->temporaryAttempt++) ||
            folderLength + strlen(name) + 1 >= EXTENDED_PATH_SIZE)
            return INVALID_HANDLE_VALUE;
        memcpy(temporary, folder, folderLength * sizeof(wchar_t));
        for (size_t at = 0; name[at] != '\0'; ++at) // the name is ASCII, its first byte "/"
            temporary[folderLength + at] = name[at] == '/' ? L'\\' : (wchar_t)name[at];
        HANDLE output = OsCreateFileW(temporary, GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, NULL);
        if (output != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return output;
    }
    return INVALID_HANDLE_VALUE;
}

// Copies the staged file into a new, flushed file beside the target, delete-pending. A staged
// file whose size or last-write time changed meanwhile is not copied. INVALID_HANDLE_VALUE on
// failure, with `error` the refusal that stopped it, and nothing is left.
static HANDLE CopyToFlushedFile(MoveContext *context, const StagedFile *staged, const wchar_t *folder,
                                wchar_t temporary[EXTENDED_PATH_SIZE], DWORD *error)
{
    *error = ERROR_SUCCESS;
    HANDLE output = CreateCopyFile(context, folder, temporary);
    if (output == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return INVALID_HANDLE_VALUE;
    }
    (void)MarkDeletePending(output, true);
    LARGE_INTEGER start;
    start.QuadPart = 0;
    bool copied = OsSetFilePointerEx(staged->file, start, NULL, FILE_BEGIN) != 0;
    while (copied) {
        DWORD got = 0;
        if (OsReadFile(staged->file, context->copyBuffer, sizeof context->copyBuffer, &got, NULL) == 0) {
            *error = GetLastError(); // a lock violation: another program holds a range of it
            copied = false;
            break;
        }
        if (got == 0)
            break;
        DWORD written = 0;
        copied = OsWriteFile(output, context->copyBuffer, got, &written, NULL) != 0 && written == got;
    }
    FileIdentity after;
    copied = copied && OsFlushFileBuffers(output) != 0 && StampFile(staged->file, &after) &&
             SameContentStamp(&staged->identity, &after);
    if (!copied) {
        DiscardCopy(output, temporary);
        return INVALID_HANDLE_VALUE;
    }
    return output;
}

// True when the file open as `file`, created as `temporary` (extended form), is known to have
// another name now: its one rename, to the target, was done. Asked of the file's own handle,
// not by comparing file ids, which some file systems give every file alike.
static bool LostTemporaryName(HANDLE file, const wchar_t *temporary)
{
    wchar_t finalPath[EXTENDED_PATH_SIZE];
    memset(finalPath, 0, sizeof finalPath);
    DWORD length = OsGetFinalPathNameByHandleW(file, finalPath, EXTENDED_PATH_SIZE, VOLUME_NAME_DOS);
    if (length == 0 || length >= EXTENDED_PATH_SIZE)
        return false;
    const wchar_t *finalLeaf = wcsrchr(finalPath, L'\\');
    const wchar_t *temporaryLeaf = wcsrchr(temporary, L'\\');
    return finalLeaf != NULL && temporaryLeaf != NULL && _wcsicmp(finalLeaf, temporaryLeaf) != 0;
}

MoveOutcome MoveAcrossVolumes(MoveContext *context, StagedFile *staged, const MovePaths *paths, bool targetReadOnly)
{
    KeptCopy *kept = &context->keptCopy;
    // Reused only for the very file it was copied from: where the volume gives no usable file
    // ids, another staged file of the same size and time would pass the stamp alone.
    ReadWideId(staged->file, &staged->identity);
    bool reuse = kept->held && wcscmp(kept->target, paths->target) == 0 &&
                 SameIdentifiedFile(&kept->source, &staged->identity) &&
                 SameContentStamp(&kept->source, &staged->identity);
    if (!reuse) {
        ForgetCopy(context);
        DWORD error = ERROR_SUCCESS;
        HANDLE copy = CopyToFlushedFile(context, staged, paths->targetFolder, kept->path, &error);
        if (copy == INVALID_HANDLE_VALUE) {
            memset(kept, 0, sizeof *kept);
            return error == ERROR_LOCK_VIOLATION ? MOVE_IN_USE : MOVE_FAILED;
        }
        kept->held = true;
        kept->file = copy;
        kept->source = staged->identity;
        wcscpy(kept->target, paths->target);
    }
    // A delete-pending file cannot be renamed: it is named for good only for this moment. Still
    // marked, it would take the target's name and go with its handle, the old file with it.
    if (!MarkDeletePending(kept->file, false)) {
        ForgetCopy(context);
        return MOVE_FAILED;
    }
    ClearedReadOnly targetAttributes;
    memset(&targetAttributes, 0, sizeof targetAttributes);
    if (targetReadOnly)
        ClearReadOnlyAt(paths->target, &targetAttributes);
    DWORD error = ERROR_SUCCESS;
    MoveOutcome outcome = ReplaceTarget(context, kept->file, paths, &error);
    // A rename reported as refused may have been done all the same (a network file system can
    // answer so): marked again, the copy would then go with its handle, installed, the old file
    // already replaced.
    if (outcome != MOVE_DONE && !LostTemporaryName(kept->file, kept->path)) {
        RestoreReadOnlyAt(paths->target, &targetAttributes);
        (void)MarkDeletePending(kept->file, true);
        if (outcome != MOVE_IN_USE)
            ForgetCopy(context);
        return outcome;
    }
    (void)OsFlushFileBuffers(kept->file);
    (void)CloseHandle(kept->file);
    memset(kept, 0, sizeof *kept);
    // The target is complete: only now may the staged copy go.
    (void)DeleteThroughHandle(staged->file);
    staged->file = INVALID_HANDLE_VALUE;
    return MOVE_DONE;
}

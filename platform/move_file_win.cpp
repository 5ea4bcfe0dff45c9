// Windows implementation of the move services. The staged file is checked through a handle and
// renamed through that same handle (write-through), so that nothing swapped in after the check is
// moved; across volumes it is copied (copy_win.cpp). MOVEFILE_COPY_ALLOWED is never used: it
// copies straight into the installed file, so an interruption would leave it half-written. The
// pass's state (folders converted and examined once, the copy kept for a retry) is one
// MoveContext, handed down.
#include "platform/platform.h"
#include "platform/copy_win.h"
#include "platform/delete_win.h"
#include "platform/examine_move_win.h"
#include "platform/file_calls_win.h"
#include "platform/move_context_win.h"
#include "platform/path_win.h"
#include "platform/readonly_win.h"
#include "platform/security_win.h"
#include "platform/setaside_win.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

enum { NAME_ATTEMPTS = 100 };

// Renames the file open as `file` (with DELETE access) to `target` (extended form), replacing
// any file there when `replace` is set. The rename names no source path: what is renamed is the
// file the handle holds. The system's rename takes the native form of the path ("\??\C:\...").
// Returns ERROR_SUCCESS, or the Win32 error of the refusal.
static DWORD RenameThroughHandle(HANDLE file, const wchar_t *target, bool replace)
{
    union {
        FILE_RENAME_INFO info;
        unsigned char bytes[sizeof(FILE_RENAME_INFO) + EXTENDED_PATH_SIZE * sizeof(wchar_t)];
    } rename;
    size_t length = wcslen(target);
    if (length >= EXTENDED_PATH_SIZE || wcsncmp(target, L"\\\\?\\", 4) != 0)
        return ERROR_INVALID_FUNCTION;
    memset(&rename, 0, sizeof rename);
    rename.info.ReplaceIfExists = replace ? TRUE : FALSE;
    rename.info.RootDirectory = NULL;
    rename.info.FileNameLength = (DWORD)(length * sizeof(wchar_t));
    memcpy(rename.info.FileName, target, length * sizeof(wchar_t));
    rename.info.FileName[1] = L'?'; // "\\?\" becomes "\??\"
    return OsSetInformationFile(file, &rename.info, (ULONG)(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t)),
                                FileRenameInformation);
}

// Gives the file open as `file` the name `target` (extended form) when the file there is in use
// and cannot be replaced, as a running program or a mapped DLL cannot: that file is renamed aside
// in its own folder (created, never by removing anything), then `file` takes the freed name. When
// that fails, the file set aside gets its name back, so the name is empty only between two
// renames. Returns ERROR_SUCCESS, or the error that tells why; a file held without delete sharing
// stays "in use".
static DWORD SetAsideAndRename(MoveContext *context, HANDLE file, const wchar_t *target)
{
    DWORD error = ERROR_ALREADY_EXISTS;
    wchar_t aside[EXTENDED_PATH_SIZE];
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS && error == ERROR_ALREADY_EXISTS; ++attempt) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        unsigned long long stamp = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
        if (!ComposeSetAsidePath(target, stamp, context->temporaryAttempt++, aside))
            return ERROR_FILENAME_EXCED_RANGE;
        error = OsMoveFileExW(target, aside, MOVEFILE_WRITE_THROUGH) != 0 ? ERROR_SUCCESS : GetLastError();
        error = error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error;
    }
    if (error != ERROR_SUCCESS)
        return error;
    error = RenameThroughHandle(file, target, false);
    if (error != ERROR_SUCCESS)
        (void)OsMoveFileExW(aside, target, MOVEFILE_WRITE_THROUGH);
    return error;
}

MoveOutcome ReplaceTarget(MoveContext *context, HANDLE file, const MovePaths *paths, DWORD *error)
{
    *error = RenameThroughHandle(file, paths->target, true);
    if (*error == ERROR_SUCCESS)
        return MOVE_DONE;
    MoveOutcome outcome = OutcomeOfError(*error, paths->target, paths->targetFolder);
    if (outcome != MOVE_IN_USE || context->keepTargetsInUse)
        return outcome;
    *error = SetAsideAndRename(context, file, paths->target);
    return *error == ERROR_SUCCESS ? MOVE_DONE : OutcomeOfError(*error, paths->target, paths->targetFolder);
}

static MoveOutcome MoveExamined(MoveContext *context, StagedFile *staged, const MoveForecast *forecast,
                                const MovePaths *paths)
{
    if (staged->file == INVALID_HANDLE_VALUE && forecast->verdict == MOVE_STAGED_NOT_REGULAR)
        return staged->openError == ERROR_FILE_NOT_FOUND ? MOVE_FAILED
                                                         : OutcomeOfError(staged->openError, paths->source, L"");
    if (forecast->verdict == MOVE_SAME_FILE)
        return MOVE_DONE;
    if (forecast->verdict == MOVE_DROPS_STAGED_NAME) {
        bool deleted = DeleteThroughHandle(staged->file);
        staged->file = INVALID_HANDLE_VALUE;
        return deleted ? MOVE_DONE : MOVE_FAILED;
    }
    if (forecast->verdict != MOVE_CREATES && forecast->verdict != MOVE_REPLACES)
        return MOVE_FAILED;
    // Known up front, as a rename refused for a target in use may not say that it crosses volumes.
    // A new file is made in the target's folder, as across volumes, also for a staged file whose
    // security would travel with it: one of several names (its owner and DACL, set once it is
    // installed, are those of every name), or, in an elevated run, one whose own DACL refuses the
    // updater the right to give it the folder's permissions, which would leave the installed file
    // the player's.
    bool keepsOwnSecurity = staged->identity.links > 1 || (ContextRunsElevated(context) && !staged->securityAccess);
    if (context->targetFolder.volume != staged->volume || keepsOwnSecurity)
        return MoveAcrossVolumes(context, staged, paths, forecast->targetReadOnly);
    // Programs write files without flushing them: the staged content must reach the disk
    // before its name replaces the installed file, or a power cut leaves neither.
    if (OsFlushFileBuffers(staged->file) == 0)
        return MOVE_FAILED;
    ClearedReadOnly targetAttributes;
    memset(&targetAttributes, 0, sizeof targetAttributes);
    if (forecast->targetReadOnly)
        ClearReadOnlyAt(paths->target, &targetAttributes);
    // Opened with FILE_FLAG_WRITE_THROUGH: the rename returns once it is on disk.
    DWORD error = ERROR_SUCCESS;
    MoveOutcome outcome = ReplaceTarget(context, staged->file, paths, &error);
    if (outcome == MOVE_DONE) {
        InheritFolderSecurity(staged->file, staged->securityAccess, ContextRunsElevated(context),
                              context->targetFolder.inherited);
        return MOVE_DONE;
    }
    RestoreReadOnlyAt(paths->target, &targetAttributes);
    if (error != ERROR_NOT_SAME_DEVICE)
        return outcome;
    return MoveAcrossVolumes(context, staged, paths, forecast->targetReadOnly);
}

MoveOutcome MoveFileReplacing(const char *source, size_t stagingLength, const char *target)
{
    MoveContext *context = PassContext();
    MovePaths paths;
    MoveForecast forecast;
    StagedFile staged;
    ConvertMovePathsOnce(context, source, stagingLength, target, &paths);
    ExamineMove(context, &paths, true, &forecast, &staged);
    MoveOutcome outcome = MoveExamined(context, &staged, &forecast, &paths);
    if (staged.file != INVALID_HANDLE_VALUE)
        (void)CloseHandle(staged.file);
    return outcome;
}

void ForgetKeptCopy()
{
    ForgetCopy(PassContext());
}

void PrepareStagedFile(const char *source, size_t stagingLength, const char *target)
{
    // Each move flushes its own file, and nothing is ever left under a reserved name.
    (void)source;
    (void)stagingLength;
    (void)target;
}

void SettleClaimedFiles(const char *stagingFolder, bool settle, ClaimedFileVisitor visit, void *context)
{
    (void)stagingFolder; // a staged file is moved through its handle, never parked under another name
    (void)settle;
    (void)visit;
    (void)context;
}

void BeginMovePass(bool setAsideTargetsInUse)
{
    // The folders converted and checked by an earlier pass are found afresh: one may have been
    // replaced by a junction since.
    MoveContext *context = PassContext();
    memset(&context->staging, 0, sizeof context->staging);
    memset(context->stagingFinal, 0, sizeof context->stagingFinal);
    context->stagingVolume = 0;
    memset(context->checkedStagedFolder, 0, sizeof context->checkedStagedFolder);
    memset(&context->targetFolderPath, 0, sizeof context->targetFolderPath);
    memset(&context->targetFolder, 0, sizeof context->targetFolder);
    context->keepTargetsInUse = !setAsideTargetsInUse;
}

void EndMovePass()
{
    // Nothing is held from one move to the next but what a move forgets itself.
}

bool StagedFilesStayReachable()
{
    return true; // a staged file is moved through its handle, never parked under another name
}

void SyncStagedFiles(const char *stagingFolder)
{
    (void)stagingFolder;
}

bool SyncFolder(const char *folder)
{
    // Every rename is made write-through, and returns once it is on disk.
    (void)folder;
    return true;
}

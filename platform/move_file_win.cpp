// Windows implementation of the move services. The staged file is checked through a handle and
// renamed through that same handle (write-through), so that nothing swapped in after the check is
// moved; across volumes it is copied into a flushed file that is delete-pending until it is
// complete. MOVEFILE_COPY_ALLOWED is never used: it copies straight into the installed file, so an
// interruption would leave it half-written. Each move's paths are converted once into their
// extended form ("\\?\C:\..."), which no MAX_PATH limit applies to, for the wide calls.
#include "platform/platform.h"
#include "platform/file_calls_win.h"
#include "platform/launch_win.h"
#include "platform/delete_win.h"
#include "platform/examine_move_win.h"
#include "platform/identity_win.h"
#include "platform/move_temporary.h"
#include "platform/path_win.h"
#include "platform/readonly_win.h"
#include "platform/setaside_win.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

enum { COPY_CHUNK_SIZE = 256 * 1024, NAME_ATTEMPTS = 100 };

static unsigned char g_copyBuffer[COPY_CHUNK_SIZE];
static unsigned g_temporaryAttempt;

// While set, the file goes when its last handle closes: a run killed during the copy leaves
// nothing behind.
static bool MarkDeletePending(HANDLE file, bool pending)
{
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = pending ? TRUE : FALSE;
    return OsSetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Deletes the file open as `file` (with DELETE and FILE_WRITE_ATTRIBUTES access), and only that
// file, a read-only one too, then closes the handle.
static bool DeleteThroughHandle(HANDLE file)
{
    bool deleted = MarkOpenFileForDeletion(file) == ERROR_SUCCESS;
    (void)CloseHandle(file);
    return deleted;
}

// Gives the file open as `file`, just renamed into its folder, the permissions that folder gives
// its new files: a rename keeps the staged file's own (that one user's), so another account of
// the PC could not run the installed game. Where the updater runs elevated, the Administrators
// group becomes its owner instead of the user. A failure leaves the file as it is, installed.
static void TakeFolderSecurity(HANDLE file)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE security = OsReOpenFile(file, READ_CONTROL | WRITE_DAC | WRITE_OWNER, share, 0);
    if (security == INVALID_HANDLE_VALUE)
        security = OsReOpenFile(file, READ_CONTROL | WRITE_DAC, share, 0);
    if (security == INVALID_HANDLE_VALUE)
        return;
    // The staged file's own DACL is kept: should the reset leave the file with no entry at all
    // (no inheritable entry reached it), no one could open it, and that one goes back.
    PACL before = NULL;
    PSECURITY_DESCRIPTOR beforeDescriptor = NULL;
    ACL empty;
    if (GetSecurityInfo(security, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &before, NULL,
                        &beforeDescriptor) == ERROR_SUCCESS &&
        before != NULL && InitializeAcl(&empty, sizeof empty, ACL_REVISION) != 0 &&
        OsSetSecurityInfo(security, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                          NULL, NULL, &empty, NULL) == ERROR_SUCCESS) {
        PACL after = NULL;
        PSECURITY_DESCRIPTOR afterDescriptor = NULL;
        if (GetSecurityInfo(security, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &after, NULL,
                            &afterDescriptor) != ERROR_SUCCESS ||
            (after != NULL && after->AceCount == 0))
            (void)OsSetSecurityInfo(security, SE_FILE_OBJECT,
                                    DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL, before,
                                    NULL);
        if (afterDescriptor != NULL)
            (void)LocalFree(afterDescriptor);
    }
    if (beforeDescriptor != NULL)
        (void)LocalFree(beforeDescriptor);
    union {
        SID sid;
        unsigned char bytes[SECURITY_MAX_SID_SIZE];
    } administrators;
    DWORD size = sizeof administrators;
    if (RunsElevated() && CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, &administrators.sid, &size) != 0)
        (void)OsSetSecurityInfo(security, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &administrators.sid, NULL, NULL,
                                NULL);
    (void)CloseHandle(security);
}

// Renames the file open as `file` (with DELETE access) to `target` (extended form), replacing
// any file there when `replace` is set. The rename names no source path: what is renamed is the file the handle holds.
// The system's rename takes the native form of the path ("\??\C:\..."). Returns ERROR_SUCCESS, or
// the Win32 error of the refusal.
static DWORD RenameThroughHandle(HANDLE file, const wchar_t *target, bool replace)
{
    static union {
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

// A finished copy whose rename found the target in use: kept, delete-pending, for the next try
// of the same move, so that a retry does not copy the whole file again.
static struct {
    bool held;
    HANDLE file;
    wchar_t path[EXTENDED_PATH_SIZE];
    FileIdentity source; // the staged file it was copied from, as it was then
    wchar_t target[EXTENDED_PATH_SIZE];
} g_keptCopy;

// Removes the unfinished or unwanted copy open as `file`: closing the handle of a delete-pending
// file removes it; where the system would not mark it, it is deleted by its name `path`.
static void DiscardCopy(HANDLE file, const wchar_t *path)
{
    bool pending = MarkDeletePending(file, true);
    (void)CloseHandle(file);
    if (!pending)
        (void)OsDeleteFileW(path);
}

void ForgetKeptCopy()
{
    if (!g_keptCopy.held)
        return;
    DiscardCopy(g_keptCopy.file, g_keptCopy.path);
    memset(&g_keptCopy, 0, sizeof g_keptCopy);
}

// Creates the copy's file beside the target, exclusively, under a name unique to this process:
// `temporary`.
static HANDLE CreateCopyFile(const char *target, wchar_t temporary[EXTENDED_PATH_SIZE])
{
    char narrow[MOVE_TEMPORARY_PATH_SIZE];
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        if (!ComposeMoveTemporaryPath(narrow, target, FolderPartLength(target), GetCurrentProcessId(),
                                      g_temporaryAttempt++) ||
            !ToExtendedPath(narrow, temporary))
            return INVALID_HANDLE_VALUE;
        HANDLE output = OsCreateFileW(temporary, GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, NULL);
        if (output != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return output;
    }
    return INVALID_HANDLE_VALUE;
}

// Copies the staged file into a new, flushed file beside `target`, delete-pending. A staged file
// whose size or last-write time changed meanwhile is not copied. INVALID_HANDLE_VALUE on failure,
// and nothing is left.
static HANDLE CopyToFlushedFile(const StagedFile *staged, const char *target, wchar_t temporary[EXTENDED_PATH_SIZE])
{
    HANDLE output = CreateCopyFile(target, temporary);
    if (output == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    (void)MarkDeletePending(output, true);
    LARGE_INTEGER start;
    start.QuadPart = 0;
    bool copied = OsSetFilePointerEx(staged->file, start, NULL, FILE_BEGIN) != 0;
    while (copied) {
        DWORD got = 0;
        if (OsReadFile(staged->file, g_copyBuffer, sizeof g_copyBuffer, &got, NULL) == 0) {
            copied = false;
            break;
        }
        if (got == 0)
            break;
        DWORD written = 0;
        copied = OsWriteFile(output, g_copyBuffer, got, &written, NULL) != 0 && written == got;
    }
    FileIdentity after;
    copied = copied && OsFlushFileBuffers(output) != 0 && IdentifyFile(staged->file, &after) &&
             SameContentStamp(&staged->identity, &after);
    if (!copied) {
        DiscardCopy(output, temporary);
        return INVALID_HANDLE_VALUE;
    }
    return output;
}

// Gives the file open as `file` the name `target` (extended form) when the file there is in use
// and cannot be replaced, as a running program or a mapped DLL cannot: that file is renamed aside
// in its own folder (created, never by removing anything), then `file` takes the freed name. When
// that fails, the file set aside gets its name back, so the name is empty only between two
// renames. Returns ERROR_SUCCESS, or the error that tells why; a file held without delete sharing
// stays "in use".
static DWORD SetAsideAndRename(HANDLE file, const wchar_t *target)
{
    DWORD error = ERROR_ALREADY_EXISTS;
    wchar_t aside[EXTENDED_PATH_SIZE];
    for (unsigned attempt = 0; attempt < NAME_ATTEMPTS && error == ERROR_ALREADY_EXISTS; ++attempt) {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        unsigned long long stamp = ((unsigned long long)now.dwHighDateTime << 32) | now.dwLowDateTime;
        if (!ComposeSetAsidePath(target, stamp, g_temporaryAttempt++, aside))
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

// Gives the file open as `file` (with DELETE access) the target's name, replacing the file there
// through the handle, or, when that file is in use, after setting it aside. The same-volume and
// the cross-volume move both end here. Returns ERROR_SUCCESS, or the Win32 error of the refusal
// (ERROR_NOT_SAME_DEVICE when the file lies on another volume than the target).
static DWORD ReplaceTarget(HANDLE file, const MovePaths *paths)
{
    DWORD error = RenameThroughHandle(file, paths->target, true);
    if (error == ERROR_SUCCESS || OutcomeOfError(error, paths->target, paths->targetFolder) != MOVE_IN_USE)
        return error;
    return SetAsideAndRename(file, paths->target);
}

// True when the file open as `file`, created as `temporary` (extended form), is known to have
// another name now: its one rename, to the target, was done. Asked of the file's own handle,
// not by comparing file ids, which some file systems give every file alike.
static bool LostTemporaryName(HANDLE file, const wchar_t *temporary)
{
    static wchar_t finalPath[EXTENDED_PATH_SIZE];
    memset(finalPath, 0, sizeof finalPath);
    DWORD length = OsGetFinalPathNameByHandleW(file, finalPath, EXTENDED_PATH_SIZE, VOLUME_NAME_DOS);
    if (length == 0 || length >= EXTENDED_PATH_SIZE)
        return false;
    const wchar_t *finalLeaf = wcsrchr(finalPath, L'\\');
    const wchar_t *temporaryLeaf = wcsrchr(temporary, L'\\');
    return finalLeaf != NULL && temporaryLeaf != NULL && _wcsicmp(finalLeaf, temporaryLeaf) != 0;
}

static MoveOutcome MoveAcrossVolumes(StagedFile *staged, const MovePaths *paths)
{
    // Reused only for the very file it was copied from: where the volume gives no usable file
    // ids, another staged file of the same size and time would pass the stamp alone.
    bool reuse = g_keptCopy.held && wcscmp(g_keptCopy.target, paths->target) == 0 &&
                 SameFile(&g_keptCopy.source, &staged->identity) &&
                 SameContentStamp(&g_keptCopy.source, &staged->identity);
    if (!reuse) {
        ForgetKeptCopy();
        HANDLE copy = CopyToFlushedFile(staged, paths->narrowTarget, g_keptCopy.path);
        if (copy == INVALID_HANDLE_VALUE) {
            memset(&g_keptCopy, 0, sizeof g_keptCopy);
            return MOVE_FAILED;
        }
        g_keptCopy.held = true;
        g_keptCopy.file = copy;
        g_keptCopy.source = staged->identity;
        wcscpy(g_keptCopy.target, paths->target);
    }
    // A delete-pending file cannot be renamed: it is named for good only for this moment. Still
    // marked, it would take the target's name and go with its handle, the old file with it.
    if (!MarkDeletePending(g_keptCopy.file, false)) {
        ForgetKeptCopy();
        return MOVE_FAILED;
    }
    DWORD targetAttributes = ClearReadOnly(paths->target);
    DWORD error = ReplaceTarget(g_keptCopy.file, paths);
    // A rename reported as refused may have been done all the same (a network file system can
    // answer so): marked again, the copy would then go with its handle, installed, the old file
    // already replaced.
    if (error != ERROR_SUCCESS && !LostTemporaryName(g_keptCopy.file, g_keptCopy.path)) {
        MoveOutcome outcome = OutcomeOfError(error, paths->target, paths->targetFolder);
        RestoreAttributes(paths->target, targetAttributes);
        (void)MarkDeletePending(g_keptCopy.file, true);
        if (outcome != MOVE_IN_USE)
            ForgetKeptCopy();
        return outcome;
    }
    (void)OsFlushFileBuffers(g_keptCopy.file);
    (void)CloseHandle(g_keptCopy.file);
    memset(&g_keptCopy, 0, sizeof g_keptCopy);
    // The target is complete: only now may the staged copy go.
    (void)DeleteThroughHandle(staged->file);
    staged->file = INVALID_HANDLE_VALUE;
    return MOVE_DONE;
}

// False when the target's folder `folder` (extended form, empty when unknown) is known to lie on
// another volume than the file `identity`.
static bool IsOnVolumeOf(const FileIdentity *identity, const wchar_t *folder)
{
    if (folder[0] == L'\0')
        return true;
    HANDLE handle = OsCreateFileW(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    FileIdentity folderIdentity;
    bool known = handle != INVALID_HANDLE_VALUE && IdentifyFile(handle, &folderIdentity);
    if (handle != INVALID_HANDLE_VALUE)
        (void)CloseHandle(handle);
    return !known || folderIdentity.volume == identity->volume;
}

static MoveOutcome MoveExamined(StagedFile *staged, const MoveForecast *forecast, const MovePaths *paths)
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
    if (!IsOnVolumeOf(&staged->identity, paths->targetFolder))
        return MoveAcrossVolumes(staged, paths);
    // Programs write files without flushing them: the staged content must reach the disk
    // before its name replaces the installed file, or a power cut leaves neither.
    if (OsFlushFileBuffers(staged->file) == 0)
        return MOVE_FAILED;
    DWORD targetAttributes = ClearReadOnly(paths->target);
    // Opened with FILE_FLAG_WRITE_THROUGH: the rename returns once it is on disk.
    DWORD error = ReplaceTarget(staged->file, paths);
    if (error == ERROR_SUCCESS) {
        TakeFolderSecurity(staged->file);
        return MOVE_DONE;
    }
    // Told before the attribute is back: a read-only target refuses as an open one does.
    MoveOutcome outcome = OutcomeOfError(error, paths->target, paths->targetFolder);
    RestoreAttributes(paths->target, targetAttributes);
    if (error != ERROR_NOT_SAME_DEVICE)
        return outcome;
    return MoveAcrossVolumes(staged, paths);
}

MoveOutcome MoveFileReplacing(const char *source, size_t stagingLength, const char *target)
{
    MovePaths paths;
    MoveForecast forecast;
    StagedFile staged;
    ConvertMovePaths(source, stagingLength, target, &paths);
    ExamineMove(&paths, true, &forecast, &staged);
    MoveOutcome outcome = MoveExamined(&staged, &forecast, &paths);
    if (staged.file != INVALID_HANDLE_VALUE)
        (void)CloseHandle(staged.file);
    return outcome;
}

void StartWriteBack(const char *source, size_t stagingLength, const char *target)
{
    // Windows starts writing back on its own; each move flushes its file.
    (void)source;
    (void)stagingLength;
    (void)target;
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

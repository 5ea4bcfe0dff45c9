// Examining a move on Windows: what a move of a staged file would do, told before anything
// changes, for a run and for a forecast alike, and what a refusal met during a move means.
#include "platform/examine_move_win.h"
#include "platform/file_calls_win.h"
#include "platform/path_win.h"
#include "platform/readonly_win.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

// False when this user may not add names to `folder` (extended form): opening it for that is
// denied even with full sharing, so its ACL refuses this user. A folder-level deny would
// otherwise refuse every rename into it with access denied, as an open target does.
static bool MayAddNames(const wchar_t *folder)
{
    HANDLE handle = OsCreateFileW(folder, FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() != ERROR_ACCESS_DENIED;
    (void)CloseHandle(handle);
    return true;
}

// False when the updater may not replace the file at `path` (extended form, `readOnly` when it
// has that attribute) in `folder` at all: opening it as the replacement needs (delete access,
// and for a read-only file the attribute access that clears it) is denied even with full
// sharing, so no other program's handle is the cause (its ACL denies this user, or an immutable
// file), or the folder takes no new names. True when it opens, or the open meets a sharing
// violation: then only a program using the file stands in the way (a running program's image
// refuses the rename, not this open).
static bool MayReplace(const wchar_t *path, bool readOnly, const wchar_t *folder)
{
    HANDLE file = OsCreateFileW(path, DELETE | (readOnly ? FILE_WRITE_ATTRIBUTES : 0),
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_ACCESS_DENIED)
            return false;
    } else {
        (void)CloseHandle(file);
    }
    return folder[0] == L'\0' || MayAddNames(folder);
}

// A failure is "in use" when another program holds a file for the moment. An open target is
// refused with access denied, as a read-only one and one the user may not replace are; only the
// first passes, and the others fail at once. `path` is the file's extended form, empty when it
// has none (then only a sharing or lock error counts as "in use"); `folder` is its folder's, or
// empty when only the file is asked.
MoveOutcome OutcomeOfError(DWORD error, const wchar_t *path, const wchar_t *folder)
{
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_USER_MAPPED_FILE)
        return MOVE_IN_USE;
    if (error == ERROR_ACCESS_DENIED) {
        DWORD attributes = path[0] == L'\0' ? INVALID_FILE_ATTRIBUTES : OsGetFileAttributesW(path);
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0 && MayReplace(path, false, folder))
            return MOVE_IN_USE;
    }
    return MOVE_FAILED;
}

// Opens the staged file at `path` to read, flush and rename it, letting no writer in, and where
// granted to set its owner and DACL once installed (`securityAccess`: false when the file's own
// DACL refuses that); `error` gets the open's error. FlushFileBuffers needs write access, which a read-only file
// refuses: its attribute is cleared through a handle of the file itself (a link at the name is not followed), the file
// is opened again through that handle, so that no name is looked up twice, and the attribute is put back at once.
static HANDLE OpenStagedForMove(const wchar_t *path, DWORD securityRights, bool *securityAccess, DWORD *error)
{
    const DWORD access = GENERIC_READ | GENERIC_WRITE | DELETE, share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    const DWORD flags = FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH;
    HANDLE file = OsCreateFileW(path, access | securityRights, share, NULL, OPEN_EXISTING, flags, NULL);
    *error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    *securityAccess = file != INVALID_HANDLE_VALUE;
    if (*error != ERROR_ACCESS_DENIED)
        return file;
    *securityAccess = false;
    file = OsCreateFileW(path, access, share, NULL, OPEN_EXISTING, flags, NULL);
    *error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (*error != ERROR_ACCESS_DENIED)
        return file;
    DWORD attributes = OsGetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
            FILE_ATTRIBUTE_READONLY)
        return INVALID_HANDLE_VALUE;
    HANDLE attributeHandle = OsCreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                           FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (attributeHandle == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    FILE_BASIC_INFO basic;
    if (OsGetFileInformationByHandleEx(attributeHandle, FileBasicInfo, &basic, sizeof basic) != 0 &&
        (basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        SetAttributesThroughHandle(attributeHandle, basic.FileAttributes & ~(DWORD)FILE_ATTRIBUTE_READONLY)) {
        file = OsReOpenFile(attributeHandle, access | securityRights, share, flags);
        *securityAccess = file != INVALID_HANDLE_VALUE;
        if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
            file = OsReOpenFile(attributeHandle, access, share, flags);
        *error = file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        (void)SetAttributesThroughHandle(attributeHandle, basic.FileAttributes);
    }
    (void)CloseHandle(attributeHandle);
    return file;
}

// Checks the folders of the staged path below the staging folder: MOVE_CREATES when each is a
// plain folder, else why not. A folder found so is remembered for the entries that follow in it:
// a junction swapped in later is still caught by where the opened file lies.
static MoveVerdict CheckStagedFolders(MoveContext *context, const MovePaths *paths)
{
    if (paths->wideStagingLength == 0)
        return CheckFoldersBeneath(paths->narrowSource, paths->stagingLength);
    const wchar_t *leaf = wcsrchr(paths->source, L'\\');
    size_t folderLength = (size_t)(leaf - paths->source);
    if (folderLength <= paths->wideStagingLength)
        return MOVE_CREATES; // directly in the staging folder
    wchar_t folder[EXTENDED_PATH_SIZE];
    memset(folder, 0, sizeof folder);
    wmemcpy(folder, paths->source, folderLength);
    if (wcscmp(folder, context->checkedStagedFolder) == 0)
        return MOVE_CREATES;
    memset(context->checkedStagedFolder, 0, sizeof context->checkedStagedFolder);
    for (size_t end = paths->wideStagingLength + 1; end <= folderLength; ++end) {
        if (end != folderLength && folder[end] != L'\\')
            continue;
        folder[end] = L'\0';
        DWORD attributes = OsGetFileAttributesW(folder);
        folder[end] = end == folderLength ? L'\0' : L'\\';
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return MOVE_STAGED_MISSING;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return MOVE_STAGED_THROUGH_LINK;
    }
    wcscpy(context->checkedStagedFolder, folder);
    return MOVE_CREATES;
}

// Opens the staged file beneath its staging folder: no reparse point in any component below it.
// For a move the handle reads, flushes and renames it, and lets no writer in while it is open;
// for a forecast it only reads attributes and disturbs nobody. A folder is never opened (without
// backup semantics the open refuses it), a link only as itself, and neither is used.
static bool OpenStagedFile(MoveContext *context, const MovePaths *paths, bool forMove, MoveForecast *forecast,
                           StagedFile *staged)
{
    const wchar_t *path = paths->source;
    forecast->verdict = MOVE_STAGED_MISSING;
    if (path[0] == L'\0')
        return false;
    forecast->verdict = CheckStagedFolders(context, paths);
    if (forecast->verdict != MOVE_CREATES)
        return false;
    forecast->verdict = MOVE_STAGED_MISSING;
    DWORD securityRights = READ_CONTROL | WRITE_DAC | (ContextRunsElevated(context) ? WRITE_OWNER : 0);
    if (forMove) {
        staged->file = OpenStagedForMove(path, securityRights, &staged->securityAccess, &staged->openError);
    } else {
        staged->file = OsCreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        staged->openError = staged->file == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    }
    if (staged->file == INVALID_HANDLE_VALUE) {
        // Only now told apart, by its attributes: missing, or there and not to be opened.
        if (staged->openError == ERROR_FILE_NOT_FOUND || staged->openError == ERROR_PATH_NOT_FOUND ||
            OsGetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
            return false;
        forecast->verdict = MOVE_STAGED_NOT_REGULAR;
        return false;
    }
    forecast->verdict = MOVE_STAGED_NOT_REGULAR;
    if (!StampFile(staged->file, &staged->identity) || !CountNames(staged->file, &staged->identity) ||
        (staged->identity.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return false;
    forecast->verdict = MOVE_STAGED_THROUGH_LINK;
    if (!StagedFileLiesBeneath(context, paths, staged->file, &staged->volume))
        return false;
    forecast->stagedSize = ((long long)staged->identity.sizeHigh << 32) | staged->identity.sizeLow;
    return true;
}

// The identity of the folder that holds the file at `path` (a final path, extended form) into
// `identity` (its 128-bit id where the system has one). False when it cannot be told.
static bool IdentifyParent(const wchar_t *path, HANDLE *folder, FileIdentity *identity)
{
    wchar_t parent[EXTENDED_PATH_SIZE];
    const wchar_t *leaf = wcsrchr(path, L'\\');
    memset(identity, 0, sizeof *identity);
    *folder = INVALID_HANDLE_VALUE;
    if (leaf == NULL)
        return false;
    memset(parent, 0, sizeof parent);
    wmemcpy(parent, path, (size_t)(leaf - path));
    *folder = OsCreateFileW(parent, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    return *folder != INVALID_HANDLE_VALUE;
}

// True only on proof that the final paths `stagedPath` and `targetPath`, which differ as
// strings, are two names: different leaves, or the same leaf in two different folders. One name
// may be spelt two ways (a share reached by two server names), so a leaf alike is asked of the
// folders themselves.
static bool ProvenTwoNames(const wchar_t *stagedPath, const wchar_t *targetPath)
{
    const wchar_t *stagedLeaf = wcsrchr(stagedPath, L'\\');
    const wchar_t *targetLeaf = wcsrchr(targetPath, L'\\');
    if (stagedLeaf == NULL || targetLeaf == NULL)
        return false;
    if (CompareStringOrdinal(stagedLeaf, -1, targetLeaf, -1, TRUE) != CSTR_EQUAL)
        return true;
    HANDLE stagedFolder = INVALID_HANDLE_VALUE;
    HANDLE targetFolder = INVALID_HANDLE_VALUE;
    FileIdentity stagedIdentity;
    FileIdentity targetIdentity;
    bool known = IdentifyParent(stagedPath, &stagedFolder, &stagedIdentity) &&
                 IdentifyParent(targetPath, &targetFolder, &targetIdentity);
    bool two = known && !SameFile(stagedFolder, &stagedIdentity, targetFolder, &targetIdentity) &&
               // proof of two folders, not a failure to compare them
               stagedIdentity.wideKnown && targetIdentity.wideKnown;
    if (stagedFolder != INVALID_HANDLE_VALUE)
        (void)CloseHandle(stagedFolder);
    if (targetFolder != INVALID_HANDLE_VALUE)
        (void)CloseHandle(targetFolder);
    return two;
}

// What the move of a staged file that is the target's own file does. One file under one name,
// which both paths reach (a game folder inside the staging folder), is left alone; a second name
// of the target loses that name. Only proof of two names drops the staged one: any doubt keeps it,
// since the content is in place either way, while dropping a file's only name would lose it.
static MoveVerdict VerdictForOneFile(const StagedFile *staged, HANDLE existing)
{
    if (staged->identity.links <= 1) // 0 where the file system does not count names
        return MOVE_SAME_FILE;
    // A handle's final path is the name it was opened by: two names of one file differ there.
    wchar_t stagedPath[EXTENDED_PATH_SIZE];
    wchar_t targetPath[EXTENDED_PATH_SIZE];
    DWORD stagedLength = OsGetFinalPathNameByHandleW(staged->file, stagedPath, EXTENDED_PATH_SIZE, VOLUME_NAME_DOS);
    DWORD targetLength = OsGetFinalPathNameByHandleW(existing, targetPath, EXTENDED_PATH_SIZE, VOLUME_NAME_DOS);
    if (stagedLength == 0 || stagedLength >= EXTENDED_PATH_SIZE || targetLength == 0 ||
        targetLength >= EXTENDED_PATH_SIZE || CompareStringOrdinal(stagedPath, -1, targetPath, -1, TRUE) == CSTR_EQUAL)
        return MOVE_SAME_FILE;
    return ProvenTwoNames(stagedPath, targetPath) ? MOVE_DROPS_STAGED_NAME : MOVE_SAME_FILE;
}

// What is at the target's name, told by its folder (a link there is examined itself, never
// followed): its attributes, size and last-write time into `target`. False, with `error`, when
// nothing is shown to be there or the name cannot be examined.
static bool ExamineTarget(const wchar_t *path, FileIdentity *target, DWORD *error)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    memset(target, 0, sizeof *target);
    if (OsGetFileAttributesExW(path, GetFileExInfoStandard, &data) == 0) {
        *error = GetLastError();
        return false;
    }
    *error = ERROR_SUCCESS;
    target->stampKnown = true;
    target->attributes = data.dwFileAttributes;
    target->sizeHigh = data.nFileSizeHigh;
    target->sizeLow = data.nFileSizeLow;
    target->lastWrite = data.ftLastWriteTime;
    return true;
}

// True when the file at the target's name `path`, examined as `target`, is the staged file
// itself. Asked of both handles only where it may be: a file of more than one name, or one
// whose stamp the target's shows (one file shows one stamp under each of its names).
static bool TargetIsStagedFile(const wchar_t *path, FileIdentity *target, StagedFile *staged, MoveVerdict *verdict)
{
    if (staged->identity.links <= 1 && !SameContentStamp(target, &staged->identity))
        return false;
    HANDLE existing =
        OsCreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (existing == INVALID_HANDLE_VALUE)
        return false;
    bool same = SameFile(existing, target, staged->file, &staged->identity);
    if (same)
        *verdict = VerdictForOneFile(staged, existing);
    (void)CloseHandle(existing);
    return same;
}

void ExamineMove(MoveContext *context, const MovePaths *paths, bool forMove, MoveForecast *forecast, StagedFile *staged)
{
    memset(forecast, 0, sizeof *forecast);
    memset(staged, 0, sizeof *staged);
    staged->file = INVALID_HANDLE_VALUE;
    if (!OpenStagedFile(context, paths, forMove, forecast, staged))
        return;
    // Inside the game folder junctions and links are followed: players move large folders
    // elsewhere that way.
    forecast->verdict = MOVE_TARGET_FOLDER_MISSING;
    if (paths->targetFolder[0] == L'\0' || paths->target[0] == L'\0')
        return;
    bool noNames = false;
    if (LearnTargetFolder(context, paths->targetFolder, &noNames) == NULL && !noNames)
        return;
    FileIdentity target;
    DWORD error = ERROR_SUCCESS;
    if (!ExamineTarget(paths->target, &target, &error)) {
        forecast->verdict = error != ERROR_FILE_NOT_FOUND ? MOVE_TARGET_FOLDER_MISSING
                            : noNames                     ? MOVE_NO_PERMISSION
                                                          : MOVE_CREATES;
        return;
    }
    if ((target.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        forecast->verdict = MOVE_TARGET_NOT_A_FILE;
        return;
    }
    // One file under two names: the content is in place already, only the staged name goes.
    if (TargetIsStagedFile(paths->target, &target, staged, &forecast->verdict))
        return;
    bool readOnly = (target.attributes & FILE_ATTRIBUTE_READONLY) != 0;
    // A folder the updater may not write into fails at once; a run learns that the target itself
    // may not be replaced from the rename, at once too, and only a forecast asks.
    if (noNames || (!forMove && !MayReplace(paths->target, readOnly, L""))) {
        forecast->verdict = MOVE_NO_PERMISSION;
        return;
    }
    forecast->verdict = MOVE_REPLACES;
    forecast->targetIsLink = (target.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    forecast->targetSize = forecast->targetIsLink ? 0 : ((long long)target.sizeHigh << 32) | target.sizeLow;
    forecast->targetReadOnly = !forecast->targetIsLink && readOnly;
}

void ForeseeMove(const char *source, size_t stagingLength, const char *target, MoveForecast *forecast)
{
    // A plan remembers its folders as a pass does, in a context of its own.
    static MoveContext context;
    MovePaths paths;
    StagedFile staged;
    ConvertMovePathsOnce(&context, source, stagingLength, target, &paths);
    ExamineMove(&context, &paths, false, forecast, &staged);
    if (staged.file != INVALID_HANDLE_VALUE)
        (void)CloseHandle(staged.file);
}

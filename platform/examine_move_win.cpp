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

// MayAddNames, a folder found writable remembered: the entries of a list mostly share their
// folders. One gone stale only makes a move fail, and the failure is told afresh; a refusal is
// asked again for each entry, so that one that passes fails one entry only.
static bool MayAddNamesKept(const wchar_t *folder)
{
    static wchar_t writableFolder[EXTENDED_PATH_SIZE];
    if (writableFolder[0] != L'\0' && wcscmp(writableFolder, folder) == 0)
        return true;
    memset(writableFolder, 0, sizeof writableFolder);
    if (!MayAddNames(folder))
        return false;
    if (wcslen(folder) < EXTENDED_PATH_SIZE)
        wcscpy(writableFolder, folder);
    return true;
}

// False when the updater may not replace the file at `path` (extended form) in `folder` at all:
// opening it for deletion and for its attributes, as a replacement needs, is denied even with
// full sharing, so no other program's handle is the cause (its ACL denies this user, or an
// immutable file), or the folder takes no new names. True when it opens, or the open meets a
// sharing violation: then only a program using the file stands in the way (a running program's
// image refuses the rename, not this open).
static bool MayReplace(const wchar_t *path, const wchar_t *folder)
{
    HANDLE file =
        OsCreateFileW(path, DELETE | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
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
            (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0 && MayReplace(path, folder))
            return MOVE_IN_USE;
    }
    return MOVE_FAILED;
}

// Opens the staged file beneath its staging folder: no reparse point in any component below it.
// For a move the handle reads, flushes and renames it, and lets no writer in while it is open;
// for a forecast it only reads attributes and disturbs nobody.
static bool OpenStagedFile(const MovePaths *paths, bool forMove, MoveForecast *forecast, StagedFile *staged)
{
    const wchar_t *path = paths->source;
    forecast->verdict = CheckFoldersBeneath(paths->narrowSource, paths->stagingLength);
    if (forecast->verdict != MOVE_CREATES)
        return false;
    forecast->verdict = MOVE_STAGED_MISSING;
    if (path[0] == L'\0')
        return false;
    DWORD attributes = OsGetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    forecast->verdict = MOVE_STAGED_NOT_REGULAR;
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return false;
    // FlushFileBuffers needs write access, which a read-only file refuses: its attribute is
    // cleared for the open and put back at once. Delete access renames and deletes through it.
    DWORD cleared = forMove ? ClearReadOnly(path) : INVALID_FILE_ATTRIBUTES;
    staged->file =
        forMove
            ? OsCreateFileW(path, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH, NULL)
            : OsCreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    staged->openError = GetLastError();
    RestoreAttributes(path, cleared);
    if (staged->file == INVALID_HANDLE_VALUE)
        return false;
    if (GetFileType(staged->file) != FILE_TYPE_DISK || !IdentifyFile(staged->file, &staged->identity) ||
        (staged->identity.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
        return false;
    forecast->verdict = MOVE_STAGED_THROUGH_LINK;
    if (!LiesBeneath(staged->file, paths->narrowSource, paths->stagingLength))
        return false;
    forecast->stagedSize = ((long long)staged->identity.sizeHigh << 32) | staged->identity.sizeLow;
    return true;
}

// The identity of the folder `folder` (extended form, links followed); false when unknown.
static bool IdentifyFolder(const wchar_t *folder, FileIdentity *identity)
{
    HANDLE handle = OsCreateFileW(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    bool known = handle != INVALID_HANDLE_VALUE && IdentifyFile(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        (void)CloseHandle(handle);
    return known;
}

// True when the staged path and the target path are one name of one folder, as a game folder
// inside the staging folder makes them: the same leaf, as the file system compares names, in the
// same folder, however each path reaches it.
static bool NamesOneEntry(const MovePaths *paths)
{
    const wchar_t *sourceLeaf = wcsrchr(paths->source, L'\\');
    const wchar_t *targetLeaf = wcsrchr(paths->target, L'\\');
    if (sourceLeaf == NULL || targetLeaf == NULL ||
        CompareStringOrdinal(sourceLeaf + 1, -1, targetLeaf + 1, -1, TRUE) != CSTR_EQUAL)
        return false;
    wchar_t sourceFolder[EXTENDED_PATH_SIZE];
    memset(sourceFolder, 0, sizeof sourceFolder);
    wmemcpy(sourceFolder, paths->source, (size_t)(sourceLeaf - paths->source));
    FileIdentity stagedFolder;
    FileIdentity targetFolder;
    return IdentifyFolder(sourceFolder, &stagedFolder) && IdentifyFolder(paths->targetFolder, &targetFolder) &&
           SameFile(&stagedFolder, &targetFolder);
}

void ExamineMove(const MovePaths *paths, bool forMove, MoveForecast *forecast, StagedFile *staged)
{
    memset(forecast, 0, sizeof *forecast);
    memset(staged, 0, sizeof *staged);
    staged->file = INVALID_HANDLE_VALUE;
    if (!OpenStagedFile(paths, forMove, forecast, staged))
        return;
    // Inside the game folder junctions and links are followed: players move large folders
    // elsewhere that way.
    forecast->verdict = MOVE_TARGET_FOLDER_MISSING;
    DWORD folderAttributes =
        paths->targetFolder[0] == L'\0' ? INVALID_FILE_ATTRIBUTES : OsGetFileAttributesW(paths->targetFolder);
    if (folderAttributes == INVALID_FILE_ATTRIBUTES || (folderAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        paths->target[0] == L'\0')
        return;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (OsGetFileAttributesExW(paths->target, GetFileExInfoStandard, &data) == 0) {
        DWORD error = GetLastError();
        forecast->verdict = error == ERROR_FILE_NOT_FOUND ? MOVE_CREATES : MOVE_TARGET_FOLDER_MISSING;
        if (forecast->verdict == MOVE_CREATES && !MayAddNamesKept(paths->targetFolder))
            forecast->verdict = MOVE_NO_PERMISSION;
        return;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        forecast->verdict = MOVE_TARGET_NOT_A_FILE;
        return;
    }
    // One file under two names: the content is in place already, only the staged name goes.
    HANDLE existing =
        OsCreateFileW(paths->target, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    FileIdentity targetIdentity;
    bool same = existing != INVALID_HANDLE_VALUE && IdentifyFile(existing, &targetIdentity) &&
                SameFile(&targetIdentity, &staged->identity);
    if (existing != INVALID_HANDLE_VALUE)
        (void)CloseHandle(existing);
    if (same) {
        // The file is where it belongs: its one name is not to be removed.
        forecast->verdict = NamesOneEntry(paths) ? MOVE_SAME_FILE : MOVE_DROPS_STAGED_NAME;
        return;
    }
    // A folder the updater may not write into fails at once; a run learns that the target itself
    // may not be replaced from the rename, at once too, and only a forecast asks.
    if (!MayAddNamesKept(paths->targetFolder) || (!forMove && !MayReplace(paths->target, L""))) {
        forecast->verdict = MOVE_NO_PERMISSION;
        return;
    }
    forecast->verdict = MOVE_REPLACES;
    forecast->targetIsLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    forecast->targetSize = forecast->targetIsLink ? 0 : ((long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    forecast->targetReadOnly = !forecast->targetIsLink && (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void ForeseeMove(const char *source, size_t stagingLength, const char *target, MoveForecast *forecast)
{
    MovePaths paths;
    StagedFile staged;
    ConvertMovePaths(source, stagingLength, target, &paths);
    ExamineMove(&paths, false, forecast, &staged);
    if (staged.file != INVALID_HANDLE_VALUE)
        (void)CloseHandle(staged.file);
}

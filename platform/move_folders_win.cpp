// The folders of a pass of moves on Windows, converted and examined once for consecutive entries.
#include "platform/file_calls_win.h"
#include "platform/launch_win.h"
#include "platform/move_context_win.h"

#include <string.h>
#include <wchar.h>
#include <aclapi.h>

MoveContext *PassContext()
{
    static MoveContext context;
    return &context;
}

bool ContextRunsElevated(MoveContext *context)
{
    if (context->elevated == 0)
        context->elevated = RunsElevated() ? 1 : -1;
    return context->elevated > 0;
}

// True when `rest` can be appended to its folder's converted form as it is, because a full-path
// lookup would change nothing in it: no empty, "." or ".." component, none ending in a space or
// a dot. Entry names are refused for any of these before they get here; this only keeps other
// callers' paths exact.
static bool AppendsUnchanged(const char *rest)
{
    size_t start = 0;
    size_t length = strlen(rest);
    if (length == 0)
        return false;
    if (rest[0] == '/' || rest[0] == '\\')
        start = 1;
    for (size_t at = start; at <= length; at += at < length ? PathCharacterLength(rest + at) : 1) {
        if (at < length && rest[at] != '/' && rest[at] != '\\')
            continue;
        if (at == start || rest[at - 1] == ' ' || rest[at - 1] == '.')
            return false;
        start = at + 1;
    }
    return true;
}

// The extended form of `path`, whose first `folderLength` bytes name a folder converted once in
// `folder`, into `wide`; `wideFolderLength` gets the folder's part of it, 0 when the whole path
// had to be converted by itself.
static void ConvertBeneath(ConvertedFolder *folder, const char *path, size_t folderLength,
                           wchar_t wide[EXTENDED_PATH_SIZE], size_t *wideFolderLength)
{
    *wideFolderLength = 0;
    if (folderLength >= sizeof folder->narrow || !AppendsUnchanged(path + folderLength)) {
        (void)ToExtendedPath(path, wide);
        return;
    }
    if (strncmp(folder->narrow, path, folderLength) != 0 || folder->narrow[folderLength] != '\0') {
        memset(folder, 0, sizeof *folder);
        memcpy(folder->narrow, path, folderLength);
        if (ToExtendedPrefix(path, folderLength, folder->wide)) {
            size_t length = wcslen(folder->wide);
            if (length > 0 && folder->wide[length - 1] == L'\\')
                folder->wide[length - 1] = L'\0'; // a drive's root: its separator comes with the rest
        }
    }
    const char *rest = path + folderLength;
    rest += rest[0] == '/' || rest[0] == '\\' ? 1 : 0;
    size_t length = wcslen(folder->wide);
    memset(wide, 0, EXTENDED_PATH_SIZE * sizeof(wchar_t));
    if (length == 0 || length + 2 >= EXTENDED_PATH_SIZE ||
        MultiByteToWideChar(CP_ACP, 0, rest, -1, wide + length + 1, (int)(EXTENDED_PATH_SIZE - length - 1)) == 0) {
        (void)ToExtendedPath(path, wide);
        return;
    }
    wmemcpy(wide, folder->wide, length);
    wide[length] = L'\\';
    for (wchar_t *at = wide + length; *at != L'\0'; ++at)
        *at = *at == L'/' ? L'\\' : *at;
    *wideFolderLength = length;
}

void ConvertMovePathsOnce(MoveContext *context, const char *source, size_t stagingLength, const char *target,
                          MovePaths *paths)
{
    memset(paths, 0, sizeof *paths);
    paths->narrowSource = source;
    paths->stagingLength = stagingLength;
    paths->narrowTarget = target;
    ConvertBeneath(&context->staging, source, stagingLength, paths->source, &paths->wideStagingLength);
    size_t folderLength = FolderPartLength(target);
    size_t wideFolderLength = 0;
    if (folderLength == 0)
        return;
    ConvertBeneath(&context->targetFolderPath, target, folderLength, paths->target, &wideFolderLength);
    if (wideFolderLength != 0)
        wcscpy(paths->targetFolder, context->targetFolderPath.wide);
    else
        (void)ToExtendedPrefix(target, folderLength, paths->targetFolder);
    // A drive's root keeps its separator: "\\?\C:" alone would be the drive's current folder.
    size_t length = wcslen(paths->targetFolder);
    if (length > 0 && paths->targetFolder[length - 1] == L':' && length + 1 < EXTENDED_PATH_SIZE)
        paths->targetFolder[length] = L'\\';
}

bool StagedFileLiesBeneath(MoveContext *context, const MovePaths *paths, HANDLE file, DWORD *volume)
{
    if (paths->wideStagingLength == 0) {
        FileIdentity identity;
        if (!IdentifyFile(file, &identity))
            return false;
        *volume = identity.volume;
        return LiesBeneath(file, paths->narrowSource, paths->stagingLength);
    }
    // Where the staging folder itself lies is asked once: its own links are the player's to make.
    if (context->stagingFinal[0] == L'\0') {
        HANDLE folder = OsCreateFileW(context->staging.wide, FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (folder == INVALID_HANDLE_VALUE)
            return false;
        FileIdentity identity;
        DWORD length =
            IdentifyFile(folder, &identity)
                ? OsGetFinalPathNameByHandleW(folder, context->stagingFinal, EXTENDED_PATH_SIZE, VOLUME_NAME_DOS)
                : 0;
        (void)CloseHandle(folder);
        context->stagingVolume = identity.volume;
        if (length == 0 || length >= EXTENDED_PATH_SIZE) {
            memset(context->stagingFinal, 0, sizeof context->stagingFinal);
            return false;
        }
        if (context->stagingFinal[length - 1] == L'\\')
            context->stagingFinal[length - 1] = L'\0'; // a drive's root: the rest brings its separator
    }
    *volume = context->stagingVolume;
    wchar_t expected[EXTENDED_PATH_SIZE];
    wchar_t actual[EXTENDED_PATH_SIZE];
    const wchar_t *rest = paths->source + paths->wideStagingLength;
    size_t finalLength = wcslen(context->stagingFinal);
    if (finalLength + wcslen(rest) >= EXTENDED_PATH_SIZE)
        return false;
    wcscpy(expected, context->stagingFinal);
    wcscat(expected, rest);
    DWORD length = OsGetFinalPathNameByHandleW(file, actual, EXTENDED_PATH_SIZE, VOLUME_NAME_DOS);
    return length != 0 && length < EXTENDED_PATH_SIZE &&
           CompareStringOrdinal(actual, -1, expected, -1, TRUE) == CSTR_EQUAL;
}

// Whether the folder open as `folder` (READ_CONTROL access) gives files created in it entries of
// its DACL: an entry that files inherit.
static InheritedEntries InheritedByFiles(HANDLE folder)
{
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    InheritedEntries inherited = INHERITED_UNKNOWN;
    if (OsGetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &descriptor) ==
            ERROR_SUCCESS &&
        dacl != NULL) {
        inherited = INHERITED_NONE;
        for (DWORD index = 0; index < dacl->AceCount; ++index) {
            ACE_HEADER *ace = NULL;
            if (GetAce(dacl, index, (void **)&ace) == 0) {
                inherited = INHERITED_UNKNOWN;
                break;
            }
            if ((ace->AceFlags & OBJECT_INHERIT_ACE) != 0) {
                inherited = INHERITED_SOME;
                break;
            }
        }
    }
    if (descriptor != NULL)
        (void)LocalFree(descriptor);
    return inherited;
}

const TargetFolderFacts *LearnTargetFolder(MoveContext *context, const wchar_t *folder, bool *noNames)
{
    *noNames = false;
    TargetFolderFacts *facts = &context->targetFolder;
    if (facts->path[0] != L'\0' && wcscmp(facts->path, folder) == 0)
        return facts;
    memset(facts, 0, sizeof *facts);
    // One open tells whether it is there, whether this user may add names to it (its ACL refusing
    // FILE_ADD_FILE would refuse every rename into it with access denied, as an open target does),
    // its volume and its DACL. Full sharing: no program using the folder stands in the way.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = OsCreateFileW(folder, FILE_READ_ATTRIBUTES | READ_CONTROL | FILE_ADD_FILE, share, NULL,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    // A folder that only keeps its DACL from this user still takes names.
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        handle = OsCreateFileW(folder, FILE_READ_ATTRIBUTES | FILE_ADD_FILE, share, NULL, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_ACCESS_DENIED)
            return NULL;
        // Told apart from a folder that is missing: one that only refuses new names.
        handle =
            OsCreateFileW(folder, FILE_READ_ATTRIBUTES, share, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        FileIdentity identity;
        *noNames = handle != INVALID_HANDLE_VALUE && IdentifyFile(handle, &identity) &&
                   (identity.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (handle != INVALID_HANDLE_VALUE)
            (void)CloseHandle(handle);
        return NULL;
    }
    FileIdentity identity;
    bool isFolder = IdentifyFile(handle, &identity) && (identity.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                    wcslen(folder) < EXTENDED_PATH_SIZE;
    if (isFolder) {
        wcscpy(facts->path, folder);
        facts->volume = identity.volume;
        facts->inherited = InheritedByFiles(handle);
    }
    (void)CloseHandle(handle);
    return isFolder ? facts : NULL;
}

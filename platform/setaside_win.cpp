// Windows set-aside names, and the settling of set-aside files and of a move's leftovers.
#include "platform/setaside_win.h"
#include "platform/delete_win.h"
#include "platform/file_calls_win.h"
#include "platform/move_temporary.h"
#include "platform/path_win.h"
#include "platform/platform.h"
#include "platform/readonly_win.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

static const wchar_t SET_ASIDE_PREFIX[] = L".~upd-";

bool ComposeSetAsidePath(const wchar_t *target, unsigned long long stamp, unsigned attempt,
                         wchar_t aside[EXTENDED_PATH_SIZE])
{
    const wchar_t *separator = wcsrchr(target, L'\\');
    if (separator == NULL)
        return false;
    size_t folderLength = (size_t)(separator - target) + 1;
    memset(aside, 0, EXTENDED_PATH_SIZE * sizeof(wchar_t));
    wmemcpy(aside, target, folderLength);
    int written = swprintf(aside + folderLength, EXTENDED_PATH_SIZE - folderLength, L"%ls%016llx-%u~%ls",
                           SET_ASIDE_PREFIX, stamp, attempt, separator + 1);
    return written > 0 && folderLength + (size_t)written < EXTENDED_PATH_SIZE - 1;
}

const wchar_t *SetAsideOrigin(const wchar_t *name)
{
    size_t prefixLength = wcslen(SET_ASIDE_PREFIX);
    if (wcsncmp(name, SET_ASIDE_PREFIX, prefixLength) != 0)
        return NULL;
    const wchar_t *at = name + prefixLength;
    int dashes = 0;
    for (bool digits = false; *at != L'~'; ++at) {
        if ((*at >= L'0' && *at <= L'9') || (*at >= L'a' && *at <= L'f'))
            digits = true;
        else if (*at == L'-' && digits && dashes == 0)
            (void)(++dashes, digits = false);
        else
            return NULL;
    }
    return dashes == 1 && at[-1] != L'-' && at[1] != L'\0' ? at + 1 : NULL;
}

int CompareSetAsideStamps(const wchar_t *first, const wchar_t *second)
{
    size_t prefixLength = wcslen(SET_ASIDE_PREFIX);
    first += prefixLength;
    second += prefixLength;
    for (int group = 0; group < 2; ++group) {
        size_t firstLength = wcscspn(first, L"-~");
        size_t secondLength = wcscspn(second, L"-~");
        if (firstLength != secondLength)
            return firstLength < secondLength ? -1 : 1;
        int order = wcsncmp(first, second, firstLength);
        if (order != 0)
            return order;
        first += firstLength + 1;
        second += secondLength + 1;
    }
    return 0;
}

// True when no file in the folder `folder` (extended form, ending in its separator) was set aside
// from the same name as `name` after it.
static bool IsLastSetAside(const wchar_t *folder, const wchar_t *name)
{
    wchar_t pattern[EXTENDED_PATH_SIZE];
    const wchar_t *origin = SetAsideOrigin(name);
    if (wcslen(folder) + wcslen(SET_ASIDE_PREFIX) + 2 + wcslen(origin) >= EXTENDED_PATH_SIZE)
        return false;
    wcscpy(pattern, folder);
    wcscat(pattern, SET_ASIDE_PREFIX);
    wcscat(pattern, L"*~");
    wcscat(pattern, origin);
    WIN32_FIND_DATAW found;
    HANDLE search = OsFindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return true;
    bool last = true;
    do {
        const wchar_t *otherOrigin = SetAsideOrigin(found.cFileName);
        last = otherOrigin == NULL || CompareStringOrdinal(otherOrigin, -1, origin, -1, TRUE) != CSTR_EQUAL ||
               CompareSetAsideStamps(found.cFileName, name) <= 0;
    } while (last && OsFindNextFileW(search, &found) != 0);
    (void)FindClose(search);
    return last;
}

// Settles the file `name` that a move set aside in the folder `pattern` names (its first
// `folderLength` characters): it goes once the file that replaced it is in place and its own
// program has ended (until then it cannot be deleted, and a later run tries again); when its
// original name is empty (a run killed between the two renames), it gets that name back.
static void SettleSetAside(const wchar_t *pattern, size_t folderLength, const wchar_t *name)
{
    wchar_t aside[EXTENDED_PATH_SIZE];
    wchar_t origin[EXTENDED_PATH_SIZE];
    if (folderLength + 1 + wcslen(name) >= EXTENDED_PATH_SIZE)
        return;
    wmemcpy(aside, pattern, folderLength + 1); // the folder and its separator
    aside[folderLength + 1] = L'\0';
    wcscpy(origin, aside);
    wcscat(aside, name);
    wcscat(origin, SetAsideOrigin(name));
    DWORD originAttributes = OsGetFileAttributesW(origin);
    if (originAttributes == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
        // Only the file set aside last had that name last; an older one goes once the name is back.
        wchar_t folder[EXTENDED_PATH_SIZE];
        wmemcpy(folder, pattern, folderLength + 1);
        folder[folderLength + 1] = L'\0';
        if (IsLastSetAside(folder, name))
            (void)OsMoveFileExW(aside, origin, MOVEFILE_WRITE_THROUGH);
        return;
    }
    // Deleted only on proof that its name holds a file again: when that cannot be told (access
    // denied, a name that is now a folder), it may be the only copy, and stays.
    if (originAttributes == INVALID_FILE_ATTRIBUTES || (originAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return;
    // Deleted through a handle of that very name: a read-only one too, never a file a link leads to.
    HANDLE file = OsCreateFileW(aside, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    (void)MarkOpenFileForDeletion(file); // a program still running refuses it, and it stays
    (void)OsCloseHandle(file);
}

void RemoveMoveLeftovers(const char *folder)
{
    wchar_t pattern[EXTENDED_PATH_SIZE];
    if (!ToExtendedPath(folder, pattern) || wcslen(pattern) + 3 >= EXTENDED_PATH_SIZE)
        return;
    // A folder named with a trailing separator (a drive's root, "C:\\Games\\") has it already.
    size_t folderLength = wcslen(pattern);
    if (pattern[folderLength - 1] == L'\\')
        --folderLength;
    pattern[folderLength] = L'\0';
    wcscat(pattern, L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = OsFindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
            SetAsideOrigin(found.cFileName) != NULL) {
            SettleSetAside(pattern, folderLength, found.cFileName);
            continue;
        }
        // Temporary names are plain ASCII; anything else is not one of ours.
        char name[MAX_PATH];
        size_t nameLength = wcslen(found.cFileName);
        bool ascii = nameLength < sizeof name;
        for (size_t i = 0; ascii && i <= nameLength; ++i) {
            ascii = found.cFileName[i] < 0x80;
            name[i] = (char)found.cFileName[i];
        }
        if (!ascii || !IsMoveTemporaryName(name) ||
            (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
            folderLength + 1 + nameLength >= EXTENDED_PATH_SIZE)
            continue;
        wchar_t leftover[EXTENDED_PATH_SIZE];
        wcscpy(leftover, pattern);
        leftover[folderLength + 1] = L'\0';
        wcscat(leftover, found.cFileName);
        (void)OsDeleteFileW(leftover);
    } while (OsFindNextFileW(search, &found) != 0);
    (void)FindClose(search);
}

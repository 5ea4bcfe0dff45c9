// Windows paths in their extended form, and where an open file really lies.
#include "platform/path_win.h"
#include "platform/file_calls_win.h"
#include "platform/platform.h"

#include <string.h>
#include <wctype.h>

bool ToAnsiExactly(const wchar_t *wide, char *narrow, size_t size)
{
    memset(narrow, 0, size);
    // Under a UTF-8 code page every character has its form, and the lossy flags are not allowed.
    bool utf8 = GetACP() == CP_UTF8;
    BOOL lossy = FALSE;
    if (WideCharToMultiByte(CP_ACP, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide, -1, narrow, (int)size, NULL,
                            utf8 ? NULL : &lossy) == 0 ||
        lossy != FALSE) {
        memset(narrow, 0, size);
        return false;
    }
    return true;
}

static bool IsSeparatorW(wchar_t character)
{
    return character == L'/' || character == L'\\';
}

bool ExtendWidePath(const wchar_t *path, wchar_t extended[EXTENDED_PATH_SIZE])
{
    wchar_t device[EXTENDED_PATH_SIZE];
    wchar_t full[EXTENDED_PATH_SIZE];
    memset(extended, 0, EXTENDED_PATH_SIZE * sizeof(wchar_t));
    size_t length = wcslen(path);
    if (length >= EXTENDED_PATH_SIZE)
        return false;
    // "\\?\" would keep the rest verbatim, "/" and all, while the updater composes its paths with
    // "/" (GamePath + "/" + name): the system normalizes "\\.\" paths as it does "C:\...", so a
    // device path is read in that form, and means what it means without its prefix.
    wcscpy(device, path);
    if (IsSeparatorW(device[0]) && IsSeparatorW(device[1]) && (device[2] == L'?' || device[2] == L'.') &&
        IsSeparatorW(device[3]))
        device[2] = L'.';
    DWORD fullLength = OsGetFullPathNameW(device, EXTENDED_PATH_SIZE, full, NULL);
    if (fullLength == 0 || fullLength >= EXTENDED_PATH_SIZE - 8)
        return false;
    if (wcsncmp(full, L"\\\\.\\", 4) == 0) {
        // "\\.\X" and "\\?\X" name one object once normalized. Only a drive (its root when bare) and a
        // share are taken: a volume's GUID path, GLOBALROOT or a device ("NUL" becomes "\\.\NUL") has
        // no plain form that the client could be started from, so none is used anywhere.
        const wchar_t *rest = full + 4;
        bool drive = iswalpha(rest[0]) != 0 && rest[1] == L':' && (rest[2] == L'\\' || rest[2] == L'\0');
        bool share = _wcsnicmp(rest, L"UNC\\", 4) == 0 && rest[4] != L'\0';
        if (!drive && !share) {
            SetLastError(ERROR_BAD_PATHNAME);
            return false;
        }
        (void)(wcscpy(extended, L"\\\\?\\"), wcscat(extended, rest));
        if (drive && rest[2] == L'\0')
            wcscat(extended, L"\\");
    } else if (wcsncmp(full, L"\\\\", 2) == 0)
        (void)(wcscpy(extended, L"\\\\?\\UNC\\"), wcscat(extended, full + 2));
    else
        (void)(wcscpy(extended, L"\\\\?\\"), wcscat(extended, full));
    return true;
}

bool ToExtendedPath(const char *path, wchar_t extended[EXTENDED_PATH_SIZE])
{
    wchar_t wide[EXTENDED_PATH_SIZE];
    memset(extended, 0, EXTENDED_PATH_SIZE * sizeof(wchar_t));
    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, EXTENDED_PATH_SIZE) != 0 && ExtendWidePath(wide, extended);
}

bool ToExtendedPrefix(const char *path, size_t length, wchar_t extended[EXTENDED_PATH_SIZE])
{
    char part[EXTENDED_PATH_SIZE];
    if (length >= sizeof part)
        return false;
    memset(part, 0, sizeof part);
    memcpy(part, path, length);
    return ToExtendedPath(part, extended);
}

bool ConvertBeyond(const char *path, size_t trustedLength, wchar_t wide[EXTENDED_PATH_SIZE], size_t *start)
{
    if (!ToExtendedPath(path, wide))
        return false;
    size_t length = 0;
    if (trustedLength == 0) {
        // "\\?\C:\" or "\\?\UNC\server\share\": what is not a folder of its own.
        bool share = wcsncmp(wide, L"\\\\?\\UNC\\", 8) == 0;
        length = share ? 8 : 6;
        for (int part = share ? 2 : 0; part > 0 && wide[length] != L'\0'; ++length)
            part -= wide[length] == L'\\' ? 1 : 0;
        length -= share && wide[length - 1] == L'\\' ? 1 : 0;
    } else {
        wchar_t trusted[EXTENDED_PATH_SIZE];
        if (!ToExtendedPrefix(path, trustedLength, trusted))
            return false;
        length = wcslen(trusted);
        length -= length > 0 && trusted[length - 1] == L'\\' ? 1 : 0;
        if (wcslen(wide) < length || CompareStringOrdinal(wide, (int)length, trusted, (int)length, TRUE) != CSTR_EQUAL)
            return false;
    }
    if (wcslen(wide) < length || (wide[length] != L'\\' && wide[length] != L'\0'))
        return false;
    *start = length;
    return true;
}

// The attributes of the folder that the first `length` characters of `wide` name.
static DWORD FolderAttributes(wchar_t wide[EXTENDED_PATH_SIZE], size_t length)
{
    wchar_t kept = wide[length];
    wide[length] = L'\0';
    DWORD attributes = OsGetFileAttributesW(wide);
    wide[length] = kept;
    return attributes;
}

bool FolderPartCrossesLink(const char *path, size_t trustedLength)
{
    wchar_t wide[EXTENDED_PATH_SIZE];
    size_t start = 0;
    if (!ConvertBeyond(path, trustedLength, wide, &start))
        return true; // not to be told apart: said to cross one, for a warning only
    for (size_t at = start + 1; wide[at] != L'\0'; ++at) {
        if (wide[at] != L'\\')
            continue;
        DWORD attributes = FolderAttributes(wide, at);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return true;
    }
    return false;
}

bool LiesBeneath(HANDLE file, const char *source, size_t stagingLength)
{
    wchar_t path[EXTENDED_PATH_SIZE];
    wchar_t expected[EXTENDED_PATH_SIZE];
    wchar_t rest[EXTENDED_PATH_SIZE];
    wchar_t actual[EXTENDED_PATH_SIZE];
    if (!ToExtendedPrefix(source, stagingLength, path) ||
        MultiByteToWideChar(CP_ACP, 0, source + stagingLength, -1, rest, EXTENDED_PATH_SIZE) == 0)
        return false;
    for (wchar_t *at = rest; *at != L'\0'; ++at)
        *at = *at == L'/' ? L'\\' : *at;
    HANDLE folder = OsCreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    DWORD folderLength = OsGetFinalPathNameByHandleW(folder, expected, EXTENDED_PATH_SIZE, VOLUME_NAME_DOS);
    (void)CloseHandle(folder);
    DWORD fileLength = OsGetFinalPathNameByHandleW(file, actual, EXTENDED_PATH_SIZE, VOLUME_NAME_DOS);
    if (folderLength == 0 || fileLength == 0 || folderLength + wcslen(rest) >= EXTENDED_PATH_SIZE ||
        fileLength >= EXTENDED_PATH_SIZE)
        return false;
    wcscat(expected, rest);
    return CompareStringOrdinal(actual, -1, expected, -1, TRUE) == CSTR_EQUAL;
}

static bool IsSeparator(char byte)
{
    return byte == '/' || byte == '\\';
}

size_t PathCharacterLength(const char *at)
{
    return IsDBCSLeadByte((BYTE)at[0]) != 0 && at[1] != '\0' ? 2 : 1;
}

MoveVerdict CheckFoldersBeneath(const char *path, size_t trustedLength)
{
    wchar_t wide[EXTENDED_PATH_SIZE];
    size_t start = 0;
    if (!ConvertBeyond(path, trustedLength, wide, &start))
        return MOVE_STAGED_MISSING;
    for (size_t at = start + 1; wide[at] != L'\0'; ++at) {
        if (wide[at] != L'\\')
            continue;
        DWORD attributes = FolderAttributes(wide, at);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return MOVE_STAGED_MISSING;
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return MOVE_STAGED_THROUGH_LINK;
    }
    return MOVE_CREATES;
}

bool NameSameFile(const char *first, const char *second)
{
    wchar_t firstPath[EXTENDED_PATH_SIZE];
    wchar_t secondPath[EXTENDED_PATH_SIZE];
    if (!ToExtendedPath(first, firstPath) || !ToExtendedPath(second, secondPath))
        return strcmp(first, second) == 0;
    return CompareStringOrdinal(firstPath, -1, secondPath, -1, TRUE) == CSTR_EQUAL;
}

size_t FolderPartLength(const char *path)
{
    const char *separator = NULL;
    for (const char *at = path; *at != '\0'; at += PathCharacterLength(at)) {
        if (*at == '/' || *at == '\\')
            separator = at;
    }
    if (separator == NULL)
        return 0;
    size_t length = (size_t)(separator - path);
    // "\x" names the root, and so do "C:\x" and "\\?\C:\x": keep the separator, or "C:" would mean
    // the drive's current folder, and "\\?\C:" the volume itself.
    bool devicePrefix =
        IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == '?' || path[2] == '.') && IsSeparator(path[3]);
    size_t drive = devicePrefix ? 4 : 0;
    if (length == 0 || (length == drive + 2 && path[drive + 1] == ':'))
        return length + 1;
    return length;
}

bool IsAbsolutePath(const char *path)
{
    bool separatorFirst = path[0] == '/' || path[0] == '\\';
    bool driveRoot = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':' &&
                     (path[2] == '/' || path[2] == '\\');
    return driveRoot || (separatorFirst && (path[1] == '/' || path[1] == '\\'));
}

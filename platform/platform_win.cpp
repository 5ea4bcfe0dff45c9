// Windows implementation of the platform services: 8-bit ("A") Win32 calls only.
#include "platform/platform.h"
#include "platform/file_calls_win.h"
#include "platform/launch_win.h"
#include "platform/delete_win.h"
#include "platform/path_win.h"
#include "platform/open_win.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

// LOAD_LIBRARY_SEARCH_SYSTEM32, which the headers declare only for builds that require Windows 8.
static const DWORD LOAD_LIBRARY_SEARCH_SYSTEM32_VALUE = 0x800;

bool GetUserDataFolder(char folder[PLATFORM_FOLDER_SIZE])
{
    // Asked for in UTF-16: the 8-bit call turns a user name the code page cannot spell into "?".
    // Such a folder is then reached by its short 8.3 form (made of the OEM code page's
    // characters) when its volume keeps short names and that form converts; otherwise none.
    wchar_t wide[MAX_PATH];
    wchar_t shortForm[MAX_PATH];
    memset(wide, 0, sizeof wide);
    memset(shortForm, 0, sizeof shortForm);
    memset(folder, 0, PLATFORM_FOLDER_SIZE);
    if (SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, SHGFP_TYPE_CURRENT, wide) != S_OK || wide[0] == L'\0')
        return false;
    if (ToAnsiExactly(wide, folder, PLATFORM_FOLDER_SIZE))
        return true;
    DWORD length = OsGetShortPathNameW(wide, shortForm, MAX_PATH);
    return length > 0 && length < MAX_PATH && ToAnsiExactly(shortForm, folder, PLATFORM_FOLDER_SIZE);
}

typedef BOOL(WINAPI *SetProcessMitigationPolicyFunction)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
typedef BOOL(WINAPI *SetDefaultDllDirectoriesFunction)(DWORD);

void HardenProcess()
{
    // Looked up, not imported: a system without the calls must still start the updater.
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    // DLLs loaded from now on (the shell's, COM's) come from the system folder only, never from
    // the updater's own folder, which is the game folder that the user's programs may write.
    // Windows 8 and later, and Windows 7 with KB2533623.
    SetDefaultDllDirectoriesFunction setDllDirectories =
        kernel == NULL
            ? NULL
            : (SetDefaultDllDirectoriesFunction)(void (*)())GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDllDirectories != NULL)
        (void)setDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32_VALUE);
    // Only an elevated run could be led by a junction to a place its user may not write: such a
    // run follows none that an unelevated process made. An unelevated run follows the player's own
    // junctions, as the player could.
    if (!RunsElevated())
        return;
    SetProcessMitigationPolicyFunction setPolicy =
        kernel == NULL
            ? NULL
            : (SetProcessMitigationPolicyFunction)(void (*)())GetProcAddress(kernel, "SetProcessMitigationPolicy");
    if (setPolicy == NULL)
        return;
    PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy;
    memset(&policy, 0, sizeof policy);
    policy.EnforceRedirectionTrust = 1;
    (void)setPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy);
}

bool TopLevelWindowExists(const char *windowClass)
{
    return FindWindowA(windowClass, NULL) != NULL;
}

void ShowMessageBox(const char *text, const char *caption)
{
    (void)MessageBoxA(NULL, text, caption, MB_OK);
}

long long MeasureFileLength(FILE *file)
{
    if (_fseeki64(file, 0, SEEK_END) != 0)
        return -1;
    long long length = (long long)_ftelli64(file);
    return _fseeki64(file, 0, SEEK_SET) == 0 ? length : -1;
}

FILE *Failed(PlatformError *error, PlatformErrorKind kind, DWORD code)
{
    if (error != NULL) {
        error->kind = kind;
        error->code = code;
    }
    return NULL;
}

bool ExtendPathTellingWhy(const char *path, wchar_t extended[EXTENDED_PATH_SIZE], PlatformError *error)
{
    SetLastError(ERROR_SUCCESS);
    if (ToExtendedPath(path, extended))
        return true;
    // The conversion into UTF-16 runs out of room only for a path too long.
    DWORD code = GetLastError();
    bool tooLong = code == ERROR_SUCCESS || code == ERROR_INSUFFICIENT_BUFFER;
    (void)Failed(error, tooLong ? PLATFORM_ERROR_PATH_TOO_LONG : PLATFORM_ERROR_SYSTEM, code);
    return false;
}

PlatformErrorKind OpenRefusal(const wchar_t *extended, DWORD code)
{
    DWORD attributes = code == ERROR_ACCESS_DENIED ? OsGetFileAttributesW(extended) : INVALID_FILE_ATTRIBUTES;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
               ? PLATFORM_ERROR_NOT_REGULAR_FILE
               : PLATFORM_ERROR_SYSTEM;
}

FILE *StreamOfHandle(HANDLE file, int flags, const char *mode, PlatformError *error)
{
    int descriptor = _open_osfhandle((intptr_t)file, flags | _O_BINARY);
    if (descriptor < 0) {
        (void)CloseHandle(file);
        return Failed(error, PLATFORM_ERROR_SYSTEM, ERROR_TOO_MANY_OPEN_FILES);
    }
    FILE *stream = _fdopen(descriptor, mode);
    if (stream == NULL) {
        (void)_close(descriptor); // closes the handle too
        return Failed(error, PLATFORM_ERROR_SYSTEM, ERROR_TOO_MANY_OPEN_FILES);
    }
    return stream;
}

FILE *OpenDataFile(const char *path, bool forDeletion, PlatformError *error)
{
    // A file to delete: no write sharing, so a list still being written is not read now and stays
    // for the next run; delete sharing, so the handle can delete the file it read whatever name it
    // has by then; and the link itself, never a file elsewhere that a link leads to, since
    // deleting through the handle would delete that file. A file only read may be shared and
    // linked as the client likes.
    DWORD sharing = FILE_SHARE_READ | FILE_SHARE_DELETE | (forDeletion ? 0 : FILE_SHARE_WRITE);
    wchar_t extended[EXTENDED_PATH_SIZE];
    if (!ExtendPathTellingWhy(path, extended, error))
        return NULL;
    // Write-attributes access lets the deletion clear a read-only attribute where it must.
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD failed = OsOpenFile(extended, GENERIC_READ | (forDeletion ? DELETE | FILE_WRITE_ATTRIBUTES : 0), sharing,
                              OPEN_EXISTING, forDeletion ? FILE_FLAG_OPEN_REPARSE_POINT : FILE_ATTRIBUTE_NORMAL, &file);
    if (failed != ERROR_SUCCESS)
        return Failed(error, OpenRefusal(extended, failed), failed);
    DWORD type = FILE_TYPE_UNKNOWN;
    BY_HANDLE_FILE_INFORMATION info;
    memset(&info, 0, sizeof info);
    failed = OsFileType(file, &type);
    if (failed == ERROR_SUCCESS && type == FILE_TYPE_DISK)
        failed = OsFileInformation(file, &info);
    PlatformErrorKind refusal = PLATFORM_ERROR_NONE;
    if (failed != ERROR_SUCCESS)
        refusal = PLATFORM_ERROR_SYSTEM;
    else if (type != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        refusal = PLATFORM_ERROR_NOT_REGULAR_FILE;
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
             (forDeletion && !LiesBeneath(file, path, FolderPartLength(path))))
        refusal = PLATFORM_ERROR_THROUGH_LINK;
    if (refusal == PLATFORM_ERROR_NONE)
        return StreamOfHandle(file, _O_RDONLY, "rb", error);
    (void)CloseHandle(file);
    return Failed(error, refusal, failed);
}

FILE *OpenOutputFile(const char *path, DWORD disposition, PlatformError *error)
{
    wchar_t extended[EXTENDED_PATH_SIZE];
    if (!ExtendPathTellingWhy(path, extended, error))
        return NULL;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD failed = OsOpenFile(extended, GENERIC_WRITE, FILE_SHARE_READ, disposition, FILE_ATTRIBUTE_NORMAL, &file);
    if (failed != ERROR_SUCCESS)
        return Failed(error, OpenRefusal(extended, failed), failed);
    return StreamOfHandle(file, _O_WRONLY, "wb", error);
}

FILE *CreateOutputFile(const char *path, PlatformError *error)
{
    return OpenOutputFile(path, CREATE_ALWAYS, error);
}

bool DeleteDataFileAndClose(FILE *file, const char *path)
{
    (void)path; // the handle knows its file, whatever name it has now
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(file));
    bool deleted = handle != INVALID_HANDLE_VALUE && MarkOpenFileForDeletion(handle) == ERROR_SUCCESS;
    (void)OsCloseStream(file); // the file goes with its last handle
    return deleted;
}

void InspectPath(const char *path, PathInfo *info)
{
    memset(info, 0, sizeof *info);
    wchar_t extended[EXTENDED_PATH_SIZE];
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!ToExtendedPath(path, extended))
        return;
    if (OsGetFileAttributesExW(extended, GetFileExInfoStandard, &data) == 0) {
        // Only a name shown to be free is missing; one that cannot be examined (denied, a file
        // pending deletion) may hold a file.
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            info->kind = PATH_OTHER;
        return;
    }
    DWORD attributes = data.dwFileAttributes;
    info->kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PATH_OTHER
                 : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0   ? PATH_FOLDER
                                                                  : PATH_REGULAR_FILE;
    info->size = ((long long)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    info->readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    HANDLE file = OsCreateFileW(extended, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    BY_HANDLE_FILE_INFORMATION identity;
    if (file != INVALID_HANDLE_VALUE && OsGetFileInformationByHandle(file, &identity) != 0) {
        info->file = ((unsigned long long)identity.nFileIndexHigh << 32) | identity.nFileIndexLow;
        info->volume = identity.dwVolumeSerialNumber;
    }
    if (file != INVALID_HANDLE_VALUE)
        (void)CloseHandle(file);
}

bool ListFolder(const char *folder, FolderVisitor visit, void *context)
{
    wchar_t pattern[EXTENDED_PATH_SIZE];
    if (!ToExtendedPath(folder, pattern) || wcslen(pattern) + 3 >= EXTENDED_PATH_SIZE)
        return false;
    size_t length = wcslen(pattern);
    wcscpy(pattern + length - (pattern[length - 1] == L'\\' ? 1 : 0), L"\\*");
    WIN32_FIND_DATAW found;
    HANDLE search = OsFindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0)
            continue;
        // A name the code page cannot spell is told apart, never skipped, and shown in UTF-8: its
        // 8-bit form would be "?" in its place, another name or none.
        char name[MAX_PATH * 4];
        bool spelled = ToAnsiExactly(found.cFileName, name, sizeof name);
        if (!spelled && WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, NULL, NULL) == 0)
            memcpy(name, "?", 2);
        DWORD attributes = found.dwFileAttributes;
        PathKind kind = !spelled                                           ? PATH_UNSPELLABLE
                        : (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PATH_OTHER
                        : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0     ? PATH_FOLDER
                                                                           : PATH_REGULAR_FILE;
        visit(name, kind, context);
    } while (OsFindNextFileW(search, &found) != 0);
    (void)FindClose(search);
    return true;
}

void PauseMilliseconds(unsigned milliseconds)
{
    Sleep(milliseconds);
}

const char *DescribeFailure(PlatformError error)
{
    static char reason[512];
    memset(reason, 0, sizeof reason);
    switch (error.kind) {
    case PLATFORM_ERROR_NOT_REGULAR_FILE: return "not a regular file on a disk (a folder, device or pipe)";
    case PLATFORM_ERROR_THROUGH_LINK: return "a link or junction, or a path that a link or junction leads elsewhere";
    case PLATFORM_ERROR_PATH_TOO_LONG: return "the path is too long";
    case PLATFORM_ERROR_SYSTEM: break;
    default: return "no reason was given";
    }
    if (error.code == ERROR_SUCCESS)
        return "no reason was given";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, (DWORD)error.code,
                                  0, reason, sizeof reason - 1, NULL);
    while (length > 0 && (reason[length - 1] == '\r' || reason[length - 1] == '\n' || reason[length - 1] == ' ' ||
                          reason[length - 1] == '.'))
        reason[--length] = '\0';
    if (length == 0)
        snprintf(reason, sizeof reason, "Windows error %lu", error.code);
    return reason;
}

void UseBinaryStandardOutput()
{
    (void)_setmode(_fileno(stdout), _O_BINARY);
}

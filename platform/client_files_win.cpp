// Windows implementation of the client library's file services. A client's own paths come in
// UTF-8 and are converted exactly; the updater's come in the ANSI code page and take the same
// extended form as every file call of a run.
#include "platform/client_files.h"
#include "platform/file_calls_win.h"
#include "platform/launch_win.h"
#include "platform/open_win.h"
#include "platform/path_win.h"

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

// The UTF-8 `text` in UTF-16: false, with `error` filled, when a byte sequence is not UTF-8 (never
// replaced by a stand-in, which would name another file) or the result does not fit.
static bool WideOfClientForm(const char *text, wchar_t *wide, int size, PlatformError *error)
{
    memset(wide, 0, (size_t)size * sizeof(wchar_t));
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, size) != 0)
        return true;
    DWORD code = GetLastError();
    (void)Failed(error, code == ERROR_INSUFFICIENT_BUFFER ? PLATFORM_ERROR_PATH_TOO_LONG : PLATFORM_ERROR_SYSTEM, code);
    memset(wide, 0, (size_t)size * sizeof(wchar_t));
    return false;
}

FILE *OpenClientFile(const char *clientPath, PlatformError *error)
{
    wchar_t wide[EXTENDED_PATH_SIZE];
    wchar_t extended[EXTENDED_PATH_SIZE];
    if (!WideOfClientForm(clientPath, wide, EXTENDED_PATH_SIZE, error))
        return NULL;
    SetLastError(ERROR_SUCCESS);
    if (!ExtendWidePath(wide, extended)) {
        DWORD code = GetLastError();
        bool tooLong = code == ERROR_SUCCESS || code == ERROR_INSUFFICIENT_BUFFER;
        return Failed(error, tooLong ? PLATFORM_ERROR_PATH_TOO_LONG : PLATFORM_ERROR_SYSTEM, code);
    }
    // No write sharing: a file some program is still writing would be copied torn. Links are
    // followed: the file is the client's, read only.
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD failed = OsOpenFile(extended, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, &file);
    if (failed != ERROR_SUCCESS)
        return Failed(error, OpenRefusal(extended, failed), failed);
    DWORD type = FILE_TYPE_UNKNOWN;
    failed = OsFileType(file, &type);
    if (failed == ERROR_SUCCESS && type == FILE_TYPE_DISK)
        return StreamOfHandle(file, _O_RDONLY, "rb", error);
    (void)CloseHandle(file);
    return Failed(error, failed != ERROR_SUCCESS ? PLATFORM_ERROR_SYSTEM : PLATFORM_ERROR_NOT_REGULAR_FILE, failed);
}

bool CreateFoldersFor(const char *path, size_t trustedLength, PlatformError *error)
{
    wchar_t wide[EXTENDED_PATH_SIZE];
    size_t start = 0;
    SetLastError(ERROR_SUCCESS);
    if (!ConvertBeyond(path, trustedLength, wide, &start)) {
        DWORD code = GetLastError();
        (void)Failed(error, PLATFORM_ERROR_SYSTEM, code != ERROR_SUCCESS ? code : ERROR_BAD_PATHNAME);
        return false;
    }
    // Each folder is examined, and made when missing, before the next one below it: a junction or
    // link met on the way is never entered, so nothing is made where it leads.
    for (size_t at = start + 1; wide[at] != L'\0'; ++at) {
        if (wide[at] != L'\\')
            continue;
        wide[at] = L'\0';
        DWORD attributes = OsGetFileAttributesW(wide);
        DWORD code = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
        if (code == ERROR_FILE_NOT_FOUND) {
            // One another program made meanwhile (already exists) is examined as any that was there.
            code = CreateDirectoryW(wide, NULL) != 0 ? ERROR_SUCCESS : GetLastError();
            attributes = OsGetFileAttributesW(wide);
            if (code == ERROR_ALREADY_EXISTS || code == ERROR_SUCCESS)
                code = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
        }
        wide[at] = L'\\';
        if (code != ERROR_SUCCESS) {
            (void)Failed(error, PLATFORM_ERROR_SYSTEM, code);
            return false;
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            (void)Failed(error,
                         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? PLATFORM_ERROR_THROUGH_LINK
                                                                          : PLATFORM_ERROR_NOT_REGULAR_FILE,
                         ERROR_SUCCESS);
            return false;
        }
    }
    return true;
}

FILE *CreateNewOutputFile(const char *path, PlatformError *error)
{
    return OpenOutputFile(path, CREATE_NEW, error);
}

bool SyncAndCloseFile(FILE *file, PlatformError *error)
{
    // A write that failed earlier lost its bytes, though the flush below may succeed: the C
    // runtime keeps the system's error of the last call that failed.
    DWORD code = ferror(file) != 0 ? (_doserrno != 0 ? (DWORD)_doserrno : ERROR_WRITE_FAULT) : ERROR_SUCCESS;
    _doserrno = 0;
    if (code == ERROR_SUCCESS && fflush(file) != 0)
        code = _doserrno != 0 ? (DWORD)_doserrno : ERROR_WRITE_FAULT;
    HANDLE handle = (HANDLE)_get_osfhandle(_fileno(file));
    if (code == ERROR_SUCCESS)
        code = handle == INVALID_HANDLE_VALUE    ? ERROR_INVALID_HANDLE
               : OsFlushFileBuffers(handle) == 0 ? GetLastError()
                                                 : ERROR_SUCCESS;
    _doserrno = 0;
    if (fclose(file) != 0 && code == ERROR_SUCCESS)
        code = _doserrno != 0 ? (DWORD)_doserrno : ERROR_WRITE_FAULT;
    if (code == ERROR_SUCCESS)
        return true;
    (void)Failed(error, PLATFORM_ERROR_SYSTEM, code);
    return false;
}

bool RenameDurably(const char *from, const char *to, PlatformError *error)
{
    wchar_t source[EXTENDED_PATH_SIZE];
    wchar_t target[EXTENDED_PATH_SIZE];
    if (!ExtendPathTellingWhy(from, source, error) || !ExtendPathTellingWhy(to, target, error))
        return false;
    // No copy allowed: across volumes a copy would be seen half made under the target's name.
    if (OsMoveFileExW(source, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    (void)Failed(error, PLATFORM_ERROR_SYSTEM, GetLastError());
    return false;
}

bool RemoveFile(const char *path)
{
    wchar_t extended[EXTENDED_PATH_SIZE];
    if (!ToExtendedPath(path, extended))
        return false;
    // DeleteFileW removes a link itself; a folder, or a junction to one, stays.
    if (OsDeleteFileW(extended) != 0)
        return true;
    DWORD code = GetLastError();
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

WriterCheck CheckForWriters(const char *path)
{
    wchar_t extended[EXTENDED_PATH_SIZE];
    if (!ToExtendedPath(path, extended))
        return WRITERS_UNKNOWN;
    // Reading refuses to share writing: it fails while any handle may write (or one that does not
    // share reading is open), and never waits. The link itself is opened, never what it leads to.
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD failed = OsOpenFile(extended, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, &file);
    if (failed == ERROR_SHARING_VIOLATION)
        return WRITERS_PRESENT;
    if (failed != ERROR_SUCCESS)
        return WRITERS_UNKNOWN;
    DWORD type = FILE_TYPE_UNKNOWN;
    BY_HANDLE_FILE_INFORMATION info;
    memset(&info, 0, sizeof info);
    bool regular = OsFileType(file, &type) == ERROR_SUCCESS && type == FILE_TYPE_DISK &&
                   OsFileInformation(file, &info) == ERROR_SUCCESS &&
                   (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    (void)CloseHandle(file);
    return regular ? NO_WRITERS : WRITERS_UNKNOWN;
}

// Writes `argument` into `line` so that the started program's command line parser reads it back
// as one argument, spaces, quotes and backslashes included. False when it does not fit.
static bool QuoteArgument(const wchar_t *argument, wchar_t *line, size_t size)
{
    memset(line, 0, size * sizeof(wchar_t));
    if (argument[0] != L'\0' && wcspbrk(argument, L" \t\"") == NULL) {
        if (wcslen(argument) >= size)
            return false;
        wcscpy(line, argument);
        return true;
    }
    size_t length = 0;
    line[length++] = L'"';
    for (const wchar_t *at = argument;; ++at) {
        size_t backslashes = 0;
        while (*at == L'\\') {
            ++backslashes;
            ++at;
        }
        // Backslashes count double only before a quote, the argument's own or the closing one.
        size_t copies = *at == L'\0' || *at == L'"' ? backslashes * 2 + (*at == L'"' ? 1 : 0) : backslashes;
        if (length + copies + 3 > size)
            return false;
        for (size_t copy = 0; copy < copies; ++copy)
            line[length++] = L'\\';
        if (*at == L'\0')
            break;
        line[length++] = *at;
    }
    line[length++] = L'"';
    return true;
}

bool StartDetachedProgram(const char *clientPath, const char *argument, const char *folder, PlatformError *error)
{
    wchar_t program[EXTENDED_PATH_SIZE];
    wchar_t wideArgument[EXTENDED_PATH_SIZE];
    wchar_t parameters[EXTENDED_PATH_SIZE * 2];
    wchar_t directory[MAX_PATH];
    memset(wideArgument, 0, sizeof wideArgument);
    memset(parameters, 0, sizeof parameters);
    if (!WideOfClientForm(clientPath, program, EXTENDED_PATH_SIZE, error))
        return false;
    bool hasArgument = argument != NULL && argument[0] != '\0';
    if (hasArgument && (MultiByteToWideChar(CP_ACP, 0, argument, -1, wideArgument, EXTENDED_PATH_SIZE) == 0 ||
                        !QuoteArgument(wideArgument, parameters, sizeof parameters / sizeof parameters[0]))) {
        (void)Failed(error, PLATFORM_ERROR_SYSTEM, ERROR_INVALID_PARAMETER);
        return false;
    }
    // The folder in the form the updater starts the client in: the shell takes no extended path.
    if (!LaunchablePath(folder, directory)) {
        (void)Failed(error, PLATFORM_ERROR_PATH_TOO_LONG, ERROR_SUCCESS);
        return false;
    }
    HRESULT initialized = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW start;
    memset(&start, 0, sizeof start);
    start.cbSize = sizeof start;
    // Returns only once the program is started (the calling thread may end at once); an error is
    // returned, never shown to the player in a box.
    start.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    start.lpVerb = NULL; // the default verb, so that the program's manifest decides its elevation
    start.lpFile = program;
    start.lpParameters = hasArgument ? parameters : NULL;
    start.lpDirectory = directory;
    start.nShow = SW_HIDE; // a console program: no window for its console
    bool started = ShellExecuteExW(&start) != 0;
    DWORD code = started ? ERROR_SUCCESS : GetLastError();
    if (SUCCEEDED(initialized))
        CoUninitialize();
    if (started)
        return true;
    (void)Failed(error, PLATFORM_ERROR_SYSTEM, code != ERROR_SUCCESS ? code : ERROR_FILE_NOT_FOUND);
    return false;
}

bool KeepExecutePermission(FILE *source, FILE *copy)
{
    (void)source; // Windows runs a program by its name, not by a permission bit
    (void)copy;
    return true;
}

bool ClientFileWritten(FILE *file)
{
    (void)file; // opened without write sharing: no program has written it since, or holds it to
    return false;
}

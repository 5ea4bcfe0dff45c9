#include "platform/file_calls_win.h"
#include "platform/fault_seam_win.h"

#include <string.h>

// True when the test build fails this call, which changes no file, before it is made: the error
// is then set as the call's own would be.
static bool Injected(const char *call)
{
    DWORD error = InjectedFault(call, false).before;
    if (error == ERROR_SUCCESS)
        return false;
    SetLastError(error);
    return true;
}

// FALSE, with `error` set as the call's own would be.
static BOOL FailedWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The result `made` of a call that changes files, or, when it succeeded and the test build fails
// it `after`, FALSE with that error.
static BOOL Reported(BOOL made, DWORD after)
{
    return made != 0 && after != ERROR_SUCCESS ? FailedWith(after) : made;
}

// CreateFileW made as the test build says; a call that may create or empty a file is one that
// changes files. Made and then failed, the file created stays and the handle is closed.
static DWORD CreateFileCall(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                            DWORD flags, HANDLE templateFile, HANDLE *file)
{
    *file = INVALID_HANDLE_VALUE;
    CallFault fault = InjectedFault("CreateFileW", disposition != OPEN_EXISTING);
    if (fault.before != ERROR_SUCCESS)
        return fault.before;
    *file = CreateFileW(path, access, share, security, disposition, flags, templateFile);
    if (*file == INVALID_HANDLE_VALUE)
        return GetLastError();
    if (fault.after == ERROR_SUCCESS)
        return ERROR_SUCCESS;
    (void)CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
    return fault.after;
}

HANDLE OsCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE templateFile)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD error = CreateFileCall(path, access, share, security, disposition, flags, templateFile, &file);
    if (error != ERROR_SUCCESS)
        SetLastError(error);
    return file;
}

DWORD OsOpenFile(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags, HANDLE *file)
{
    return CreateFileCall(path, access, share, NULL, disposition, flags, NULL, file);
}

HANDLE OsReOpenFile(HANDLE file, DWORD access, DWORD share, DWORD flags)
{
    if (Injected("ReOpenFile"))
        return INVALID_HANDLE_VALUE;
    return ReOpenFile(file, access, share, flags);
}

BOOL OsMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    CallFault fault = InjectedFault("MoveFileExW", true);
    if (fault.before != ERROR_SUCCESS)
        return FailedWith(fault.before);
    return Reported(MoveFileExW(from, to, flags), fault.after);
}

BOOL OsDeleteFileW(LPCWSTR path)
{
    CallFault fault = InjectedFault("DeleteFileW", true);
    if (fault.before != ERROR_SUCCESS)
        return FailedWith(fault.before);
    return Reported(DeleteFileW(path), fault.after);
}

DWORD OsGetFileAttributesW(LPCWSTR path)
{
    if (Injected("GetFileAttributesW"))
        return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(path);
}

BOOL OsGetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data)
{
    if (Injected("GetFileAttributesExW"))
        return FALSE;
    return GetFileAttributesExW(path, level, data);
}

BOOL OsSetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    CallFault fault = InjectedFault("SetFileAttributesW", true);
    if (fault.before != ERROR_SUCCESS)
        return FailedWith(fault.before);
    return Reported(SetFileAttributesW(path, attributes), fault.after);
}

DWORD OsFileInformation(HANDLE file, BY_HANDLE_FILE_INFORMATION *info)
{
    DWORD error = InjectedFault("GetFileInformationByHandle", false).before;
    if (error != ERROR_SUCCESS)
        return error;
    return GetFileInformationByHandle(file, info) != 0 ? ERROR_SUCCESS : GetLastError();
}

BOOL OsGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    DWORD error = OsFileInformation(file, info);
    if (error == ERROR_SUCCESS)
        return TRUE;
    SetLastError(error);
    return FALSE;
}

BOOL OsGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    if (Injected("GetFileInformationByHandleEx"))
        return FALSE;
    return GetFileInformationByHandleEx(file, kind, info, size);
}

BOOL OsSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    CallFault fault = InjectedFault("SetFileInformationByHandle", true);
    if (fault.before != ERROR_SUCCESS)
        return FailedWith(fault.before);
    return Reported(SetFileInformationByHandle(file, kind, info, size), fault.after);
}

DWORD OsGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    if (Injected("GetFinalPathNameByHandleW"))
        return 0;
    return GetFinalPathNameByHandleW(file, path, size, flags);
}

DWORD OsFileType(HANDLE file, DWORD *type)
{
    *type = FILE_TYPE_UNKNOWN;
    DWORD error = InjectedFault("GetFileType", false).before;
    if (error != ERROR_SUCCESS)
        return error;
    // FILE_TYPE_UNKNOWN is also the answer for a type the system does not know, with no error.
    SetLastError(ERROR_SUCCESS);
    *type = GetFileType(file);
    return *type == FILE_TYPE_UNKNOWN ? GetLastError() : ERROR_SUCCESS;
}

BOOL OsReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (Injected("ReadFile"))
        return FALSE;
    return ReadFile(file, buffer, size, got, overlapped);
}

BOOL OsWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    CallFault fault = InjectedFault("WriteFile", true);
    if (fault.before != ERROR_SUCCESS)
        return FailedWith(fault.before);
    return Reported(WriteFile(file, buffer, size, written, overlapped), fault.after);
}

BOOL OsSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method)
{
    if (Injected("SetFilePointerEx"))
        return FALSE;
    return SetFilePointerEx(file, distance, position, method);
}

BOOL OsFlushFileBuffers(HANDLE file)
{
    CallFault fault = InjectedFault("FlushFileBuffers", true);
    if (fault.before != ERROR_SUCCESS)
        return FailedWith(fault.before);
    return Reported(FlushFileBuffers(file), fault.after);
}

HANDLE OsFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found)
{
    if (Injected("FindFirstFileW"))
        return INVALID_HANDLE_VALUE;
    return FindFirstFileW(pattern, found);
}

BOOL OsFindNextFileW(HANDLE search, LPWIN32_FIND_DATAW found)
{
    if (Injected("FindNextFileW"))
        return FALSE;
    return FindNextFileW(search, found);
}

DWORD OsSetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner, PSID group,
                        PACL dacl, PACL sacl)
{
    // Named by what it sets, so that a trace shows the order of the owner and the DACL.
    CallFault fault = InjectedFault(
        (what & OWNER_SECURITY_INFORMATION) != 0 ? "SetSecurityInfo/owner" : "SetSecurityInfo/dacl", true);
    if (fault.before != ERROR_SUCCESS)
        return fault.before;
    DWORD error = SetSecurityInfo(handle, type, what, owner, group, dacl, sacl);
    return error == ERROR_SUCCESS ? fault.after : error;
}

DWORD OsGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID *owner, PSID *group,
                        PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor)
{
    DWORD error = InjectedFault("GetSecurityInfo", false).before;
    if (error != ERROR_SUCCESS)
        return error;
    return GetSecurityInfo(handle, type, what, owner, group, dacl, sacl, descriptor);
}

DWORD OsGetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR full, LPWSTR *leaf)
{
    if (Injected("GetFullPathNameW"))
        return 0;
    return GetFullPathNameW(path, size, full, leaf);
}

DWORD OsGetShortPathNameW(LPCWSTR path, LPWSTR shortForm, DWORD size)
{
    if (Injected("GetShortPathNameW"))
        return 0;
    return GetShortPathNameW(path, shortForm, size);
}

HANDLE OsCreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCWSTR name)
{
    if (Injected("CreateMutexW"))
        return NULL;
    return CreateMutexW(security, owned, name);
}

HANDLE OsOpenMutexW(DWORD access, BOOL inherit, LPCWSTR name)
{
    if (Injected("OpenMutexW"))
        return NULL;
    return OpenMutexW(access, inherit, name);
}

DWORD OsWaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    if (Injected("WaitForSingleObject"))
        return WAIT_FAILED;
    return WaitForSingleObject(handle, milliseconds);
}

BOOL OsCloseHandle(HANDLE handle)
{
    // Failed before: the handle stays open, and the file goes when the process ends.
    CallFault fault = InjectedFault("CloseHandle", true);
    if (fault.before != ERROR_SUCCESS)
        return FailedWith(fault.before);
    return Reported(CloseHandle(handle), fault.after);
}

int OsCloseStream(FILE *stream)
{
    CallFault fault = InjectedFault("fclose", true);
    if (fault.before != ERROR_SUCCESS)
        return EOF;
    int closed = fclose(stream);
    return closed == 0 && fault.after != ERROR_SUCCESS ? EOF : closed;
}

typedef NTSTATUS(NTAPI *SetInformationFileFunction)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
typedef ULONG(NTAPI *StatusToErrorFunction)(NTSTATUS);
typedef NTSTATUS(NTAPI *QueryInformationFileFunction)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

DWORD OsSetInformationFile(HANDLE file, void *info, ULONG size, FILE_INFORMATION_CLASS kind)
{
    CallFault fault = InjectedFault("NtSetInformationFile", true);
    if (fault.before != ERROR_SUCCESS)
        return fault.before;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    SetInformationFileFunction setInformation =
        ntdll == NULL ? NULL : (SetInformationFileFunction)(void (*)())GetProcAddress(ntdll, "NtSetInformationFile");
    StatusToErrorFunction toError =
        ntdll == NULL ? NULL : (StatusToErrorFunction)(void (*)())GetProcAddress(ntdll, "RtlNtStatusToDosError");
    if (setInformation == NULL || toError == NULL)
        return ERROR_INVALID_FUNCTION;
    IO_STATUS_BLOCK status;
    memset(&status, 0, sizeof status);
    NTSTATUS result = setInformation(file, &status, info, size, kind);
    return result >= 0 ? fault.after : toError(result);
}

DWORD OsQueryInformationFile(HANDLE file, void *info, ULONG size, FILE_INFORMATION_CLASS kind)
{
    DWORD error = InjectedFault("NtQueryInformationFile", false).before;
    if (error != ERROR_SUCCESS)
        return error;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    QueryInformationFileFunction queryInformation =
        ntdll == NULL ? NULL
                      : (QueryInformationFileFunction)(void (*)())GetProcAddress(ntdll, "NtQueryInformationFile");
    StatusToErrorFunction toError =
        ntdll == NULL ? NULL : (StatusToErrorFunction)(void (*)())GetProcAddress(ntdll, "RtlNtStatusToDosError");
    if (queryInformation == NULL || toError == NULL)
        return ERROR_INVALID_FUNCTION;
    IO_STATUS_BLOCK status;
    memset(&status, 0, sizeof status);
    NTSTATUS result = queryInformation(file, &status, info, size, kind);
    return result >= 0 ? ERROR_SUCCESS : toError(result);
}

#include "platform/file_calls_win.h"
#include "platform/fault_seam_win.h"

#include <string.h>

// True when the test build fails this call: the error is then set as the call's own would be.
static bool Injected(const char *call)
{
    DWORD error = InjectedFault(call);
    if (error == ERROR_SUCCESS)
        return false;
    SetLastError(error);
    return true;
}

HANDLE OsCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE templateFile)
{
    if (Injected("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(path, access, share, security, disposition, flags, templateFile);
}

HANDLE OsReOpenFile(HANDLE file, DWORD access, DWORD share, DWORD flags)
{
    if (Injected("ReOpenFile"))
        return INVALID_HANDLE_VALUE;
    return ReOpenFile(file, access, share, flags);
}

BOOL OsMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    if (Injected("MoveFileExW"))
        return FALSE;
    return MoveFileExW(from, to, flags);
}

BOOL OsDeleteFileW(LPCWSTR path)
{
    if (Injected("DeleteFileW"))
        return FALSE;
    return DeleteFileW(path);
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
    if (Injected("SetFileAttributesW"))
        return FALSE;
    return SetFileAttributesW(path, attributes);
}

BOOL OsGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    if (Injected("GetFileInformationByHandle"))
        return FALSE;
    return GetFileInformationByHandle(file, info);
}

BOOL OsGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    if (Injected("GetFileInformationByHandleEx"))
        return FALSE;
    return GetFileInformationByHandleEx(file, kind, info, size);
}

BOOL OsSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size)
{
    if (Injected("SetFileInformationByHandle"))
        return FALSE;
    return SetFileInformationByHandle(file, kind, info, size);
}

DWORD OsGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    if (Injected("GetFinalPathNameByHandleW"))
        return 0;
    return GetFinalPathNameByHandleW(file, path, size, flags);
}

BOOL OsReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped)
{
    if (Injected("ReadFile"))
        return FALSE;
    return ReadFile(file, buffer, size, got, overlapped);
}

BOOL OsWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (Injected("WriteFile"))
        return FALSE;
    return WriteFile(file, buffer, size, written, overlapped);
}

BOOL OsSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method)
{
    if (Injected("SetFilePointerEx"))
        return FALSE;
    return SetFilePointerEx(file, distance, position, method);
}

BOOL OsFlushFileBuffers(HANDLE file)
{
    if (Injected("FlushFileBuffers"))
        return FALSE;
    return FlushFileBuffers(file);
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
    DWORD error =
        InjectedFault((what & OWNER_SECURITY_INFORMATION) != 0 ? "SetSecurityInfo/owner" : "SetSecurityInfo/dacl");
    if (error != ERROR_SUCCESS)
        return error;
    return SetSecurityInfo(handle, type, what, owner, group, dacl, sacl);
}

DWORD OsGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID *owner, PSID *group,
                        PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor)
{
    DWORD error = InjectedFault("GetSecurityInfo");
    if (error != ERROR_SUCCESS)
        return error;
    return GetSecurityInfo(handle, type, what, owner, group, dacl, sacl, descriptor);
}

typedef NTSTATUS(NTAPI *SetInformationFileFunction)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);
typedef ULONG(NTAPI *StatusToErrorFunction)(NTSTATUS);
typedef NTSTATUS(NTAPI *QueryInformationFileFunction)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, FILE_INFORMATION_CLASS);

DWORD OsSetInformationFile(HANDLE file, void *info, ULONG size, FILE_INFORMATION_CLASS kind)
{
    DWORD error = InjectedFault("NtSetInformationFile");
    if (error != ERROR_SUCCESS)
        return error;
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
    return result >= 0 ? ERROR_SUCCESS : toError(result);
}

DWORD OsQueryInformationFile(HANDLE file, void *info, ULONG size, FILE_INFORMATION_CLASS kind)
{
    DWORD error = InjectedFault("NtQueryInformationFile");
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

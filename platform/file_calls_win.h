// Internal to the Windows platform layer: the system's file calls, each made through here (and
// the calls of the run's lock, and those that give a path its full or short form). Each takes
// the arguments and gives the result of the Win32 call of the same name without "Os", unless
// its comment says otherwise; a test build can make any one of them fail (see
// fault_seam_win.h), so that every error and every interruption of a pass is tried under test,
// also those no test system returns.
#ifndef PLATFORM_FILE_CALLS_WIN_H
#define PLATFORM_FILE_CALLS_WIN_H

#include <windows.h>
#include <aclapi.h>
#include <winternl.h>

#include <stdio.h>

HANDLE OsCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                     DWORD flags, HANDLE templateFile);
HANDLE OsReOpenFile(HANDLE file, DWORD access, DWORD share, DWORD flags);
BOOL OsMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL OsDeleteFileW(LPCWSTR path);
DWORD OsGetFileAttributesW(LPCWSTR path);
BOOL OsGetFileAttributesExW(LPCWSTR path, GET_FILEEX_INFO_LEVELS level, LPVOID data);
BOOL OsSetFileAttributesW(LPCWSTR path, DWORD attributes);
BOOL OsGetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);
BOOL OsGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size);
BOOL OsSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, LPVOID info, DWORD size);
DWORD OsGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
BOOL OsReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD got, LPOVERLAPPED overlapped);
BOOL OsWriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
BOOL OsSetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method);
BOOL OsFlushFileBuffers(HANDLE file);
HANDLE OsFindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW found);
BOOL OsFindNextFileW(HANDLE search, LPWIN32_FIND_DATAW found);
DWORD OsSetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID owner, PSID group,
                        PACL dacl, PACL sacl);
DWORD OsGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION what, PSID *owner, PSID *group,
                        PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor);
DWORD OsGetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR full, LPWSTR *leaf);
DWORD OsGetShortPathNameW(LPCWSTR path, LPWSTR shortForm, DWORD size);
HANDLE OsCreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCWSTR name);
HANDLE OsOpenMutexW(DWORD access, BOOL inherit, LPCWSTR name);
DWORD OsWaitForSingleObject(HANDLE handle, DWORD milliseconds);

// For the handle of a file marked for deletion, which goes as it closes (a kill closes it
// too). Other handles are closed with CloseHandle itself.
BOOL OsCloseHandle(HANDLE handle);

// The C runtime's fclose, for the stream of a file marked for deletion, which goes as it closes.
int OsCloseStream(FILE *stream);

// These give the Win32 error of the call as their value, ERROR_SUCCESS when it succeeded, and
// its result through their last argument: the reason travels from the call that failed, and no
// later call can overwrite it before it is read.

// CreateFileW with no security attributes and no template file; `*file` is INVALID_HANDLE_VALUE
// when it fails.
DWORD OsOpenFile(LPCWSTR path, DWORD access, DWORD share, DWORD disposition, DWORD flags, HANDLE *file);

// GetFileType of the open `file`: `*type` is its FILE_TYPE_ value (FILE_TYPE_UNKNOWN also when
// the call fails).
DWORD OsFileType(HANDLE file, DWORD *type);

// GetFileInformationByHandle of the open `file`.
DWORD OsFileInformation(HANDLE file, BY_HANDLE_FILE_INFORMATION *info);

// The system's own NtSetInformationFile, looked up in ntdll.dll: the rename through a handle
// that Win32 offers only from Windows 10 on. Returns the Win32 error of the call (ERROR_SUCCESS),
// ERROR_INVALID_FUNCTION where the system has no such call.
DWORD OsSetInformationFile(HANDLE file, void *info, ULONG size, FILE_INFORMATION_CLASS kind);

// The system's own NtQueryInformationFile, looked up in ntdll.dll: the classes Win32 does not
// offer (FileNetworkOpenInformation: size, times and attributes in one call, where
// GetFileInformationByHandle also asks for the file's name). Returns the Win32 error of the call.
DWORD OsQueryInformationFile(HANDLE file, void *info, ULONG size, FILE_INFORMATION_CLASS kind);

#endif

// Internal to the Windows platform layer: deleting a file through the handle it is open with.
#ifndef PLATFORM_DELETE_WIN_H
#define PLATFORM_DELETE_WIN_H

#include <windows.h>

// Marks the file open as `file` for deletion, a read-only one too; it goes when its last handle
// closes. The handle needs DELETE and FILE_WRITE_ATTRIBUTES access. Where the system has it
// (Windows 10 1809 and later) this is one call that ignores the read-only attribute; elsewhere the
// attribute is cleared through the handle first and put back when the deletion is refused.
// Returns ERROR_SUCCESS, or the Win32 error of the refusal.
DWORD MarkOpenFileForDeletion(HANDLE file);

// Deletes the file open as `file` (with DELETE and FILE_WRITE_ATTRIBUTES access), and only that
// file, a read-only one too, then closes the handle. False when the system refused the deletion.
bool DeleteThroughHandle(HANDLE file);

#endif

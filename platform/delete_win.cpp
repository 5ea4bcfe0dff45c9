#include "platform/delete_win.h"
#include "platform/file_calls_win.h"
#include "platform/readonly_win.h"

#include <string.h>

// The extended disposition class and its flags, which the headers declare only for builds that
// require Windows 10 1809: the updater still starts on older systems, which refuse the class.
static const FILE_INFO_BY_HANDLE_CLASS DISPOSITION_INFO_EX_CLASS = (FILE_INFO_BY_HANDLE_CLASS)21;
static const DWORD DISPOSITION_DELETE = 0x1, DISPOSITION_POSIX_SEMANTICS = 0x2, DISPOSITION_IGNORE_READONLY = 0x10;

DWORD MarkOpenFileForDeletion(HANDLE file)
{
    // POSIX semantics: the name goes at once, even while another program holds the file open
    // with delete sharing, so a new file can take it straight away.
    DWORD flags = DISPOSITION_DELETE | DISPOSITION_POSIX_SEMANTICS | DISPOSITION_IGNORE_READONLY;
    if (OsSetFileInformationByHandle(file, DISPOSITION_INFO_EX_CLASS, &flags, sizeof flags) != 0)
        return ERROR_SUCCESS;
    // Refused before Windows 10 1809, on file systems without POSIX semantics (FAT) and by Wine 8:
    // the classic disposition, which a read-only attribute blocks.
    FILE_BASIC_INFO basic;
    bool cleared = OsGetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) != 0 &&
                   (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                   SetAttributesThroughHandle(file, basic.FileAttributes & ~(DWORD)FILE_ATTRIBUTE_READONLY);
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    if (OsSetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0)
        return ERROR_SUCCESS;
    DWORD error = GetLastError();
    if (cleared)
        (void)SetAttributesThroughHandle(file, basic.FileAttributes);
    return error;
}

bool DeleteThroughHandle(HANDLE file)
{
    bool deleted = MarkOpenFileForDeletion(file) == ERROR_SUCCESS;
    (void)OsCloseHandle(file);
    return deleted;
}

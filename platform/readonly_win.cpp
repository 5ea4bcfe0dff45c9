#include "platform/readonly_win.h"
#include "platform/file_calls_win.h"

DWORD ClearReadOnly(const wchar_t *path)
{
    DWORD attributes = OsGetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return INVALID_FILE_ATTRIBUTES;
    return OsSetFileAttributesW(path, attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY) != 0 ? attributes
                                                                                         : INVALID_FILE_ATTRIBUTES;
}

void RestoreAttributes(const wchar_t *path, DWORD attributes)
{
    if (attributes != INVALID_FILE_ATTRIBUTES)
        (void)OsSetFileAttributesW(path, attributes);
}

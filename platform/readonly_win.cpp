#include "platform/readonly_win.h"
#include "platform/file_calls_win.h"

#include <string.h>

bool SetAttributesThroughHandle(HANDLE file, DWORD attributes)
{
    FILE_BASIC_INFO basic;
    memset(&basic, 0, sizeof basic);
    basic.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    return OsSetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The file at `path` itself (a link there too), for its attributes, letting everyone share it.
static HANDLE OpenForAttributes(const wchar_t *path)
{
    return OsCreateFileW(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
}

void ClearReadOnlyAt(const wchar_t *path, ClearedReadOnly *cleared)
{
    memset(cleared, 0, sizeof *cleared);
    HANDLE file = OpenForAttributes(path);
    if (file == INVALID_HANDLE_VALUE)
        return;
    if (IdentifyFile(file, &cleared->file) &&
        (cleared->file.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_READONLY &&
        SetAttributesThroughHandle(file, cleared->file.attributes & ~(DWORD)FILE_ATTRIBUTE_READONLY)) {
        cleared->cleared = true;
        cleared->attributes = cleared->file.attributes;
    }
    (void)CloseHandle(file);
}

void RestoreReadOnlyAt(const wchar_t *path, const ClearedReadOnly *cleared)
{
    if (!cleared->cleared)
        return;
    HANDLE file = OpenForAttributes(path);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FileIdentity now;
    // Where file indexes are of no use, a refused replacement has changed nothing at the name.
    if (IdentifyFile(file, &now) && SameIndex(&cleared->file, &now))
        (void)SetAttributesThroughHandle(file, cleared->attributes);
    (void)CloseHandle(file);
}

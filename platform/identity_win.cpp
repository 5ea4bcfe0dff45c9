#include "platform/identity_win.h"
#include "platform/file_calls_win.h"

#include <string.h>

bool IdentifyFile(HANDLE file, FileIdentity *identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    memset(identity, 0, sizeof *identity);
    if (OsGetFileInformationByHandle(file, &info) == 0)
        return false;
    FILE_ID_INFO wide;
    if (OsGetFileInformationByHandleEx(file, FileIdInfo, &wide, sizeof wide) != 0) {
        identity->volume = wide.VolumeSerialNumber;
        memcpy(identity->id, &wide.FileId, sizeof identity->id);
    } else {
        // Marked as the short form, so that it never equals a long one by chance.
        identity->volume = (1ULL << 63) | info.dwVolumeSerialNumber;
        unsigned long long index = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
        memcpy(identity->id, &index, sizeof index);
    }
    identity->sizeHigh = info.nFileSizeHigh;
    identity->sizeLow = info.nFileSizeLow;
    identity->lastWrite = info.ftLastWriteTime;
    identity->attributes = info.dwFileAttributes;
    return true;
}

// Some file systems (network and user-mode ones) give every file the id 0, or -1 for none.
static bool IdIsUsable(const FileIdentity *identity)
{
    static const unsigned char NONE[sizeof identity->id] = {0};
    unsigned char invalid[sizeof identity->id];
    memset(invalid, 0xFF, sizeof invalid);
    return memcmp(identity->id, NONE, sizeof NONE) != 0 && memcmp(identity->id, invalid, sizeof invalid) != 0;
}

bool SameFile(const FileIdentity *first, const FileIdentity *second)
{
    return IdIsUsable(first) && first->volume == second->volume && memcmp(first->id, second->id, sizeof first->id) == 0;
}

bool SameContentStamp(const FileIdentity *first, const FileIdentity *second)
{
    // Both are of one handle's file, or of a file and its record: an id of no use compares too.
    return first->volume == second->volume && memcmp(first->id, second->id, sizeof first->id) == 0 &&
           first->sizeHigh == second->sizeHigh && first->sizeLow == second->sizeLow &&
           first->lastWrite.dwLowDateTime == second->lastWrite.dwLowDateTime &&
           first->lastWrite.dwHighDateTime == second->lastWrite.dwHighDateTime;
}

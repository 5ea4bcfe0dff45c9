#include "platform/identity_win.h"
#include "platform/file_calls_win.h"

#include <string.h>

bool IdentifyFile(HANDLE file, FileIdentity *identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    memset(identity, 0, sizeof *identity);
    if (OsGetFileInformationByHandle(file, &info) == 0)
        return false;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    identity->sizeHigh = info.nFileSizeHigh;
    identity->sizeLow = info.nFileSizeLow;
    identity->lastWrite = info.ftLastWriteTime;
    identity->attributes = info.dwFileAttributes;
    identity->links = info.nNumberOfLinks;
    return true;
}

// Some file systems (network and user-mode ones) give every file the id 0, or -1 for none.
static bool IdIsUsable(const unsigned char *id, size_t size)
{
    static const unsigned char NONE[16] = {0};
    unsigned char invalid[16];
    memset(invalid, 0xFF, sizeof invalid);
    return memcmp(id, NONE, size) != 0 && memcmp(id, invalid, size) != 0;
}

void ReadWideId(HANDLE file, FileIdentity *identity)
{
    FILE_ID_INFO wide;
    if (identity->wideKnown || OsGetFileInformationByHandleEx(file, FileIdInfo, &wide, sizeof wide) == 0)
        return;
    identity->wideKnown = true;
    identity->wideVolume = wide.VolumeSerialNumber;
    memcpy(identity->wideId, &wide.FileId, sizeof identity->wideId);
}

bool SameFile(HANDLE first, FileIdentity *firstIdentity, HANDLE second, FileIdentity *secondIdentity)
{
    if (!SameIndex(firstIdentity, secondIdentity))
        return false;
    ReadWideId(first, firstIdentity);
    ReadWideId(second, secondIdentity);
    return SameIdentifiedFile(firstIdentity, secondIdentity);
}

bool SameIdentifiedFile(const FileIdentity *first, const FileIdentity *second)
{
    if (!SameIndex(first, second) || !IdIsUsable((const unsigned char *)&first->index, sizeof first->index) ||
        first->wideKnown != second->wideKnown)
        return false; // one id could not be read: not proven
    if (!first->wideKnown)
        return true; // a system without 128-bit ids has unique indexes
    return IdIsUsable(first->wideId, sizeof first->wideId) && first->wideVolume == second->wideVolume &&
           memcmp(first->wideId, second->wideId, sizeof first->wideId) == 0;
}

bool SameContentStamp(const FileIdentity *first, const FileIdentity *second)
{
    return SameIndex(first, second) && first->sizeHigh == second->sizeHigh && first->sizeLow == second->sizeLow &&
           first->lastWrite.dwLowDateTime == second->lastWrite.dwLowDateTime &&
           first->lastWrite.dwHighDateTime == second->lastWrite.dwHighDateTime;
}

bool SameIndex(const FileIdentity *identity, const FileIdentity *later)
{
    return identity->volume == later->volume && identity->index == later->index;
}

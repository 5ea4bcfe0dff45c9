#include "platform/identity_win.h"
#include "platform/file_calls_win.h"

#include <string.h>

bool IdentifyFile(HANDLE file, FileIdentity *identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    memset(identity, 0, sizeof *identity);
    if (OsGetFileInformationByHandle(file, &info) == 0)
        return false;
    identity->stampKnown = true;
    identity->sizeHigh = info.nFileSizeHigh;
    identity->sizeLow = info.nFileSizeLow;
    identity->lastWrite = info.ftLastWriteTime;
    identity->attributes = info.dwFileAttributes;
    identity->linksKnown = true;
    identity->links = info.nNumberOfLinks;
    identity->indexKnown = true;
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = ((unsigned long long)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return true;
}

// FILE_NETWORK_OPEN_INFORMATION, which the Win32 headers do not declare.
struct NetworkOpenInformation {
    LARGE_INTEGER creationTime;
    LARGE_INTEGER lastAccessTime;
    LARGE_INTEGER lastWriteTime;
    LARGE_INTEGER changeTime;
    LARGE_INTEGER allocationSize;
    LARGE_INTEGER endOfFile;
    ULONG fileAttributes;
};
static const FILE_INFORMATION_CLASS NETWORK_OPEN_INFORMATION_CLASS = (FILE_INFORMATION_CLASS)34;

bool StampFile(HANDLE file, FileIdentity *identity)
{
    NetworkOpenInformation info;
    memset(identity, 0, sizeof *identity);
    memset(&info, 0, sizeof info);
    if (OsQueryInformationFile(file, &info, sizeof info, NETWORK_OPEN_INFORMATION_CLASS) != ERROR_SUCCESS)
        return false;
    identity->stampKnown = true;
    identity->sizeHigh = (DWORD)((unsigned long long)info.endOfFile.QuadPart >> 32);
    identity->sizeLow = (DWORD)info.endOfFile.QuadPart;
    identity->lastWrite.dwHighDateTime = (DWORD)((unsigned long long)info.lastWriteTime.QuadPart >> 32);
    identity->lastWrite.dwLowDateTime = (DWORD)info.lastWriteTime.QuadPart;
    identity->attributes = info.fileAttributes;
    return true;
}

bool CountNames(HANDLE file, FileIdentity *identity)
{
    FILE_STANDARD_INFO standard;
    if (identity->linksKnown)
        return true;
    if (OsGetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) == 0)
        return false;
    identity->linksKnown = true;
    identity->links = standard.NumberOfLinks;
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
    ReadWideId(first, firstIdentity);
    ReadWideId(second, secondIdentity);
    if (firstIdentity->wideKnown && secondIdentity->wideKnown)
        return SameIdentifiedFile(firstIdentity, secondIdentity);
    // A system without 128-bit ids: its 64-bit indexes are unique.
    FileIdentity firstIndex;
    FileIdentity secondIndex;
    return IdentifyFile(first, &firstIndex) && IdentifyFile(second, &secondIndex) &&
           IdIsUsable((const unsigned char *)&firstIndex.index, sizeof firstIndex.index) &&
           SameIndex(&firstIndex, &secondIndex);
}

bool SameIdentifiedFile(const FileIdentity *first, const FileIdentity *second)
{
    if (first->wideKnown && second->wideKnown)
        return IdIsUsable(first->wideId, sizeof first->wideId) && first->wideVolume == second->wideVolume &&
               memcmp(first->wideId, second->wideId, sizeof first->wideId) == 0;
    return first->indexKnown && second->indexKnown && !first->wideKnown && !second->wideKnown &&
           IdIsUsable((const unsigned char *)&first->index, sizeof first->index) && SameIndex(first, second);
}

bool SameContentStamp(const FileIdentity *first, const FileIdentity *second)
{
    return first->stampKnown && second->stampKnown && first->sizeHigh == second->sizeHigh &&
           first->sizeLow == second->sizeLow && first->lastWrite.dwLowDateTime == second->lastWrite.dwLowDateTime &&
           first->lastWrite.dwHighDateTime == second->lastWrite.dwHighDateTime;
}

bool SameIndex(const FileIdentity *identity, const FileIdentity *later)
{
    return identity->indexKnown && later->indexKnown && identity->volume == later->volume &&
           identity->index == later->index;
}

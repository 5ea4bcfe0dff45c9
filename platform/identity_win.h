// Internal to the Windows platform layer: what identifies a file and its content.
#ifndef PLATFORM_IDENTITY_WIN_H
#define PLATFORM_IDENTITY_WIN_H

#include <windows.h>

// What identifies a file and its content, through its handle. The 128-bit id of FILE_ID_INFO
// where the system has it: the 64-bit index of older calls is not unique on ReFS, and a false
// "same file" would delete a staged file and leave its target old.
struct FileIdentity {
    unsigned long long volume;
    unsigned char id[16];
    DWORD sizeHigh;
    DWORD sizeLow;
    FILETIME lastWrite;
    DWORD attributes;
};

// Fills `identity` (zero-filled first) from the file open as `file`. False when the system
// cannot tell.
bool IdentifyFile(HANDLE file, FileIdentity *identity);

// True when both identities are of one file; false where the file system gives no usable id
// (every file 0, or none), as some network and user-mode file systems do.
bool SameFile(const FileIdentity *first, const FileIdentity *second);

// True when both are of one file whose size and last-write time did not change between them.
bool SameContentStamp(const FileIdentity *first, const FileIdentity *second);

#endif

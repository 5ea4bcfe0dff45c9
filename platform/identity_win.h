// Internal to the Windows platform layer: what identifies a file and its content.
#ifndef PLATFORM_IDENTITY_WIN_H
#define PLATFORM_IDENTITY_WIN_H

#include <windows.h>

// What identifies a file and its content, through its handle. The 64-bit index is always read;
// the 128-bit id of FILE_ID_INFO only where two files must be told apart for sure, since the
// index is not unique on ReFS, and a false "same file" would leave a target old.
struct FileIdentity {
    DWORD volume;             // the volume's serial number
    unsigned long long index; // the file's 64-bit index on it
    bool wideKnown;           // the 128-bit id below was read
    unsigned long long wideVolume;
    unsigned char wideId[16];
    DWORD sizeHigh;
    DWORD sizeLow;
    FILETIME lastWrite;
    DWORD attributes;
    DWORD links; // its names (hard links); 0 where the file system does not count them
};

// Fills `identity` (zero-filled first) from the file open as `file`, without the 128-bit id:
// one system call. False when the system cannot tell.
bool IdentifyFile(HANDLE file, FileIdentity *identity);

// True when the files open as `first` and `second`, identified as `firstIdentity` and
// `secondIdentity`, are one file. Files of different indexes are told apart at once; files of
// one index only by their 128-bit ids, read now where the system has them. False where the file
// system gives no usable id (every file 0, or none), as some network and user-mode ones do.
bool SameFile(HANDLE first, FileIdentity *firstIdentity, HANDLE second, FileIdentity *secondIdentity);

// Reads the 128-bit id of the file open as `file` into `identity`, where the system has it and
// it was not read yet (one system call).
void ReadWideId(HANDLE file, FileIdentity *identity);

// SameFile for identities whose 128-bit ids were read already where the system has them: the
// record of a file that is no longer open against a file now open.
bool SameIdentifiedFile(const FileIdentity *first, const FileIdentity *second);

// True when both identities, read from one handle, show the same size and last-write time.
bool SameContentStamp(const FileIdentity *first, const FileIdentity *second);

// True when `identity`, read at one time, and `later`, read afterwards through another handle of
// whatever a name then held, are of one file. Compares the 64-bit index only: for a check
// whose mistake costs no file.
bool SameIndex(const FileIdentity *identity, const FileIdentity *later);

#endif

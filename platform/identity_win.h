// Internal to the Windows platform layer: what identifies a file and its content.
#ifndef PLATFORM_IDENTITY_WIN_H
#define PLATFORM_IDENTITY_WIN_H

#include <windows.h>

// What identifies a file and its content, through its handle. Each part is read only where it
// is needed, since each costs a system call (and the 64-bit index a lookup of the file's name
// under Wine): the stamp (size, last-write time, attributes) and the count of names for every
// staged file, the ids only to tell two files apart. The 128-bit id of FILE_ID_INFO is preferred
// to the 64-bit index, which is not unique on ReFS: a false "same file" would leave a target old.
struct FileIdentity {
    bool stampKnown;
    DWORD sizeHigh;
    DWORD sizeLow;
    FILETIME lastWrite;
    DWORD attributes;
    bool linksKnown;
    DWORD links; // its names (hard links); 0 where the file system does not count them
    bool indexKnown;
    DWORD volume;             // the volume's serial number
    unsigned long long index; // the file's 64-bit index on it
    bool wideKnown;
    unsigned long long wideVolume;
    unsigned char wideId[16];
};

// Fills `identity` (zero-filled first) from the file open as `file` with all but the 128-bit
// id: the stamp, the names, the volume and the 64-bit index, in one system call. False when the
// system cannot tell.
bool IdentifyFile(HANDLE file, FileIdentity *identity);

// Fills `identity` (zero-filled first) with the stamp of the file open as `file`: its size,
// last-write time and attributes, in one system call. False when the system cannot tell.
bool StampFile(HANDLE file, FileIdentity *identity);

// Adds the count of names of the file open as `file` to `identity`. False when unknown.
bool CountNames(HANDLE file, FileIdentity *identity);

// Reads the 128-bit id of the file open as `file` into `identity`, where the system has it and
// it was not read yet (one system call).
void ReadWideId(HANDLE file, FileIdentity *identity);

// True when the files open as `first` and `second`, identified as `firstIdentity` and
// `secondIdentity`, are one file, by the ids read now as needed. False where the file system
// gives no usable id (every file 0, or none), as some network and user-mode ones do.
bool SameFile(HANDLE first, FileIdentity *firstIdentity, HANDLE second, FileIdentity *secondIdentity);

// SameFile for identities whose ids were read already: the record of a file that is no longer
// open against a file now open. False unless both carry the same kind of id.
bool SameIdentifiedFile(const FileIdentity *first, const FileIdentity *second);

// True when both stamps, read from one file, show the same size and last-write time.
bool SameContentStamp(const FileIdentity *first, const FileIdentity *second);

// True when `identity` and `later`, both from IdentifyFile, have one volume and 64-bit index:
// for a check whose mistake costs no file.
bool SameIndex(const FileIdentity *identity, const FileIdentity *later);

#endif

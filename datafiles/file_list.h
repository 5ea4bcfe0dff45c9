// The file list ("FileList.kdx" in the staging folder) and the installation pass. The payload
// is a 1-byte entry count, then that many LenString names, each a path relative to both the
// staging folder and the game folder whose last four bytes are a suffix the installed file
// does not carry.
#ifndef DATAFILES_FILE_LIST_H
#define DATAFILES_FILE_LIST_H

#include <stddef.h>

#include "datafiles/byte_reader.h"

enum {
    FILE_LIST_NAME_SIZE = 128,   // a name: at most 127 bytes and a terminating zero
    FILE_LIST_SOURCE_SIZE = 260, // a staged file's path: at most 259 characters
    FILE_LIST_TARGET_SIZE = 384, // an installed file's path before the suffix is dropped: 383
    FILE_LIST_SUFFIX_LENGTH = 4,
    FILE_LIST_MAX_ENTRIES = 255 // the count is one byte
};

// The most payload a list can use: the count and 255 names of the longest a 16-bit length
// allows. Bytes past it cannot change the pass and are not read.
static const size_t FILE_LIST_PAYLOAD_LIMIT = 1 + (size_t)FILE_LIST_MAX_ENTRIES * (2 + 65535);

// Why an entry is or is not installed. Refused entries are skipped and their staged files stay.
enum FileListEntryVerdict {
    ENTRY_INSTALLABLE = 0,
    ENTRY_NAME_TOO_SHORT,         // four bytes or fewer: nothing is left once the suffix is dropped
    ENTRY_NAME_TOO_LONG,          // more than 127 bytes
    ENTRY_NAME_ABSOLUTE,          // starts with "/" or "\"
    ENTRY_NAME_DRIVE,             // its second byte is ":", a drive-qualified path
    ENTRY_NAME_WINDOWS_CHARACTER, // a character Windows does not read as part of a name: ":" (a data
                                  // stream), < > " | ? * or a control byte
    ENTRY_NAME_PARENT,            // a ".."-like component, before or after the suffix is dropped
    ENTRY_NAME_DEVICE, // a component that Windows reads as a device: CON, NUL, COM1, LPT1.txt, COM with a superscript
                       // digit...
    ENTRY_NAME_EMPTY_PART,            // an empty or "." component, before or after the suffix is dropped
    ENTRY_NAME_RESERVED,              // the staged or installed file name has the form of the updater's own files
    ENTRY_NAME_TRAILING_SPACE_OR_DOT, // a component ends in a space or a dot, which Windows may drop
    ENTRY_NAME_SHORT_ALIAS,           // a component shaped like a short 8.3 name ("NAME~1.EXT")
    ENTRY_SOURCE_TOO_LONG,            // staging folder + name over 259 characters
    ENTRY_TARGET_TOO_LONG             // game folder + "/" + name over 383 characters
};

struct FileListEntryPaths {
    char source[FILE_LIST_SOURCE_SIZE]; // AppDataPath + "/Brackmoor Games/Temp/" + name
    size_t stagingLength;               // the length of source's staging folder part, without the "/"
    char target[FILE_LIST_TARGET_SIZE]; // GamePath + "/" + name, less its last four bytes
};

// Decides whether the entry `name` (its text: the bytes before any zero byte) can be installed
// safely with these folders, and when it can, composes both paths into `paths` (zero-filled
// first; left empty otherwise). Paths are never cut: one that does not fit is a refusal.
FileListEntryVerdict PrepareFileListEntry(const LenStringView *name, const char *appDataPath, const char *gamePath,
                                          FileListEntryPaths *paths);

// A short English reason for support staff, e.g. "the name reaches outside its folder".
const char *DescribeEntryVerdict(FileListEntryVerdict verdict);

// PayloadHandler for "FileList.kdx". With GamePath empty it prints "Error: No Dunmark Path
// Set.\n" on standard output (flushed), pauses 3000 ms and installs nothing. Otherwise it moves
// every installable entry's staged file over its target, in the order stored, each with
// MoveFileReplacing: an entry that cannot be moved leaves both files as they were, and the pass
// goes on. An entry whose file is in use is tried again after pauses of 50 ms doubling up to 1 s,
// all such pauses in one pass together at most 10 s; then it fails like any other. An entry cut short by the payload's
// end is not installed and ends the pass. When it returns, the folders it installed into hold no temporary file that a
// killed earlier run left, and every move it made is durable unless a folder could not be synced (see
// FileListPassIsDurable).
void ApplyFileList(const unsigned char *payload, size_t length);

// False when the last ApplyFileList could not make some folder's new entries durable: the file
// list must then stay, so that a later run finds what a power cut may have undone.
bool FileListPassIsDurable();

// How long a run waits for another updater's run on the same staging folder to end.
static const unsigned UPDATE_RUN_LOCK_WAIT_MS = 30000;

// File-list phase: waits at most `lockWaitMs` until no other updater works on the staging
// folder (LockUpdateRun), loads AppDataPath + "/Brackmoor Games/Temp/FileList.kdx" (at most
// FILE_LIST_PAYLOAD_LIMIT bytes of its payload) through ApplyFileList and then deletes it,
// whatever the load found, unless the pass was not durable or another file has taken the list's
// name meanwhile. Does nothing when the list does not open (a FIFO or folder there counts as
// none), when AppDataPath is empty, or when the other run still holds the folder after the
// wait. Holding the claim and knowing the game folder, it settles the leftovers of earlier runs
// in the game folder itself (RemoveMoveLeftovers) whether or not a list was applied. Returns
// with the claim given up, so that a client started next may start an updater.
void ProcessFileList(unsigned lockWaitMs);

// Tells the player that no game folder is known ("Error: No Dunmark Path Set." on standard
// output) and pauses three seconds, so that the line can be read before the console closes.
void ReportMissingGameFolder();

#endif

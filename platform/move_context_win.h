// Internal to the Windows platform layer: the state one pass of moves hands from entry to entry,
// so that what is the same for consecutive entries (a folder's path, where it lies, whether new
// names may be added there) is asked of the system once.
#ifndef PLATFORM_MOVE_CONTEXT_WIN_H
#define PLATFORM_MOVE_CONTEXT_WIN_H

#include "platform/identity_win.h"
#include "platform/path_win.h"
#include "platform/platform.h"

#include <windows.h>

enum { COPY_CHUNK_SIZE = 256 * 1024 };

// A folder's path converted once. The narrow spelling is the key: consecutive entries of one
// folder share it.
struct ConvertedFolder {
    char narrow[EXTENDED_PATH_SIZE];
    wchar_t wide[EXTENDED_PATH_SIZE]; // extended form, no final separator; empty when it failed
};

// Whether a folder gives the files created in it entries of its own DACL.
enum InheritedEntries { INHERITED_UNKNOWN = 0, INHERITED_SOME, INHERITED_NONE };

// What the target's folder was found to be. Remembered only while it lets a move go on: a folder
// missing or refusing new names is asked again for each entry, so that one that passes fails one
// entry only; one gone stale only makes a move fail, and that failure is told afresh.
struct TargetFolderFacts {
    wchar_t path[EXTENDED_PATH_SIZE]; // the folder these facts are of; empty when none
    DWORD volume;                     // its volume's serial number
    InheritedEntries inherited;
};

// A finished copy whose rename found the target in use: kept, delete-pending, for the next try
// of the same move, so that a retry does not copy the whole file again.
struct KeptCopy {
    bool held;
    HANDLE file;
    wchar_t path[EXTENDED_PATH_SIZE];
    FileIdentity source; // the staged file it was copied from, as it was then (128-bit id read)
    wchar_t target[EXTENDED_PATH_SIZE];
};

struct MoveContext {
    ConvertedFolder staging;                         // the staging folder
    wchar_t stagingFinal[EXTENDED_PATH_SIZE];        // where it really lies; empty until asked
    DWORD stagingVolume;                             // its volume's serial number, with stagingFinal
    wchar_t checkedStagedFolder[EXTENDED_PATH_SIZE]; // the last folder below it found link-free
    ConvertedFolder targetFolderPath;                // the last target's folder
    TargetFolderFacts targetFolder;
    int elevated; // 0 not asked yet, 1 elevated, -1 not
    KeptCopy keptCopy;
    unsigned temporaryAttempt; // makes this process's temporary and set-aside names unique
    bool keepTargetsInUse;     // a target in use is not set aside: BeginMovePass(false)
    unsigned char copyBuffer[COPY_CHUNK_SIZE];
};

// The pass's context: one per process, since a process makes one pass (a plan forecasts with its
// own). Zero until first used.
MoveContext *PassContext();

// Fills `paths` (zero-filled first) for the move of `source` (its staging folder its first
// `stagingLength` bytes) to `target`, converting each folder once for consecutive entries; the
// narrow paths must outlive `paths`. A wide path is empty where it cannot be converted.
void ConvertMovePathsOnce(MoveContext *context, const char *source, size_t stagingLength, const char *target,
                          MovePaths *paths);

// True when the file open as `file`, the staged file `paths` name, lies exactly where its name
// leads beneath the staging folder: no junction or link below that folder led the open elsewhere.
// Sets `*volume` to the volume it lies on: the staging folder's, since no mount point (a
// junction) lies between them; an unlikely mistake there only makes the rename refuse to
// cross volumes, and the move copy instead.
bool StagedFileLiesBeneath(MoveContext *context, const MovePaths *paths, HANDLE file, DWORD *volume);

// The facts of the target's folder `folder` (extended form): remembered ones for the folder of
// the last entry, else learned now. NULL when it is not there as a folder (links followed) or
// refuses this user new names (then `*noNames` is set).
const TargetFolderFacts *LearnTargetFolder(MoveContext *context, const wchar_t *folder, bool *noNames);

// True when the updater runs elevated, asked of the system once.
bool ContextRunsElevated(MoveContext *context);

// Gives the file open as `file` (DELETE access) the target's name, replacing the file there
// through the handle, or, when that file is in use, after setting it aside. `error` gets the
// Win32 error of the last refusal (ERROR_NOT_SAME_DEVICE when the file lies on another volume
// than the target), ERROR_SUCCESS when done.
MoveOutcome ReplaceTarget(MoveContext *context, HANDLE file, const MovePaths *paths, DWORD *error);

#endif

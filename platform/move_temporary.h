// Internal to the platform layer: the names of the temporary files a move across volumes
// copies into, shared by both platforms so that a later run recognises what a killed one left.
#ifndef PLATFORM_MOVE_TEMPORARY_H
#define PLATFORM_MOVE_TEMPORARY_H

#include <stddef.h>

enum { MOVE_TEMPORARY_PATH_SIZE = 512 };

// Writes `folder` (its first `folderLength` bytes) + "/" + ".~upd-<process>-<attempt>.tmp" into
// `temporary` (MOVE_TEMPORARY_PATH_SIZE bytes, zero-filled first). The process id makes the name
// unique to one updater, the attempt number unique within it; the form is one no game file has.
// Returns false, leaving it empty, when it would not fit.
bool ComposeMoveTemporaryPath(char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *folder, size_t folderLength,
                              unsigned long process, unsigned attempt);

// True when the file name `name` (no folder part) has the form ComposeMoveTemporaryPath gives.
bool IsMoveTemporaryName(const char *name);

// The process number in `name`, a name for which IsMoveTemporaryName holds: the process that
// made it. MOVE_TEMPORARY_NO_PROCESS for a number that no process can have (0, or above 2^31-1).
enum { MOVE_TEMPORARY_NO_PROCESS = 0 };
unsigned long MoveTemporaryProcess(const char *name);

#endif

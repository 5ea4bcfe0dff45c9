// Internal to the platform layer: the temporary file a move across volumes copies into.
#ifndef PLATFORM_MOVE_TEMPORARY_H
#define PLATFORM_MOVE_TEMPORARY_H

#include <stddef.h>

enum { MOVE_TEMPORARY_PATH_SIZE = 512 };

// Writes target + MOVE_TEMPORARY_SUFFIX into `temporary` (MOVE_TEMPORARY_PATH_SIZE bytes,
// zero-filled first): beside the target, so on its volume, and the same name for the same
// target. Returns false, leaving it empty, when it would not fit.
bool ComposeMoveTemporaryPath(char temporary[MOVE_TEMPORARY_PATH_SIZE], const char *target);

#endif

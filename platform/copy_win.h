// Internal to the Windows platform layer: the move across volumes, a copy made complete and
// durable beside the target before it takes the target's name.
#ifndef PLATFORM_COPY_WIN_H
#define PLATFORM_COPY_WIN_H

#include "platform/examine_move_win.h"
#include "platform/move_context_win.h"
#include "platform/platform.h"

// Moves the examined staged file `staged` to the target of `paths` on another volume (its
// read-only attribute cleared for the rename when `targetReadOnly`): its content is copied into
// a new file beside the target, created exclusively under a name unique to this process and
// delete-pending until complete, flushed, renamed over the target through its handle, and only
// then is the staged file deleted (through its handle, which `staged` then no longer holds). A
// staged file whose size or last-write time changed during the copy is not installed. After
// MOVE_IN_USE the finished copy is kept in `context` for the next try of the same move; after any
// other failure nothing is left.
MoveOutcome MoveAcrossVolumes(MoveContext *context, StagedFile *staged, const MovePaths *paths, bool targetReadOnly);

// Removes the copy `context` keeps for a retry; nothing when none is kept.
void ForgetCopy(MoveContext *context);

#endif

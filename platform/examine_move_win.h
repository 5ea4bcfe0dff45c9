// Examining a move on Windows, shared by the run's moves and by the forecast of a plan.
#ifndef PLATFORM_EXAMINE_MOVE_WIN_H
#define PLATFORM_EXAMINE_MOVE_WIN_H

#include "platform/identity_win.h"
#include "platform/move_context_win.h"
#include "platform/path_win.h"
#include "platform/platform.h"

#include <windows.h>

// The staged file as the move sees it.
struct StagedFile {
    HANDLE file; // INVALID_HANDLE_VALUE when it did not open
    DWORD openError;
    FileIdentity identity; // its stamp and count of names; ids only where read
    DWORD volume;          // the serial number of the volume it lies on
    bool securityAccess;   // `file` may also set its owner and DACL
};

// Fills `forecast`, and for a regular staged file opens it into `staged` (closed by the caller):
// for a move (`forMove`) with the access that reads, flushes and renames it (and, where granted,
// sets its security), letting no writer in; for a forecast with attribute access only,
// disturbing nobody. Changes no file, only what `context` remembers of the folders.
void ExamineMove(MoveContext *context, const MovePaths *paths, bool forMove, MoveForecast *forecast,
                 StagedFile *staged);

// What the Win32 error `error`, met on the file `path` (extended form, empty when it has none)
// in `folder` (empty when only the file is asked), means for the move: MOVE_IN_USE when another
// program holds the file for the moment (a sharing or lock violation, or access denied on a
// file this user may replace), MOVE_FAILED otherwise, at once.
MoveOutcome OutcomeOfError(DWORD error, const wchar_t *path, const wchar_t *folder);

#endif

// Internal to the Windows platform layer: the name a file replaced while in use is set aside
// under, and the settling of such files and of a move's leftovers.
#ifndef PLATFORM_SETASIDE_WIN_H
#define PLATFORM_SETASIDE_WIN_H

#include "platform/path_win.h"

#include <windows.h>

// The name a file set aside from `target` (extended form) takes in its folder:
// ".~upd-<time>-<attempt>~" + the target's own name, so that a later run can tell where it came
// from, and which of several set aside from one name came last (<time> is `stamp`, the system time,
// in sixteen hex digits; <attempt> is `attempt`). False when it does not fit.
bool ComposeSetAsidePath(const wchar_t *target, unsigned long long stamp, unsigned attempt,
                         wchar_t aside[EXTENDED_PATH_SIZE]);

// The target's own name within a set-aside file's name, or NULL when `name` is not of that form.
const wchar_t *SetAsideOrigin(const wchar_t *name);

// Compares the "<time>-<attempt>" parts of two set-aside names, each as a number: below zero
// when `first` was set aside before `second`.
int CompareSetAsideStamps(const wchar_t *first, const wchar_t *second);

#endif

// Internal to the Windows platform layer: the permissions an installed file takes from its folder.
#ifndef PLATFORM_SECURITY_WIN_H
#define PLATFORM_SECURITY_WIN_H

#include "platform/move_context_win.h"

#include <windows.h>

// Gives the file open as `file`, just renamed into its folder, the permissions that folder gives
// its new files: a rename keeps the staged file's own (that one user's), so another account of
// the PC could not run the installed game. When `administratorsOwn` is set (an elevated run), the
// Administrators group becomes the owner first, and only then is the DACL inherited, so that the
// folder's CREATOR OWNER entries resolve to Administrators and not to the player. `inherited`
// tells whether the folder gives its files entries: where it gives none, the staged file's own
// entries stay, made the file's own, since an inherited DACL would grant no one anything; where
// that is unknown, the DACL is inherited and checked afterwards. `file` is used itself when
// `hasSecurityAccess` (opened with READ_CONTROL, WRITE_DAC and, when `administratorsOwn`,
// WRITE_OWNER), else opened again for it. Every failure leaves the file installed, with what was
// set so far.
void InheritFolderSecurity(HANDLE file, bool hasSecurityAccess, bool administratorsOwn, InheritedEntries inherited);

#endif

// Internal to the Windows platform layer: the place where a test build fails a file call.
// The build chooses the implementation: the shipped programs never fail a call on purpose
// (fault_none_win.cpp); the test build of the updater (fault_seam_win.cpp) reads
// UPDATER_FAULT="N:ERROR" or "N:exit" from its environment and makes the Nth file call of the
// run fail with the Win32 error ERROR, or ends the process just before it, as a kill would.
// With UPDATER_FAULT_TRACE set, it writes each call's number and name to standard error.
#ifndef PLATFORM_FAULT_SEAM_WIN_H
#define PLATFORM_FAULT_SEAM_WIN_H

#include <windows.h>

// Called by each file call before it is made: ERROR_SUCCESS lets it go on; any other value is
// the error it must fail with, without being made.
DWORD InjectedFault(const char *call);

#endif

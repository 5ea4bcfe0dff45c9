// Internal to the Windows platform layer: the place where a test build fails a file call.
// The build chooses the implementation: the shipped programs never fail a call on purpose
// (fault_none_win.cpp); the test build of the updater (fault_seam_win.cpp) reads from its
// environment UPDATER_FAULT="N:ERROR" (the Nth file call of the run fails with the Win32 error
// ERROR without being made), "N:after:ERROR" (it is made, and once done reports ERROR all the
// same, as a network share does when the answer to a done rename is lost) or "N:exit" (the
// process ends just before it, as a kill would). With UPDATER_FAULT_TRACE set, it writes each
// call's number and name to standard error, and " changes" after a call that may change a file.
#ifndef PLATFORM_FAULT_SEAM_WIN_H
#define PLATFORM_FAULT_SEAM_WIN_H

#include <windows.h>

// What the test build does to one file call; both ERROR_SUCCESS when the call goes as the
// system makes it.
struct CallFault {
    DWORD before; // the call fails with this error without being made
    DWORD after;  // the call is made and, when it succeeds, fails with this error all the same
};

// Called by each file call before it is made. `changesFiles`: the call may create, rename,
// write, delete, or change a file's attributes or security (or close a handle whose file goes
// then). Only such a call is given an `after` error; any other call fails before with it, which
// is all its caller could tell apart.
CallFault InjectedFault(const char *call, bool changesFiles);

#endif

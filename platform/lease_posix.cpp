// POSIX: read leases, through which a move sees any open of the staged file for writing.
#include "platform/move_pass_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>

// Called when a lease taken here is broken: the move looks at its lease itself. A handler rather
// than SIG_IGN, which a program started later would inherit.
static void OnLeaseBroken(int) {}

// A broken lease raises SIGIO, whose default ends the process: no lease is taken before it is
// caught (EPERM when it cannot be).
int TakeReadLease(int file)
{
    static bool handlerSet;
    if (!handlerSet) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = OnLeaseBroken;
        action.sa_flags = SA_RESTART;
        (void)sigemptyset(&action.sa_mask);
        handlerSet = sigaction(SIGIO, &action, NULL) == 0;
        if (!handlerSet) {
            errno = EPERM;
            return -1;
        }
    }
    return fcntl(file, F_SETLEASE, F_RDLCK);
}

bool LeaseStagedFile(StagedFile *staged)
{
    if (TakeReadLease(staged->file) == 0) {
        staged->leased = true;
        return true;
    }
    return errno != EAGAIN;
}

bool LeaseBroken(const StagedFile *staged)
{
    return staged->leased && fcntl(staged->file, F_GETLEASE) != F_RDLCK;
}

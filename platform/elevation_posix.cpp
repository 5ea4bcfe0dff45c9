// POSIX implementation of what tools tell about an elevated run: there is none. An updater
// started by this user runs with this user's rights, which the plan's own checks already are.
#include "platform/platform.h"

ElevatedRun FindElevatedRun()
{
    return ELEVATED_RUN_SAME;
}

ElevatedAccess CheckElevatedReplace(const char *target)
{
    (void)target;
    return ELEVATED_ACCESS_UNKNOWN;
}

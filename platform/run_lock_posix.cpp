// POSIX: the run's claim on the staging folder, so that one run of a user settles its files at a
// time.
#include "platform/clock_posix.h"
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The descriptor whose flock is the run's claim; -1 when none is held. The process's, not a
// pass's: it outlives every pass of the run.
static int g_runLock = -1;

RunLockOutcome LockUpdateRun(const char *stagingFolder, unsigned waitMs)
{
    static const unsigned RUN_LOCK_POLL_MS = 20;
    UnlockUpdateRun();
    // A child does not inherit the descriptor, so a started client never holds the claim.
    int descriptor = open(stagingFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return RUN_LOCK_NO_CLAIM;
    // Polled rather than blocking: a blocking flock has no bound, and a signal-based alarm would
    // reach whatever else the process waits on.
    // One more millisecond: the clock read is cut to whole ones, and the wait is never shorter.
    long long deadline = MonotonicMilliseconds() + waitMs + 1;
    for (;;) {
        if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
            g_runLock = descriptor;
            return RUN_LOCK_HELD;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            (void)close(descriptor);
            return RUN_LOCK_NO_CLAIM;
        }
        long long left = deadline - MonotonicMilliseconds();
        if (left <= 0) {
            (void)close(descriptor);
            return RUN_LOCK_TIMED_OUT;
        }
        PauseMilliseconds(left < RUN_LOCK_POLL_MS ? (unsigned)left : RUN_LOCK_POLL_MS);
    }
}

void UnlockUpdateRun()
{
    if (g_runLock < 0)
        return;
    (void)close(g_runLock); // the last descriptor of the open file: the flock goes with it
    g_runLock = -1;
}

// Internal to the POSIX platform layer: the clock that bounded waits are measured by.
#ifndef PLATFORM_CLOCK_POSIX_H
#define PLATFORM_CLOCK_POSIX_H

// Milliseconds of the monotonic clock, which no change of the wall clock moves: for deadlines.
long long MonotonicMilliseconds();

#endif

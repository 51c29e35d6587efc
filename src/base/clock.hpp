// The one clock that bounds and times are counted on: CLOCK_MONOTONIC, which
// the wall clock's steps (an administrator, NTP) never move.
#pragma once

#include <ctime>

/// Now on CLOCK_MONOTONIC, in nanoseconds.
inline long long monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

/// Now on CLOCK_MONOTONIC, in whole milliseconds.
inline long long monotonic_ms() { return monotonic_ns() / 1000000; }

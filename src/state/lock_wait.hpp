// Waiting for a lock within a bound: the one loop of attempts that never
// block, with naps between them. No signal and no timer is involved, so the
// bound holds whatever signal mask, dispositions and timers the process
// inherited, and an inherited alarm keeps running untouched.
#pragma once

#include "base/clock.hpp"

#include <time.h>

#include <algorithm>
#include <cerrno>

/// The naps between attempts: the first, then twice as long each time up to
/// the longest (each below a second).
struct LockPace {
    long first_ns;
    long longest_ns;
};

/// Attempts `attempt()` until it is no longer -EAGAIN (another holds the
/// lock) or `timeout_ms` has passed, napping as `pace` says between
/// attempts, never past the bound. The attempt's own result (0 held, or
/// -errno), or -ETIMEDOUT when the bound passed first.
template <class Attempt>
int lock_wait(int timeout_ms, const LockPace &pace, Attempt attempt)
{
    long long start = monotonic_ns();
    long long limit = static_cast<long long>(timeout_ms) * 1000000LL;
    long nap = pace.first_ns;
    for (;;) {
        int rc = attempt();
        if (rc != -EAGAIN)
            return rc;
        long long left = limit - (monotonic_ns() - start);
        if (left <= 0)
            return -ETIMEDOUT;
        timespec pause = {0, static_cast<long>(std::min<long long>(nap, left))};
        nanosleep(&pause, nullptr);
        nap = std::min(nap * 2, pace.longest_ns);
    }
}

/// The exclusive flock on `fd` within `timeout_ms`, attempted every
/// `pace`: 0 held, -ETIMEDOUT, or flock's own -errno.
int lock_flock_within(int fd, int timeout_ms, const LockPace &pace);

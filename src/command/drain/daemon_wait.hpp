// `tald --prio --set PATH PREF --wait [SECONDS]` and `--prio --get PATH
// --wait [SECONDS]`: after the store, multipathd is polled until it reports
// the stored priority for the path, and one line tells what it uses then and
// whether the path's group is the active one. The wait only reads the
// daemon's state (multipathd.hpp); it runs without the run lock.
#pragma once

#include <cstdio>

/// The pass to ask multipathd, which only the run's driver hands out, once
/// the run lock is given up (command/driver/driver.hpp).
struct AfterLock;

/// Exit statuses of a wait that did not end in the daemon's report.
inline constexpr int kWaitTimedOut = 2;    ///< the bound passed first
inline constexpr int kWaitNotReached = 3;  ///< the daemon did not answer

/// The bound when the command line gives none: max_polling_interval's
/// default (20 s), the longest a healthy path waits for its next check, and
/// a margin for the check itself.
inline constexpr int kWaitDefaultSeconds = 30;
/// The largest bound the command line takes.
inline constexpr int kWaitMaxSeconds = 86400;

/// Polls multipathd about once a second until it reports `prio` for the
/// device node `path` (matched by device number, or by name when the node
/// is no block device), at most `seconds`, and writes one line to `out`.
/// Every exchange gets what is left of the bound, at least half a second,
/// and the last look asks one more (the path's map's groups): the wait ends
/// within `seconds` and one second. A group that could not be read is
/// given as "not read (why)". 0 when reported; kWaitTimedOut;
/// kWaitNotReached, at once, when the daemon cannot be asked.
int daemon_wait(const char *path, int prio, int seconds, FILE *out, const AfterLock &pass);

struct Store;

/// Polls multipathd about once a second, at most `seconds`, until it
/// follows the store for every stored LUN of which it holds a path: it
/// reports the stored priority of each such path, and its active path
/// group, if it names one, holds a path of the LUN's highest stored
/// priority; a map that names none (no I/O went through it since it last
/// switched groups) counts once it still names none a look later; a LUN
/// whose map's groups could not be read (a refusal, a cut reply) is never
/// seen to move. Then "multipathd: active path groups of N LUNs GOAL after
/// T s", 0. Not within the bound: a line "not moved: NAME WWID (why)" per
/// LUN and "multipathd: M of N LUNs not moved after T s", kWaitTimedOut;
/// kWaitNotReached, at once, when the daemon cannot be asked. The store
/// stays loaded; the run lock is not held.
int daemon_wait_luns(Store *store, int seconds, const char *goal, FILE *out,
                     const AfterLock &pass);

// A command of tald on the one life of a run (store/run.hpp run_life): what
// the command needs of the run, and its steps before, under and after the
// run lock. The driver writes the report that the step under the lock built
// in memory once the run is left; multipathd is asked only by the step after
// the lock, with the pass (AfterLock) that the driver hands out then.
#pragma once

#include "store/run.hpp"

#include <cstdio>

struct CommandSteps;
struct DaemonView;

/// The pass to ask multipathd: only command_drive makes one, after it left
/// the run. The daemon's path checks call the prioritizer, which waits for
/// the run lock: asked under it, multipathd and this run would wait on each
/// other.
struct AfterLock {
  private:
    AfterLock() = default;
    friend int command_drive(const CommandSteps &, StoreRun *, void *);
};

/// Where the step under the lock writes its report.
enum class ReportTo {
    kMemory,  ///< into memory, written once the run is left (standard output without memory)
    /// Into memory as kMemory; where the memory failed on the way, the step
    /// runs again on standard output, under the lock (a report that changes
    /// nothing: a listing, the check).
    kMemoryOrAgain,
    kStdout,  ///< standard output at once (an operation on a path, which traces as it goes)
};

/// One command: its need and its steps; `state` is the command's own record,
/// the same for every step. A step left out is skipped.
struct CommandSteps {
    RunNeed need;
    ReportTo report;
    /// Once the lock file is open, and the run entered where the command
    /// has nothing to do before it: the scan's level lines, say. Not for a
    /// step that may fail.
    void (*opened)(void *state);
    /// Before the run is entered (the document read, the probe of one LUN's
    /// path): 0 goes on; anything else is the command's result, the run not
    /// entered.
    int (*before)(StoreRun *run, void *state);
    /// Under the run lock (on one LUN: the operation, which says itself
    /// when the run was not entered): the report into `report`. Its result
    /// goes to `after`.
    int (*under)(StoreRun *run, void *state, FILE *report);
    /// Once the run is left and the report written: the command's result
    /// from the result under the lock (printing, asking multipathd, waiting).
    /// Without it, the result under the lock is the command's.
    int (*after)(StoreRun *run, void *state, int under_rc, const AfterLock &pass);
    /// The run not had: what is said after cli_lock_error (`open_error`:
    /// run_open's -errno value, 0 when the wait ran out).
    void (*refused)(int open_error);
    /// The result when the run is not entered after `before`; a lock file
    /// that cannot be opened, or a run not entered without `before`, is -1.
    int refused_result;
};

/// Carries out `steps` on `run` (made by the front end, its lock file not
/// yet open) through run_life: the run entered as the command needs (after
/// `opened` and `before` when there is a `before`, else before `opened`),
/// `under` into its report, the run left; then the report written, and
/// `after` run with the pass. The command's result.
int command_drive(const CommandSteps &steps, StoreRun *run, void *state);

/// Multipathd's view of the paths and of their maps' groups (daemon_view,
/// daemon_view_groups), each exchange within `bound_ms`, for a command
/// after the lock: asked only with the pass. *view as those leave it (not
/// reached: empty, and said so).
void command_daemon_view(const AfterLock &pass, int bound_ms, DaemonView *view);

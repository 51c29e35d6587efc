// One life of a run for every command of tald: what a command needs of the
// run, and its steps before, under and after the run lock. The driver alone
// opens the lock file, enters the run, leaves it, and writes the report the
// step under the lock built in memory; multipathd is asked only by the step
// after the lock, with the pass (AfterLock) that the driver hands out once
// it has left the run.
#pragma once

#include "store/run.hpp"

#include <cstdio>

/// What a command needs of the run before its step under the lock.
enum class RunNeed {
    kNoLock,    ///< nothing: no lock file opened, the run never entered
    kLockOnly,  ///< the run lock, nothing loaded (the check reads the file itself)
    /// One LUN: the step probes its path first, and the operation enters the
    /// run for the probed LUN itself (getPrio, setPrio, getAlias).
    kOneLun,
    kEveryLun,  ///< the run lock and the file loaded whole
};

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
    /// Before the run is entered (the document read): 0 goes on; anything
    /// else is the command's result, the run not entered.
    int (*before)(void *state);
    /// Under the run lock (on one LUN: the operation that probes, then
    /// enters): the report into `report`. Its result goes to `after`.
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
/// yet open): opens the lock file unless the command needs no lock, enters
/// the run as the command needs (after `opened` and `before` when there is
/// a `before`, else before `opened`), runs `under` into its report, leaves
/// the run, writes the report, and runs `after` with the pass. The run is
/// entered and left here alone (but for kOneLun's entry, the operation's),
/// and left once. The command's result.
int command_drive(const CommandSteps &steps, StoreRun *run, void *state);

/// Multipathd's view of the paths and of their maps' groups (daemon_view,
/// daemon_view_groups), each exchange within `bound_ms`, for a command
/// after the lock: asked only with the pass. *view as those leave it (not
/// reached: empty, and said so).
void command_daemon_view(const AfterLock &pass, int bound_ms, DaemonView *view);

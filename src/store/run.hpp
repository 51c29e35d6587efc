// A run of the store: what one request holds while it reads the preference
// file and resolves against it. The run lock (the host-wide flock), the store
// it guards, the bound of the wait for them, and, for the prioritizer that
// serves many threads from one kept store, the turn at that store.
//
// Life of a run (run_life, the one entry of every front end): the lock file
// opened early (run_open: its failure decides the answer before any device
// is touched), the step before the lock (the probe of the device), the run
// entered as the request needs (run_enter: the turn, the flock within the
// bound, the file loaded for the probed LUN or whole), the step under the
// lock, and the run left (run_leave). What the entry found stays on the run
// for the steps to read.
#pragma once

#include "base/pathinfo.hpp"
#include "state/run_lock.hpp"

#include <pthread.h>

struct Store;

/// The turn at a store that several threads share: taken by one run at a
/// time, for as long as it uses the store. A run waits for it within its own
/// bound, measured on CLOCK_MONOTONIC, since the wall clock may be set back
/// or forth while the host runs (at boot, when the time service first steps
/// it). Hence a flag under a mutex that is only ever held for a moment, and a
/// condition variable whose timed wait reads CLOCK_MONOTONIC (run_turn_init):
/// the bound holds to the wake-up, a waiter wakes as soon as the turn is
/// free, and the C library needs nothing newer than GLIBC_2.3.3 for it.
/// Neither of the others would do: pthread_mutex_clocklock needs GLIBC_2.30,
/// which the C libraries of many an older host lack (2.28), and
/// pthread_mutex_timedlock's deadline is on CLOCK_REALTIME, so the wall clock
/// set back by an hour would stretch the wait by an hour.
/// Its owner sets `freed` to CLOCK_MONOTONIC before the first use
/// (pthread_condattr_setclock): were that refused, the deadlines would lie in
/// the past of the wall clock, and a run that finds the turn taken would give
/// up at once, never wait longer. The owner does it, not the run: the C
/// libraries before 2.34 keep that call in libpthread, which the programs,
/// alone in their process, do not load.
struct RunTurn {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t freed = PTHREAD_COND_INITIALIZER;
    bool taken = false;
};

/// What run_enter found.
enum RunEntry {
    kRunNotEntered,  ///< not entered (yet): the probe failed, say
    kRunLocked,      ///< under the run lock, the file loaded
    kRunReadOnly,    ///< the state cannot be written: the file read without the lock
    kRunAnswered,    ///< the kept file answered (`answer`); nothing loaded, no lock
    kRunNoLock,      ///< the lock file could not be used (`open_error`)
    kRunTimedOut,    ///< the bound passed before the turn or the lock was had
};

/// How a run behaves.
enum RunFlags : unsigned {
    kRunQuiet = 1u,      ///< the load writes no trace, whatever the verbosity
    /// The store outlives the run (the prioritizer): a probed path stored as
    /// it would be stored again is answered from the file kept (resolve_peek);
    /// a state that cannot be written is read without the lock.
    kRunKept = 2u,
    /// The lock file's refusal was told before: its open traces nothing
    /// below the level that traces every step.
    kRunRefusedBefore = 4u,
};

/// One run. The lock, the store and the turn belong to the front end (a
/// kept store and its lock outlive the run); the rest is the run's own.
struct StoreRun {
    Store *store;
    RunLock *lock;
    RunTurn *turn;     ///< nullptr: a run alone in its process
    int timeout_ms;    ///< the bound of the wait, from run_enter on
    unsigned flags;
    /// What run_enter found.
    RunEntry entry = kRunNotEntered;
    int open_error = 0;  ///< kRunNoLock, kRunReadOnly: the lock file's open, -errno
    int load = 0;        ///< load_config's result, or kStateNotTrusted
    int answer = 0;      ///< kRunAnswered: the priority
    /// A run for one LUN: the path its step before the lock identified, whose
    /// LUN the run is entered for; nullptr: none, the run is not entered.
    const pathinfo *probed = nullptr;
    bool lock_opened = false;  ///< the lock file was opened
    bool turn_held = false;
};

/// load's value for a state directory that was not read, being one that a
/// run as root may not use.
inline constexpr int kStateNotTrusted = -4;

/// Opens the run's lock file (run_lock_open): 0, or its -errno value.
int run_open(StoreRun *run);

/// Enters the run for the probed path (nullptr: for every LUN, the file
/// loaded whole): the turn and the run lock within the bound, then the
/// file loaded, emptied first, serving the probed LUN alone; a failed load
/// is traced at line 373 and the run goes on. A kept run may answer first
/// from the kept file, and opens its lock file itself; where the state
/// cannot be written (run_state_read_only) it reads the file without the
/// lock into a store that saves nothing. The entry, also in run->entry:
/// kRunLocked, kRunReadOnly and kRunAnswered go on; the others do not.
RunEntry run_enter(StoreRun *run, const pathinfo *probed);

/// Whether run_enter's entry lets the request go on.
inline bool run_entered(RunEntry entry)
{
    return entry == kRunLocked || entry == kRunReadOnly || entry == kRunAnswered;
}

/// Gives up the run lock (the store stays as it is: a listing is written
/// after). A kept run also drops its records, keeping the file's text for
/// the next run, forgets what it read without the lock, and gives up its
/// turn; one that never entered holds nothing and does nothing.
void run_leave(StoreRun *run);

/// What a request needs of its run before its step under the lock.
enum class RunNeed {
    kNoLock,    ///< nothing: no lock file opened, the run never entered
    kLockOnly,  ///< the run lock, nothing loaded (the check reads the file itself)
    /// One LUN: the step before the lock probes its path (StoreRun::probed),
    /// and the run is entered for that LUN.
    kOneLun,
    kEveryLun,  ///< the run lock and the file loaded whole
};

/// What the step before the lock decided.
enum class RunGo {
    kEnter,  ///< the run is entered as the request needs
    kStop,   ///< the request ends here, with the step's result; never entered
};

/// One request's steps on its run; `state` is the caller's own, the same for
/// every step. A step left out (nullptr) is skipped.
struct RunSteps {
    RunNeed need;
    /// Before the entry, the lock file opened (a kept run opens it on entry):
    /// the probe, the input read. `open_error` is run_open's -errno value (0:
    /// open, or no lock wanted); a run whose lock file was refused is not
    /// entered (kRunNoLock). kStop ends the request with *result.
    RunGo (*before)(StoreRun *run, void *state, int open_error, int *result);
    /// The step: under the lock when run_entered(run->entry), otherwise
    /// told why not by run->entry (kRunNotEntered: nothing was tried, as for
    /// a path not identified or a request that needs no lock). Its result
    /// is the request's.
    int (*under)(StoreRun *run, void *state);
    /// Just before the run is left: what the caller reads of the run.
    void (*leaving)(const StoreRun &run, void *state);
};

/// The one life of a run: opens the lock file unless the request needs no
/// lock or the run is kept, runs `before`, enters the run as `need` says
/// (the lock alone for kLockOnly; for kOneLun only with a probed path), runs
/// `under` and `leaving`, and leaves the run once, whatever happened. The
/// result of `under`, or of `before` when it stopped.
int run_life(const RunSteps &steps, StoreRun *run, void *state);

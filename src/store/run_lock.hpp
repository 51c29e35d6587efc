// The run lock: the exclusive flock on the lock file that serialises every
// use of the preference file on the host, and the state directory's trust.
//
// Its life in a run: run_lock_open opens the lock file at the start (its
// failures decide the answer before any device is touched); the flock is
// taken only when the preference file is about to be read, after the device
// has been probed, and is waited for at most a bound; run_lock_close (or the
// lock's end of scope) gives it up. A run holds one.
#pragma once

struct conf_store;

struct run_lock {
    int fd = -1;
    run_lock() = default;
    ~run_lock();
    run_lock(const run_lock &) = delete;
    run_lock &operator=(const run_lock &) = delete;
};

/// Opens the lock file (created 0640 when missing, never truncated) without
/// following a symbolic link and without blocking, and accepts only a regular
/// file. A run as root also refuses (store/trust.hpp) a state directory that
/// root does not own or that group or others can write, and a lock or
/// preference file that root does not own (traced at level 3, lines 354,
/// 356, 358). 0, or an errno value: the open's own (EROFS on a read-only file
/// system, ELOOP for a link, ENXIO for a FIFO without reader...), EINVAL for
/// any file that is not a regular one, EPERM for a refused ownership or mode.
/// On failure nothing stays open and line 352 is traced.
int run_lock_open(run_lock *lock);

/// What run_lock_open judges of the state directory for a run as root, for
/// a caller about to answer without it (the plugin, from the file it kept):
/// false when root does not own it or group or others can write it. One
/// stat, nothing traced: the caller then goes the whole way, and
/// run_lock_open refuses and traces why. True for other runs. The lock file
/// is not looked at: in a directory only root can change, only root can
/// change it, and an answer that takes no lock does not depend on it.
bool run_state_trusted();

/// Takes the exclusive flock on the opened lock file, waiting at most
/// `timeout_ms`, by non-blocking attempts with a short back-off: no signal
/// and no timer, so the bound holds whatever signal mask, dispositions and
/// timers the process inherited, and an inherited alarm is left as it was.
/// 0 held; -1 when the bound passed first (traced at level 4) or no lock file
/// is open. Another failure of flock itself does not stop the run, as it
/// never has: 0.
int run_lock_take(run_lock *lock, int timeout_ms);

/// Releases the flock and closes the lock file; nothing when none is open.
void run_lock_close(run_lock *lock);

/// Takes the run lock within `timeout_ms` (as run_lock_take), then loads the
/// preference file into `store`, emptied first; a failed load is traced at
/// line 373 and the run goes on. `quiet`: the load writes no trace, whatever
/// the verbosity. 0, or -1 when the lock was not obtained in time (nothing
/// loaded).
int run_enter_store(run_lock *lock, conf_store *store, int timeout_ms, bool quiet = false);

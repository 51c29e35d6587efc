// What the front ends share: the lock that serialises every use of the
// preference file on the host, the usage hint, lenient number reading and the
// final check of standard output.
//
// The run lock's life: run_lock_open() opens the lock file at the start of a
// run (its failures decide the answer before any device is touched); the
// exclusive flock is taken only when the preference file is about to be read,
// after the device has been probed, and is waited for at most a bound;
// run_lock_close() (or the guard) gives it up. One run lock per process.
#pragma once

/// How long a program waits for the run lock before it gives up with the lock
/// failure. The callout answers multipath, which waits for it: a few seconds.
/// An administrator's command may wait longer for a busy host.
inline constexpr int kCalloutLockWaitMs = 5000;
inline constexpr int kTaldLockWaitMs = 30000;

/// Opens the lock file (created 0600 when missing, never truncated) without
/// following a symbolic link and without blocking, and accepts only a regular
/// file. A run as root (effective uid 0) also refuses, as ssh's StrictModes
/// does, a state directory that root does not own or that group or others can
/// write, a lock or preference file that root does not own, and a preference
/// file that group or others can write: whoever could change them would hold
/// the host's priorities (traced at level 3, lines 354, 356, 358, 360). A lock
/// file that group or others could open (older versions made it 0640, `touch`
/// makes it 0644) is replaced, as root, by a fresh one that only root can
/// open, so that no descriptor opened before can hold the host's lock. 0, or
/// an errno value: the open's own (EROFS on a read-only file system, ELOOP
/// for a link, ENXIO for a FIFO without reader...), EINVAL for any file that
/// is not a regular one, EPERM for a refused ownership or mode, the
/// replacement's own when it could not be made. On failure nothing stays
/// open and line 352 is traced.
int run_lock_open();

/// What run_lock_open judges of the state directory for a run as root, for
/// a caller about to answer without it (the plugin, from the file it kept):
/// false when root does not own it or group or others can write it. One
/// stat, nothing traced: the caller then goes the whole way, and
/// run_lock_open refuses and traces why. True for other runs. The lock file
/// is not looked at: in a directory only root can change, only root can
/// change it, and an answer that takes no lock does not depend on it. Nor is
/// the preference file: a kept copy stands for it only while its identity,
/// change time included, is the one read, and a change of its mode or owner
/// changes that time.
bool run_state_trusted();

/// Takes the exclusive flock on the opened lock file, waiting at most
/// `timeout_ms`, by non-blocking attempts with a short back-off: no signal
/// and no timer, so the bound holds whatever signal mask, dispositions and
/// timers the process inherited, and an inherited alarm is left as it was.
/// Once held, the lock counts only while the lock file's name still leads to
/// the file locked: a file replaced meanwhile (see run_lock_open) is opened
/// again and waited for within what is left of the bound.
/// 0 held; -1 when the bound passed first (traced at level 4), no lock file
/// is open, or the file that replaced it cannot be opened (line 352).
/// Another failure of flock itself does not stop the run, as it never has: 0.
int run_lock_take(int timeout_ms);

/// Releases the flock and closes the lock file; nothing when none is open.
void run_lock_close();

/// Closes the run lock when the scope ends, on every return path.
struct RunLockGuard {
    RunLockGuard() = default;
    RunLockGuard(const RunLockGuard &) = delete;
    RunLockGuard &operator=(const RunLockGuard &) = delete;
    ~RunLockGuard() { run_lock_close(); }
};

/// Takes the run lock within `timeout_ms` (as run_lock_take), then loads the
/// preference file into a fresh LUN list; a failed load is traced at line 373
/// and the run goes on. `quiet`: the load writes no trace, whatever the
/// verbosity. 0, or -1 when the lock was not obtained in time (nothing
/// loaded).
int run_enter_store(int timeout_ms, bool quiet = false);

/// Writes "Error:  Unable to obtain lock." as its own line.
void cli_lock_error();

/// Writes the two-line usage hint. Returns 1.
int cli_usage();

/// Writes `text` and a line end on standard output.
void cli_write_line(const char *text);

/// The exit status: `status`, or -1 when standard output could not be
/// written, so that a lost answer never reads as success.
int cli_finish(int status);

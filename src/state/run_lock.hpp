// The run lock: the exclusive flock on the lock file that serialises every
// use of the preference file on the host, and the state directory's trust.
//
// Its life in a run: run_lock_open opens the lock file at the start (its
// failures decide the answer before any device is touched); the flock is
// taken only when the preference file is about to be read, after the device
// has been probed, and is waited for at most a bound; run_lock_close (or the
// lock's end of scope) gives it up. A run holds one.
#pragma once

#include "state/lock_file.hpp"


struct RunLock {
    LockFile file;
    RunLock() = default;
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;
};

/// Opens the lock file (state/lock_file.hpp). A run as root first refuses,
/// as ssh's StrictModes does, a state directory that root does not own or
/// that group or others can write, a preference file that root does not own,
/// and a regular preference file that group or others can write: whoever
/// could change them would hold the host's priorities (traced at level 3,
/// lines 354, 356, 358, 360); a refused run creates nothing. 0, or -errno:
/// lock_file_open's, or -EPERM for a refused state. On failure nothing stays
/// open and line 352 is traced.
int run_lock_open(RunLock *lock);

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

/// Whether a lock file that run_lock_open could not open for `err` (its
/// -errno result) still leaves the preference file to be read without the
/// lock: the state directory missing (-ENOENT), a read-only file system
/// (-EROFS), or no right to make or open the lock file (-EACCES), as in an
/// initramfs that carries a read-only copy of the state. Not a refused
/// state (-EPERM), nor any other failure.
bool run_state_read_only(int err);

/// Takes the exclusive flock on the opened lock file, waiting at most
/// `timeout_ms`, by non-blocking attempts with a short back-off: no signal
/// and no timer, so the bound holds whatever signal mask, dispositions and
/// timers the process inherited, and an inherited alarm is left as it was.
/// Once held, the lock counts only while the lock file's name still leads to
/// the file locked: a file replaced meanwhile is opened again and waited for
/// within what is left of the bound. A run as root replaces a lock file that
/// group or others could open (state/lock_file.hpp) within the same bound,
/// after the last run inside it, however the file's mode changed meanwhile.
/// 0 held; -ETIMEDOUT when the bound passed first (traced at level 4),
/// -EBADF when no lock file is open, -ENOLCK when the file that replaced it
/// cannot be opened or made (line 352).
/// Another failure of flock itself does not stop the run, as it never has: 0.
int run_lock_take(RunLock *lock, int timeout_ms);

/// Releases the flock and closes the lock file; nothing when none is open.
void run_lock_close(RunLock *lock);

#include "state/run_lock.hpp"

#include "base/fd_guard.hpp"
#include "state/lock_wait.hpp"
#include "state/state_paths.hpp"
#include "state/trust.hpp"
#include "trace/trace.hpp"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {
constexpr int kLineLockWarn = 352;
constexpr int kLineDirNotRoots = 354;
constexpr int kLineDirWritable = 356;
constexpr int kLineLockTimedOut = 362;
constexpr const char *kFmtLockWarn = "WARN[%d]: problem obtaining lock file";

/// 1 ms, then twice as long each time up to 10 ms.
constexpr LockPace kPollPace = {1000000L, 10000000L};

/// For a run as root: whether the state directory may be trusted, that is
/// root owns it and neither group nor others can write it. Anyone else who
/// could write it could delete or replace the lock and the preference file,
/// hold the lock, and so set the host's priorities. A symbolic link an
/// administrator made in its place is followed: the directory it resolves
/// to is judged. A directory that cannot be looked at is left to the lock
/// file's open, which fails for the same reason with its own errno.
bool state_dir_trusted()
{
    struct stat st = {};
    if (stat(kStateDir, &st) != 0)
        return true;
    Trust trust = trust_of(st, kOwnerAndNoWriters);
    if (trust == kNotRoots) {
        log_trace(kLineDirNotRoots, 3,
                  "ERROR: state directory %s is not owned by root; not used", kStateDir);
    } else if (trust == kWritable) {
        log_trace(kLineDirWritable, 3,
                  "ERROR: state directory %s is writable by group or others; not used", kStateDir);
    }
    return trust == kTrusted;
}

/// For a run as root: false when the preference file exists and root does
/// not own it, or it is a regular file that group or others can write (as
/// ssh treats an authorized_keys file): whoever can write it sets the host's
/// priorities. Only root can put one there or change its mode once the
/// directory is trusted, so the answer holds until the load opens it (which
/// checks again). A mode that only lets others read it is kept: it is what
/// older versions and an admin's umask of 022 leave.
bool config_file_trusted()
{
    struct stat st = {};
    if (lstat(kConfigPath, &st) != 0)
        return true;
    return file_trusted(kConfigPath, st, S_ISREG(st.st_mode) ? kOwnerAndNoWriters : kOwnerOnly);
}

/// Starts over on the file now at the lock file's name. false (traced as
/// a failed open) when it cannot be opened.
bool reopen_lock_file(RunLock *lock)
{
    close(lock->file.fd);
    lock->file = {};
    if (lock_file_open(running_as_root(), &lock->file) == 0)
        return true;
    log_trace(kLineLockWarn, 4, kFmtLockWarn, -1);
    return false;
}

/// One attempt at the run lock: 0 held, -EAGAIN while another run holds
/// it, -ENOLCK when the lock file that replaced the one waited on could not
/// be opened or made. `old`: the loose file this run replaced, whose last
/// run inside is waited for.
///
/// A run as root never stays inside a file that group or others could open:
/// anyone holding a descriptor of it could hold every run of the host. When
/// it holds such a file's flock it replaces the file at once; when another
/// holds it, a run inside (its mark) is waited for first, and a stranger's
/// flock is not, but then a run that took the flock a moment before its
/// mark is still waited for after the rename. Either way no run of this
/// version is inside the old file once the replacer is inside the new one,
/// and a run that waited on the old file moves on to the new one.
int try_take(RunLock *lock, FdGuard *old)
{
    if (old->fd >= 0) {
        if (flock(old->fd, LOCK_EX | LOCK_NB) != 0 && lock_file_marked(old->fd))
            return -EAGAIN;
        old->close_now();
        return 0;
    }
    int fd = lock->file.fd;
    bool held = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!held && errno != EWOULDBLOCK && errno != EINTR)
        return 0;
    // Marked before the name is checked: a replacer that renamed the file
    // before this check finds the mark after its rename.
    bool marked = held && lock_file_mark(fd) == 0;
    if (held && !lock_file_current(lock->file))
        return reopen_lock_file(lock) ? -EAGAIN : -ENOLCK;
    if (!running_as_root())
        return held ? 0 : -EAGAIN;
    mode_t loose = lock_file_loose(fd);
    if (held ? marked && loose == 0 : loose == 0 || (lock_file_marked(fd) && (loose & 022) == 0))
        return held ? 0 : -EAGAIN;
    int rc = lock_file_replace(&lock->file, &old->fd);
    if (rc == 0)
        return try_take(lock, old);
    if (rc == -ESTALE)
        return reopen_lock_file(lock) ? -EAGAIN : -ENOLCK;
    log_trace(kLineLockWarn, 4, kFmtLockWarn, -1);
    return -ENOLCK;
}

}  // namespace

RunLock::~RunLock() { run_lock_close(this); }

int run_lock_open(RunLock *lock)
{
    run_lock_close(lock);
    bool as_root = running_as_root();
    // Checked before the lock file is opened: a refused run creates nothing.
    if (as_root && (!state_dir_trusted() || !config_file_trusted())) {
        log_trace(kLineLockWarn, 4, kFmtLockWarn, -1);
        return -EPERM;
    }
    int rc = lock_file_open(as_root, &lock->file);
    if (rc != 0) {
        log_trace(kLineLockWarn, 4, kFmtLockWarn, -1);
        return rc;
    }
    return 0;
}

bool run_state_trusted()
{
    // stat, as the open of run_lock_open: an administrator's link in the
    // directory's place is followed. A directory that root may use, anyone
    // may: who runs is asked only of one that root may not.
    struct stat st = {};
    if (stat(kStateDir, &st) == 0 && trust_of(st, kOwnerAndNoWriters) == kTrusted)
        return true;
    return !running_as_root();
}

bool run_state_read_only(int err) { return err == -ENOENT || err == -EROFS || err == -EACCES; }

int run_lock_take(RunLock *lock, int timeout_ms)
{
    if (lock->file.fd < 0)
        return -EBADF;
    FdGuard old{-1};
    int rc = lock_wait(timeout_ms, kPollPace, [&] { return try_take(lock, &old); });
    if (rc == -ETIMEDOUT) {
        log_trace(kLineLockTimedOut, 4,
                  "WARN: lock file still held by another run after %d ms", timeout_ms);
    }
    return rc;
}

void run_lock_close(RunLock *lock)
{
    if (lock->file.fd >= 0) {
        flock(lock->file.fd, LOCK_UN);
        close(lock->file.fd);
        lock->file = {};
    }
}

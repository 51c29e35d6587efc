#include "operations/frontend.hpp"

#include "store/conf.hpp"
#include "store/fd_guard.hpp"
#include "trace/trace.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {
constexpr const char *kModule = "clihandler";
constexpr int kLineLockWarn = 352;
constexpr int kLineDirNotRoots = 354;
constexpr int kLineDirWritable = 356;
constexpr int kLineFileNotRoots = 358;
constexpr int kLineFileWritable = 360;
constexpr int kLineLockTimedOut = 362;
constexpr int kLineLoadWarn = 373;
/// Owner only: a descriptor opened for reading is enough to hold a flock.
constexpr mode_t kLockMode = 0600;
constexpr mode_t kLockLooseBits = 077;
constexpr const char *kStateDir = "/etc/lvm/cache";
/// Where a fresh lock file is made before it is renamed over a loose one.
constexpr const char *kFreshLockPath = "/etc/lvm/cache/tald.lock.new";
/// How many times the open starts over on a lock file that another run is
/// replacing (each such round lasts a few microseconds), 1 ms apart.
constexpr int kLockOpenRounds = 100;
constexpr long kLockOpenPauseNs = 1000000L;
constexpr const char *kLockError = "Error:  Unable to obtain lock.";
constexpr const char *kFmtLockWarn = "WARN[%d]: problem obtaining lock file";
constexpr const char *kUsageLine1 = "No Usage";
constexpr const char *kUsageLine2 = "Try 'tald --help' for more information.";

constexpr long kPollFirstSleepNs = 1000000L;
constexpr long kPollLongestSleepNs = 10000000L;

int lock_fd = -1;
/// The file lock_fd is open on, to tell whether the name still leads to it.
dev_t lock_dev = 0;
ino_t lock_ino = 0;

long elapsed_ns(const timespec &since)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000000000L + (now.tv_nsec - since.tv_nsec);
}

/// Why root may not use a state directory with these attributes: the line of
/// the trace that says so, or 0 when it may.
int state_dir_refusal(const struct stat &st)
{
    if (st.st_uid != 0)
        return kLineDirNotRoots;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return kLineDirWritable;
    return 0;
}

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
    int refusal = state_dir_refusal(st);
    if (refusal == kLineDirNotRoots) {
        log_trace(kModule, "main", kLineDirNotRoots, 3,
                  "ERROR: state directory %s is not owned by root; not used", kStateDir);
    } else if (refusal == kLineDirWritable) {
        log_trace(kModule, "main", kLineDirWritable, 3,
                  "ERROR: state directory %s is writable by group or others; not used", kStateDir);
    }
    return refusal == 0;
}

/// For a run as root: false (traced) when `st` shows a file that root does
/// not own.
bool owned_by_root(const char *path, const struct stat &st)
{
    if (st.st_uid == 0)
        return true;
    log_trace(kModule, "main", kLineFileNotRoots, 3, "ERROR: %s is not owned by root; not used",
              path);
    return false;
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
    if (!owned_by_root(kConfigPath, st))
        return false;
    if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return true;
    log_trace(kModule, "main", kLineFileWritable, 3,
              "ERROR: %s is writable by group or others; not used", kConfigPath);
    return false;
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// For a run as root, a lock file that someone else could open: anyone who
/// holds a descriptor of it, even read-only, can hold its flock and so stop
/// every run of the host. Narrowing its mode in place would not take the
/// descriptors already open away, so the file is replaced: a fresh one that
/// only root can open is made at kFreshLockPath and renamed over it, and a
/// descriptor of the old file then locks nothing that any run looks at.
///
/// Runs replacing at the same moment are kept apart by the flock of the
/// fresh file itself (only root can open it): the one that holds it renames
/// it only while the name still leads to the loose file `loose`, so a file
/// that another run has just put in place is never replaced. A run of this
/// version never locks a loose file (it replaces it first), and one that
/// waited on a file that was replaced meanwhile starts over on the new one
/// (lock_file_current), so runs of this version stay one at a time. A run of
/// an earlier version that opened the old file before the rename may still
/// lock it and overlap once with a run of this one; that can happen only
/// while such a run is under way at the first run after the upgrade.
///
/// 0 when the caller may open the lock file again (replaced, or no longer
/// the loose file), -1 when another run is replacing it, or an errno value.
int replace_loose_lock(const struct stat &loose)
{
    FdGuard fresh{open(kFreshLockPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                       kLockMode)};
    if (fresh.fd < 0)
        return errno;
    struct stat st = {};
    if (fstat(fresh.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return EINVAL;
    // Whoever could open a fresh file left wider by hand could hold the
    // replacement up: it goes, and the next round makes another.
    if (st.st_uid != 0 || (st.st_mode & kLockLooseBits) != 0) {
        unlink(kFreshLockPath);
        return 0;
    }
    if (flock(fresh.fd, LOCK_EX | LOCK_NB) != 0)
        return -1;
    // Renamed into place by another run between the open and the flock.
    struct stat now = {};
    if (lstat(kFreshLockPath, &now) != 0 || !same_file(now, st))
        return 0;
    if (lstat(kLockPath, &now) == 0 && same_file(now, loose)) {
        if (rename(kFreshLockPath, kLockPath) != 0) {
            int err = errno;
            unlink(kFreshLockPath);
            return err;
        }
    } else {
        unlink(kFreshLockPath);
    }
    return 0;
}

/// Opens the lock file (see run_lock_open) and notes which file it is. The
/// descriptor, or -1 with *err set.
int open_lock_file(bool as_root, int *err)
{
    for (int round = 0; round < kLockOpenRounds; ++round) {
        // A FIFO or a device node in its place must not block the open.
        // Never truncated: the file carries only the flock, and a run that
        // changes nothing leaves its times as they were.
        FdGuard fd{
            open(kLockPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockMode)};
        struct stat st = {};
        if (fd.fd < 0) {
            *err = errno;
            return -1;
        }
        if (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            *err = EINVAL;
            return -1;
        }
        if (as_root && !owned_by_root(kLockPath, st)) {
            *err = EPERM;
            return -1;
        }
        if (!as_root || (st.st_mode & kLockLooseBits) == 0) {
            lock_dev = st.st_dev;
            lock_ino = st.st_ino;
            return fd.release();
        }
        fd.close_now();
        int rc = replace_loose_lock(st);
        if (rc > 0) {
            *err = rc;
            return -1;
        }
        if (rc < 0) {
            timespec pause = {0, kLockOpenPauseNs};
            nanosleep(&pause, nullptr);
        }
    }
    *err = EAGAIN;
    return -1;
}

/// Whether the lock file's name still leads to the file this run locked:
/// not so when another run replaced it while this one waited.
bool lock_file_current()
{
    struct stat st = {};
    return lstat(kLockPath, &st) == 0 && st.st_dev == lock_dev && st.st_ino == lock_ino;
}

/// Starts over on the file now at the lock file's name. false (traced as
/// a failed open) when it cannot be opened.
bool reopen_lock_file()
{
    close(lock_fd);
    int err = 0;
    lock_fd = open_lock_file(geteuid() == 0, &err);
    if (lock_fd < 0)
        log_trace(kModule, "main", kLineLockWarn, 4, kFmtLockWarn, -1);
    return lock_fd >= 0;
}

/// Non-blocking attempts until `timeout_ms` has passed, sleeping 1 ms, then
/// twice as long each time up to 10 ms, between them. No signal and no timer
/// is involved, so the bound holds whatever mask, dispositions and timers the
/// process inherited, and an inherited alarm keeps running untouched. 0
/// held, -1 when the bound passed first, -2 when the file that replaced the
/// one waited on could not be opened.
int take_by_polling(int timeout_ms)
{
    timespec start = {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    long limit = static_cast<long>(timeout_ms) * 1000000L;
    long pause = kPollFirstSleepNs;
    for (;;) {
        if (flock(lock_fd, LOCK_EX | LOCK_NB) == 0) {
            if (lock_file_current())
                return 0;
            // Replaced while this run waited: the lock that counts is the
            // new file's, within what is left of the bound.
            if (!reopen_lock_file())
                return -2;
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            return 0;
        }
        long left = limit - elapsed_ns(start);
        if (left <= 0)
            return -1;
        timespec nap = {0, std::min(pause, left)};
        nanosleep(&nap, nullptr);
        pause = std::min(pause * 2, kPollLongestSleepNs);
    }
}
}  // namespace

int run_lock_open()
{
    run_lock_close();
    bool as_root = geteuid() == 0;
    // Checked before the lock file is opened: a refused run creates nothing.
    if (as_root && (!state_dir_trusted() || !config_file_trusted())) {
        log_trace(kModule, "main", kLineLockWarn, 4, kFmtLockWarn, -1);
        return EPERM;
    }
    int err = 0;
    int fd = open_lock_file(as_root, &err);
    if (fd < 0) {
        log_trace(kModule, "main", kLineLockWarn, 4, kFmtLockWarn, fd);
        return err;
    }
    lock_fd = fd;
    return 0;
}

bool run_state_trusted()
{
    if (geteuid() != 0)
        return true;
    // stat, as the open of run_lock_open: an administrator's link in the
    // directory's place is followed.
    struct stat st = {};
    return stat(kStateDir, &st) == 0 && state_dir_refusal(st) == 0;
}

int run_lock_take(int timeout_ms)
{
    if (lock_fd < 0)
        return -1;
    int rc = take_by_polling(timeout_ms);
    if (rc == -1) {
        log_trace(kModule, "main", kLineLockTimedOut, 4,
                  "WARN: lock file still held by another run after %d ms", timeout_ms);
    }
    return rc < 0 ? -1 : 0;
}

void run_lock_close()
{
    if (lock_fd >= 0) {
        flock(lock_fd, LOCK_UN);
        close(lock_fd);
        lock_fd = -1;
    }
}

int run_enter_store(int timeout_ms, bool quiet)
{
    if (run_lock_take(timeout_ms) < 0)
        return -1;
    conf_reset();
    int verbosity = log_verbosity;
    if (quiet)
        log_verbosity = 0;
    int rc = load_config(kConfigPath);
    if (rc < 0) {
        log_trace(kModule, "main", kLineLoadWarn, 4, "WARN[%d]: problem loading configuration file",
                  rc);
    }
    log_verbosity = verbosity;
    return 0;
}

void cli_write_line(const char *text)
{
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
}

void cli_lock_error() { cli_write_line(kLockError); }

int cli_usage()
{
    cli_write_line(kUsageLine1);
    cli_write_line(kUsageLine2);
    return 1;
}

int cli_finish(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return -1;
    }
    return status;
}

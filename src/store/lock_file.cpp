#include "store/lock_file.hpp"

#include "base/fd_guard.hpp"
#include "store/state_paths.hpp"
#include "store/trust.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

/// Owner only: a descriptor opened for reading is enough to hold a flock.
constexpr mode_t kLockMode = 0600;
constexpr mode_t kLockLooseBits = 077;
/// How many times the open starts over on a lock file that another run is
/// replacing (each such round lasts a few microseconds), 1 ms apart.
constexpr int kLockOpenRounds = 100;
constexpr long kLockOpenPauseNs = 1000000L;

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

}  // namespace

int lock_file_open(bool as_root, LockFile *file)
{
    for (int round = 0; round < kLockOpenRounds; ++round) {
        // A FIFO or a device node in its place must not block the open.
        // Never truncated: the file carries only the flock, and a run that
        // changes nothing leaves its times as they were.
        FdGuard fd{
            open(kLockPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockMode)};
        struct stat st = {};
        if (fd.fd < 0)
            return errno;
        if (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
            return EINVAL;
        if (as_root && !file_trusted(kLockPath, st, kOwnerOnly))
            return EPERM;
        if (!as_root || (st.st_mode & kLockLooseBits) == 0) {
            *file = {fd.release(), st.st_dev, st.st_ino};
            return 0;
        }
        fd.close_now();
        int rc = replace_loose_lock(st);
        if (rc > 0)
            return rc;
        if (rc < 0) {
            timespec pause = {0, kLockOpenPauseNs};
            nanosleep(&pause, nullptr);
        }
    }
    return EAGAIN;
}

bool lock_file_current(const LockFile &file)
{
    struct stat st = {};
    return lstat(kLockPath, &st) == 0 && st.st_dev == file.dev && st.st_ino == file.ino;
}

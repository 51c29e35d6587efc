#include "state/lock_file.hpp"

#include "base/fd_guard.hpp"
#include "base/status.hpp"
#include "state/state_paths.hpp"
#include "state/trust.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

/// Owner only: a descriptor opened for reading is enough to hold a flock.
constexpr mode_t kLockMode = 0600;
constexpr mode_t kLockLooseBits = 077;

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// The mark's byte: the first. Locks of older versions (flock alone) and of
/// other programs on other bytes leave it free.
struct flock mark_of(short type)
{
    struct flock mark = {};
    mark.l_type = type;
    mark.l_whence = SEEK_SET;
    mark.l_start = 0;
    mark.l_len = 1;
    return mark;
}

}  // namespace

int lock_file_open(bool as_root, LockFile *file)
{
    // A FIFO or a device node in its place must not block the open. Never
    // truncated: the file carries only the locks, and a run that changes
    // nothing leaves its times as they were.
    FdGuard fd{open(kLockPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kLockMode)};
    struct stat st = {};
    if (fd.fd < 0)
        return status_from_errno();
    if (fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -EINVAL;
    if (as_root && !file_trusted(kLockPath, st, kOwnerOnly))
        return -EPERM;
    *file = {fd.release(), st.st_dev, st.st_ino};
    return 0;
}

bool lock_file_current(const LockFile &file)
{
    struct stat st = {};
    return lstat(kLockPath, &st) == 0 && st.st_dev == file.dev && st.st_ino == file.ino;
}

mode_t lock_file_loose(int fd)
{
    struct stat st = {};
    return fstat(fd, &st) == 0 ? st.st_mode & kLockLooseBits : 0;
}

int lock_file_mark(int fd)
{
    struct flock mark = mark_of(F_WRLCK);
    if (fcntl(fd, F_OFD_SETLK, &mark) == 0 || (errno != EAGAIN && errno != EACCES))
        return 0;
    return -errno;
}

bool lock_file_marked(int fd)
{
    struct flock mark = mark_of(F_WRLCK);
    return fcntl(fd, F_OFD_GETLK, &mark) != 0 || mark.l_type == F_WRLCK;
}

/// A descriptor of the old file then locks nothing that any run looks at:
/// narrowing the mode in place would not take away the descriptors already
/// open. The fresh file is renamed only while the name still leads to
/// `file`, so a file that another run has just put in place is never
/// replaced.
int lock_file_replace(LockFile *file, int *old)
{
    FdGuard fresh{open(kFreshLockPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                       kLockMode)};
    if (fresh.fd < 0)
        return status_from_errno();
    struct stat st = {};
    if (fstat(fresh.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return -EINVAL;
    // Whoever could open a fresh file left wider by hand could hold the
    // replacement up: it goes, and the next round makes another.
    if (st.st_uid != 0 || (st.st_mode & kLockLooseBits) != 0) {
        unlink(kFreshLockPath);
        return -ESTALE;
    }
    if (flock(fresh.fd, LOCK_EX | LOCK_NB) != 0 || lock_file_mark(fresh.fd) != 0)
        return -ESTALE;
    // Renamed into place by another run between the open and the flock.
    struct stat now = {};
    if (lstat(kFreshLockPath, &now) != 0 || !same_file(now, st))
        return -ESTALE;
    if (!lock_file_current(*file)) {
        unlink(kFreshLockPath);
        return -ESTALE;
    }
    if (rename(kFreshLockPath, kLockPath) != 0) {
        int err = status_from_errno();
        unlink(kFreshLockPath);
        return err;
    }
    *old = file->fd;
    *file = {fresh.release(), st.st_dev, st.st_ino};
    return 0;
}

#include "state/atomic_replace.hpp"

#include "base/fd_guard.hpp"
#include "base/status.hpp"
#include "state/lock_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

/// Whether the run still holds the lock that `held` names.
bool lock_still_held(const LockFile *held)
{
    return held == nullptr || (held->fd >= 0 && lock_file_current(*held));
}

/// Removes `temp` while the name still leads to the file written here. The
/// name is looked at through a descriptor of its own (never through a link):
/// fstat is what the plugin already asks of the C library.
void remove_own_temp(int dir, const char *temp, const struct stat &made)
{
    FdGuard at{openat(dir, temp, O_PATH | O_NOFOLLOW | O_CLOEXEC)};
    struct stat st;
    if (at.fd >= 0 && fstat(at.fd, &st) == 0 && st.st_dev == made.st_dev &&
        st.st_ino == made.st_ino)
        unlinkat(dir, temp, 0);
}

ReplaceResult failed(int dir, const char *temp, ReplaceStep step, int error)
{
    unlinkat(dir, temp, 0);
    return {step, error, false, 0};
}

/// Syncs the directory that holds `name` within `dir`: the one named before
/// its last slash, or `dir` itself. A directory opened only for a path (the
/// walk's O_PATH) cannot be synced; one opened for reading can.
void sync_directory(int dir, const char *name, ReplaceResult *result)
{
    char path[PATH_MAX] = ".";
    const char *slash = std::strrchr(name, '/');
    if (slash != nullptr) {
        auto len = static_cast<std::size_t>(slash - name);
        len = len == 0 ? 1 : len < sizeof path ? len : sizeof path - 1;
        std::memcpy(path, name, len);
        path[len] = '\0';
    }
    FdGuard readable{openat(dir, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    result->dir_opened = readable.fd >= 0;
    if (!result->dir_opened)
        result->dir_error = status_from_errno();
    else if (fsync(readable.fd) != 0)
        result->dir_error = status_from_errno();
}

}  // namespace

ReplaceResult replace_commit(int dir, const char *temp, const char *name, int fd,
                             const LockFile *held)
{
    FdGuard file{fd};
    if (fsync(file.fd) != 0)
        return failed(dir, temp, kReplaceSync, status_from_errno());
    struct stat made;
    if (fstat(file.fd, &made) != 0 || file.close_now() != 0)
        return failed(dir, temp, kReplaceClose, status_from_errno());
    // The last look before the rename: another run may have come in through
    // a lock file made at the name meanwhile, and read the file about to be
    // replaced.
    if (!lock_still_held(held)) {
        remove_own_temp(dir, temp, made);
        return {kReplaceLockLost, -ENOLCK, false, 0};
    }
    if (renameat(dir, temp, dir, name) != 0)
        return failed(dir, temp, kReplaceRename, status_from_errno());
    ReplaceResult result = {kReplaceDone, 0, false, 0};
    sync_directory(dir, name, &result);
    return result;
}

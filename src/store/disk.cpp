// The preference file on disk: read whole, and replaced atomically.
#include "store/disk.hpp"

#include "base/fd_guard.hpp"
#include "base/fd_io.hpp"
#include "base/text.hpp"
#include "state/atomic_replace.hpp"
#include "state/state_paths.hpp"
#include "state/trust.hpp"
#include "trace/trace.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <time.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kLineSaveOpen = 221;
constexpr int kLineSaveWrite = 293;
constexpr int kLineSaveSync = 295;
constexpr int kLineSaveLockLost = 296;
constexpr int kLineSaveRename = 297;
constexpr int kLineSaveSyncDir = 299;

constexpr const char *kMsgOpenFailed = "Could not open configuration file";
constexpr const char *kFmtWriteFailed = "Could not write configuration file: %s";
constexpr const char *kMsgNotRegular = "not a regular file";
constexpr const char *kMsgNotRoots = "not owned by root";
constexpr const char *kMsgWritable = "writable by group or others";

constexpr mode_t kNewFileMode = 0640;
constexpr const char *kTempSuffix = ".tmp";
constexpr const char *kFmtLockLost =
    "ERROR: lock file %s was removed or replaced during the run; %s not rewritten";
/// The coarsest time-stamp tick of a file system with sub-second times: the
/// kernel stamps files from a clock that advances once a jiffy (1 to 10 ms),
/// with margin. Times without any nanoseconds come from a file system that
/// keeps whole seconds (or two, as FAT does).
constexpr long long kFineTickNs = 20'000'000;
constexpr long long kCoarseTickNs = 2'000'000'000;

long long ns_of(const timespec &t)
{
    return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

DiskIdentity identity_of(const struct stat &st)
{
    return {st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool same_time(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

/// Whether a file with these times, read from `began` on, can change later
/// only with a change of its times.
bool settled_at(const struct stat &st, const timespec &began)
{
    long long newest = std::max(ns_of(st.st_mtim), ns_of(st.st_ctim));
    long long tick = st.st_mtim.tv_nsec == 0 && st.st_ctim.tv_nsec == 0 ? kCoarseTickNs
                                                                          : kFineTickNs;
    return newest + tick < ns_of(began);
}

// --- reading -----------------------------------------------------------------

/// Opens a regular file for reading, without following a symlink and without
/// waiting on a FIFO or a device. The descriptor, or -1 with *reason set
/// (nullptr when there is no such file).
int open_regular(const char *path, struct stat *st, const char **reason)
{
    *reason = nullptr;
    // lstat first: a device node is never even opened.
    if (lstat(path, st) < 0) {
        *reason = errno == ENOENT ? nullptr : std::strerror(errno);
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        *reason = kMsgNotRegular;
        return -1;
    }
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *reason = errno == ENOENT ? nullptr : std::strerror(errno);
        return -1;
    }
    // The name may have been replaced between lstat and open.
    if (fstat(fd, st) < 0 || !S_ISREG(st->st_mode)) {
        close(fd);
        *reason = kMsgNotRegular;
        return -1;
    }
    // Root reads only a file that root owns and only root can write: anyone
    // else who could write it could set its priorities.
    Trust trust = running_as_root() ? trust_of(*st, kOwnerAndNoWriters) : kTrusted;
    if (trust != kTrusted) {
        close(fd);
        *reason = trust == kNotRoots ? kMsgNotRoots : kMsgWritable;
        return -1;
    }
    return fd;
}

// --- replacing ---------------------------------------------------------------

/// Permission bits that the new file gets: the existing file's, or 0640.
mode_t target_mode(const char *path)
{
    // stat, not open: a file that this process may not read keeps its mode
    // too. lstat: a symlink's target lends the new file nothing.
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISREG(st.st_mode))
        return st.st_mode & 07777;
    return kNewFileMode;
}

}  // namespace

DiskRead disk_read_whole(const char *path, DiskContent *content, const char **reason,
                         const FdReader *reader)
{
    return disk_read_bounded(path, SIZE_MAX, content, reason, reader);
}

DiskRead disk_read_bounded(const char *path, std::size_t most, DiskContent *content,
                           const char **reason, const FdReader *reader)
{
    disk_release(content);
    timespec began = {};
    clock_gettime(CLOCK_REALTIME, &began);
    struct stat st;
    FdGuard fd{open_regular(path, &st, reason)};
    if (fd.fd < 0)
        return *reason == nullptr ? kDiskMissing : kDiskNotOpened;
    GrowArray<char> data;
    int rc = fd_read_all(fd.fd, {most, static_cast<std::size_t>(st.st_size)}, &data, reader);
    if (rc != 0) {
        data.free();
        *reason = std::strerror(-rc);
        if (rc == -EFBIG && most != SIZE_MAX)
            return kDiskTooLong;
        return rc == -ENOMEM ? kDiskNoMemory : kDiskCutShort;
    }
    content->data = data.data();
    content->size = data.size();
    content->identity = identity_of(st);
    content->settled = settled_at(st, began);
    return kDiskRead;
}

bool disk_unchanged(const char *path, const DiskContent &content)
{
    struct stat st;
    if (!content.settled || lstat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    const DiskIdentity &was = content.identity;
    return st.st_dev == was.dev && st.st_ino == was.ino && st.st_size == was.size &&
           same_time(st.st_mtim, was.mtime) && same_time(st.st_ctim, was.ctime);
}

void disk_trace_write_failure(int err)
{
    log_trace(kLineSaveWrite, 4, kFmtWriteFailed, std::strerror(err));
}

void disk_release(DiskContent *content)
{
    std::free(content->data);
    *content = DiskContent{};
}

namespace {

/// Creates the temporary file `temp` afresh, with no wider mode than `mode`,
/// gives it `mode` and writes the new content: its descriptor, or -1 when it
/// could not be created or written whole (then removed). Failures are
/// traced.
int write_temp(const char *temp, mode_t mode, const char *data, std::size_t len)
{
    // Created no wider than the file it replaces, nor than a new file gets,
    // whatever the umask: a descriptor opened meanwhile would keep reading
    // it after the mode is set.
    FdGuard fd{open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    mode & kNewFileMode)};
    if (fd.fd < 0) {
        log_trace(kLineSaveOpen, 4, kMsgOpenFailed);
        return -1;
    }
    // The mode is kept where the file system allows it (a save never widens
    // it); a file system that refuses it must not cost the administrator the
    // preferences themselves.
    if (fchmod(fd.fd, mode) < 0)
        disk_trace_write_failure(errno);
    if (int rc = fd_write_all(fd.fd, data, len); rc != 0) {
        disk_trace_write_failure(-rc);
        fd.close_now();
        unlink(temp);
        return -1;
    }
    return fd.release();
}

/// Traces what replace_commit met; 0 when the file was replaced, else -1.
int traced(const ReplaceResult &r, const char *path)
{
    switch (r.step) {
    case kReplaceSync:
        log_trace(kLineSaveSync, 4, "Could not sync configuration file: %s",
                  std::strerror(-r.error));
        return -1;
    case kReplaceClose:
        disk_trace_write_failure(-r.error);
        return -1;
    case kReplaceLockLost:
        log_trace(kLineSaveLockLost, 3, kFmtLockLost, kLockPath, path);
        return -1;
    case kReplaceRename:
        log_trace(kLineSaveRename, 4,
                  "Could not replace configuration file: %s", std::strerror(-r.error));
        return -1;
    case kReplaceDone:
        break;
    }
    // The new file is in place: a directory that cannot be synced only
    // leaves the rename less durable, and is no failure of the save.
    if (r.dir_error != 0) {
        log_trace(kLineSaveSyncDir, 4,
                  "Could not sync configuration directory: %s", std::strerror(-r.dir_error));
    }
    return 0;
}

}  // namespace

int disk_replace(const char *path, const char *data, std::size_t len, const LockFile *held)
{
    char temp[PATH_MAX];
    int n = std::snprintf(temp, sizeof temp, "%s%s", path, kTempSuffix);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof temp) {
        log_trace(kLineSaveOpen, 4, kMsgOpenFailed);
        return -1;
    }
    mode_t mode = target_mode(path);
    // Whatever stands at the temporary name (a killed run's file, a FIFO, a
    // planted symlink) goes; the new file is created afresh and never through
    // a link. The lock file keeps two runs from sharing the name.
    unlink(temp);
    int fd = write_temp(temp, mode, data, len);
    if (fd < 0)
        return -1;
    return traced(replace_commit(AT_FDCWD, temp, path, fd, held), path);
}

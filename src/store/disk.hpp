// The preference file on disk: read whole, and replaced atomically.
//
// Reading opens only a regular file, never through a symlink and never
// waiting on a FIFO or a device, and takes its content in one piece. The
// replacement never touches the file in place: the new content goes to
// "<file>.tmp" (created afresh, whatever stood at that name), is synced and
// renamed over the file, and the directory is synced, so the file always
// holds either the old or the new content, whatever happens to the process
// or the disk.
#pragma once

#include "base/fd_io.hpp"

#include <cstddef>
#include <ctime>
#include <sys/types.h>

struct LockFile;

/// What tells one state of a file from another without reading it: a writer
/// that replaces the file gives it a new inode, one that writes in place
/// changes its change time at least.
struct DiskIdentity {
    dev_t dev;
    ino_t ino;
    off_t size;
    timespec mtime;
    timespec ctime;
};

/// The bytes of the file, in one heap block of `size` bytes plus a NUL
/// (data is nullptr when nothing was read), and the file's identity when
/// they were read. `settled`: the file's times lay a whole time-stamp tick
/// before the read began, so that any later write gives it another
/// identity; a file written within the tick of the read may change again
/// without any visible change of its times, and is "racily clean", as git
/// calls such index entries.
struct DiskContent {
    char *data;
    std::size_t size;
    DiskIdentity identity;
    bool settled;
};

/// True when the file at `path` is still the one whose bytes `content`
/// holds: read settled, and its identity unchanged. One lstat.
bool disk_unchanged(const char *path, const DiskContent &content);

/// What disk_read_whole found.
enum DiskRead {
    kDiskRead = 1,         ///< read whole
    kDiskMissing = 0,      ///< no such file
    kDiskNotOpened = -1,   ///< the file exists but could not be opened
    kDiskCutShort = -2,    ///< opened but not read to its end
    kDiskTooLong = -3,     ///< longer than the bound of disk_read_bounded
    kDiskNoMemory = -4,    ///< no memory for its content
};

/// Reads the file at `path` whole into *content (any earlier content is
/// released first), through `reader` (base/fd_io.hpp; nullptr: read(2)
/// whole). A run as root reads only a file that root owns and only root can
/// write (state/trust.hpp). On kDiskNotOpened, kDiskCutShort and kDiskNoMemory
/// *reason says why (a strerror text, "not a regular file", "not owned by
/// root", "writable by group or others", valid until the next call); on
/// anything but kDiskRead the content stays empty.
DiskRead disk_read_whole(const char *path, DiskContent *content, const char **reason,
                         const FdReader *reader = nullptr);
/// disk_read_whole, but a file longer than `most` bytes, as fstat gives it
/// or as it grows while read, is not taken: kDiskTooLong, at most `most` + 1
/// bytes read.
DiskRead disk_read_bounded(const char *path, std::size_t most, DiskContent *content,
                           const char **reason, const FdReader *reader = nullptr);
/// Frees the content and empties it.
void disk_release(DiskContent *content);

/// Replaces the file at `path` with `len` bytes of `data`, atomically. The
/// file keeps its permission bits; a new one gets 0640. 0 replaced (a mode
/// the file system refuses, or a directory that cannot be synced, is traced
/// and tolerated); -1 when the content could not be written, synced or
/// renamed, the old file then left as it was. Traces as save_config.
/// `held`: the run lock the writer holds, or nullptr for a writer that
/// holds none (the tests). Nothing is renamed unless the lock file's name
/// still leads to that file right before the rename: a run whose lock file
/// was removed, renamed or replaced meanwhile is no longer alone, and its
/// view of the file may be stale (-1, traced at level 3, line 296).
int disk_replace(const char *path, const char *data, std::size_t len,
                 const LockFile *held = nullptr);
/// Traces a replacement that failed for errno `err` (as disk_replace does).
void disk_trace_write_failure(int err);

// The lock file that carries the run lock: opened without following a link
// and without blocking, only a regular file, never truncated; for a run as
// root only one that root owns, and one that group or others could open is
// replaced first by a fresh one that only root can open.
#pragma once

#include <sys/types.h>

/// An open lock file, and which file it is.
struct LockFile {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

/// Opens the lock file into *file (created 0600 when missing). 0, or an
/// errno value: the open's own (EROFS on a read-only file system, ELOOP for a
/// link, ENXIO for a FIFO without reader...), EINVAL for any file that is not
/// a regular one, EPERM for a lock file root does not own (traced at line
/// 358), the replacement's own when it could not be made, EAGAIN when other
/// runs kept replacing it. Nothing stays open on failure.
int lock_file_open(bool as_root, LockFile *file);

/// Whether the lock file's name still leads to `file`: not so when another
/// run replaced it after it was opened.
bool lock_file_current(const LockFile &file);

// The lock file that carries the run lock: opened without following a link
// and without blocking, only a regular file, never truncated; for a run as
// root only one that root owns. One that group or others could open is
// replaced, by a run as root, by a fresh one that only root can open
// (lock_file_replace); the run lock decides when (state/run_lock.hpp).
//
// A run inside the lock holds two locks on the file: its flock, which every
// version takes, and a write lock on its first byte (an open file
// description's fcntl lock), which only a descriptor opened for writing can
// take. Whoever opened a loose file only for reading can hold its flock but
// not that mark, so a run as root can tell a run still inside a file that was
// widened meanwhile (waited for) from a stranger's flock (not waited for).
#pragma once

#include <sys/types.h>

/// An open lock file, and which file it is.
struct LockFile {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

/// Opens the lock file into *file (created 0600 when missing). 0, or -errno:
/// the open's own (EROFS on a read-only file system, ELOOP for a link, ENXIO
/// for a FIFO without reader...), EINVAL for any file that is not a regular
/// one, EPERM for a lock file root does not own (traced at line 358).
/// Nothing stays open on failure.
int lock_file_open(bool as_root, LockFile *file);

/// Whether the lock file's name still leads to `file`: not so when another
/// run replaced it after it was opened.
bool lock_file_current(const LockFile &file);

/// The mode bits by which group or others could open the file behind `fd`
/// (as it is now); 0 when none, or when it cannot be looked at.
mode_t lock_file_loose(int fd);

/// Takes the mark of a run inside on `fd` (not waiting): 0, also where the
/// file system keeps no such locks, or -EAGAIN or -EACCES when someone else
/// holds a lock on its first byte.
int lock_file_mark(int fd);

/// Whether someone else holds the mark on the file behind `fd`: a run
/// inside it, or a stranger who could open it for writing (taken for a run).
/// True where it cannot be told: a run is then waited for.
bool lock_file_marked(int fd);

/// For a run as root: puts a fresh lock file, 0600, already locked and
/// marked, in the place of `file` while the name still leads to it. 0 when
/// done: *file is then the fresh file and *old the descriptor of the one it
/// replaced, for the caller to wait on and close. -ESTALE when the caller
/// should open the lock file again (another run replaced it, or is replacing
/// it), or the -errno value of the step that failed. Runs replacing at the same moment
/// are kept apart by the fresh file's flock (only root can open it).
int lock_file_replace(LockFile *file, int *old);

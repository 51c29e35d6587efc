// The one way a file is replaced atomically. The writer makes the new file
// afresh beside the old one under a name of its own and writes it; from
// there this takes over: the new file synced and closed, the run lock looked
// at a last time, the rename over the old name, and the directory synced, so
// that the name always leads to the old content or the new one whole,
// whatever happens to the process or the disk. Every step is the system
// call's own; the writer traces or reports each failure in its own words.
#pragma once

struct LockFile;

/// Where a replace stopped.
enum ReplaceStep {
    kReplaceDone,      ///< renamed over the old name
    kReplaceSync,      ///< the new file could not be synced
    kReplaceClose,     ///< the new file could not be looked at or closed
    kReplaceLockLost,  ///< the lock that `held` names was lost: nothing renamed
    kReplaceRename,    ///< the rename failed
};

/// What a replace did: the step it stopped at, with the -errno value of its
/// failure, and, once renamed, how the directory's sync went.
struct ReplaceResult {
    ReplaceStep step;
    int error;        ///< the failed step's -errno; 0 when done
    bool dir_opened;  ///< the directory could be opened for its sync
    int dir_error;    ///< the -errno value of that open or of the sync; 0 synced
};

/// Finishes the replace of `name` by the new file `temp`, both named within
/// the directory `dir` (a descriptor, O_PATH will do, or AT_FDCWD), the new
/// file written through `fd`, which this takes and closes. Before the
/// rename, `held` (nullptr: no lock is looked at) must still be open and
/// its lock file's name still lead to it: a run whose lock file was removed,
/// renamed or replaced meanwhile is no longer alone. On any failure before
/// the rename is done `temp` goes and `name` stays as it was; after a lost
/// lock `temp` goes only while it is still the file written here, since
/// another run may now write under the same name. A directory that cannot
/// be synced leaves the rename done.
ReplaceResult replace_commit(int dir, const char *temp, const char *name, int fd,
                             const LockFile *held);

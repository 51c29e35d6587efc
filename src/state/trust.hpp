// Whether a run as root may use a part of the state. Whoever could change the
// state directory, the lock file or the preference file would hold the host's
// priorities, so a run as root (effective uid 0) uses only what root owns,
// and the directory and the preference file only when neither group nor
// others can write them, as ssh's StrictModes judges a user's files. The one
// rule for every part of the state.
#pragma once

#include <sys/stat.h>

/// What a part of the state must satisfy besides root's ownership.
enum TrustRule {
    kOwnerOnly,           ///< root owns it
    kOwnerAndNoWriters,   ///< root owns it, and neither group nor others can write it
};

/// Why a run as root must not use a part with these attributes.
enum Trust {
    kTrusted = 0,
    kNotRoots,  ///< root does not own it
    kWritable,  ///< group or others can write it
};

/// The judgement of `st` under `rule`.
Trust trust_of(const struct stat &st, TrustRule rule);

/// Whether this process runs as root, the only user to whom the rule applies.
bool running_as_root();

/// For a run as root: whether the file at `path` with these attributes may be
/// used under `rule`; when not, why is traced at level 3 (lines 358 and 360).
bool file_trusted(const char *path, const struct stat &st, TrustRule rule);

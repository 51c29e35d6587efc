// The paths' states as the admin hears of them: a path's failure (no answer,
// the lock not obtained in time or unusable, the preference file unreadable)
// goes to syslog when it begins and once when it ends; a healthy host logs
// nothing and, while every path is healthy, looks at nothing here. So does
// the one state of the host as a whole: calls answering without their state
// (read-only, as in an initramfs), and what they could read of it.
#pragma once

#include <cstddef>

/// What a call found, as far as the admin must hear of it.
enum PathState {
    kHealthy,
    kNotIdentified,  ///< the probe failed: priority 0
    kLockTimedOut,
    kLockUnusable,
    kUnreadable,
};

/// How far a call got with the state directory.
enum StateUse {
    kStateNotSeen,   ///< not as far as the lock file (probe failed, kept file answered...)
    kStateUsed,      ///< the lock file opened
    kStateReadOnly,  ///< answered from what it could read, without lock, storing nothing
};

/// What a read-only call made of the preference file.
enum FileVerdict {
    kFileRead,
    kFileAbsent,      ///< no file (or no directory)
    kFileUnreadable,  ///< there, but not read: `why`
    kFileDamaged,     ///< read, but lines skipped or incomplete
    kFileNotTrusted,  ///< the directory is one that a run as root may not use
};

/// One call's outcome.
struct CallOutcome {
    PathState state;
    int lock_error;       ///< kLockUnusable, kStateReadOnly: the errno of the lock file
    unsigned timeout_ms;  ///< kLockTimedOut: the bound that passed
    StateUse use = kStateNotSeen;
    FileVerdict file = kFileRead;  ///< kStateReadOnly
    char why[64] = "";             ///< kFileUnreadable
};

/// The state the path's last call left.
PathState last_state(const char *node);

/// Logs the path's state when it differs from its last call's, and keeps it
/// for the next call. `result` is the call's answer.
void report(const char *node, const CallOutcome &outcome, int result);

/// Logs, once when it begins and once when it ends, that calls answer
/// without their state (kStateReadOnly), why, and what they could read; a
/// change of either is a new beginning. Calls of kStateNotSeen tell nothing.
void report_state(const CallOutcome &outcome);

/// Forgets every path (unloading).
void path_states_forget();

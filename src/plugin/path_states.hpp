// The paths' states as the admin hears of them: a path's failure (no answer,
// the lock not obtained in time or unusable, the preference file unreadable)
// goes to syslog when it begins and once when it ends; a healthy host logs
// nothing and, while every path is healthy, looks at nothing here.
#pragma once

/// What a call found, as far as the admin must hear of it.
enum PathState {
    kHealthy,
    kNotIdentified,  ///< the probe failed: priority 0
    kLockTimedOut,
    kLockUnusable,
    kUnreadable,
};

/// One call's outcome.
struct CallOutcome {
    PathState state;
    int lock_error;       ///< kLockUnusable: the errno of the lock file
    unsigned timeout_ms;  ///< kLockTimedOut: the bound that passed
};

/// The state the path's last call left.
PathState last_state(const char *node);

/// Logs the path's state when it differs from its last call's, and keeps it
/// for the next call. `result` is the call's answer.
void report(const char *node, const CallOutcome &outcome, int result);

/// Forgets every path (unloading).
void path_states_forget();

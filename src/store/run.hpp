// A run of the store: the run lock taken and the preference file loaded
// under it, or read without it where the state cannot be written.
#pragma once

#include "state/run_lock.hpp"

struct Store;

/// run_enter_read_only's result for a state directory it did not read.
inline constexpr int kStateNotTrusted = -4;

/// Loads the store's file without the lock, for a run that found the state
/// read-only (run_state_read_only): the store becomes read_only, so that no
/// resolution writes, and is emptied first. A state directory that a run as
/// root may not use (run_state_trusted) is not read: nothing is loaded.
/// load_config's result (and traces), or kStateNotTrusted.
int run_enter_read_only(Store *store);

/// Takes the run lock within `timeout_ms` (as run_lock_take), then loads the
/// store's file into `store`, emptied first; a failed load is traced at line
/// 373 and the run goes on. `quiet`: the load writes no trace, whatever the
/// verbosity. 0, or -1 when the lock was not obtained in time (nothing
/// loaded).
int run_enter_store(run_lock *lock, Store *store, int timeout_ms, bool quiet = false);

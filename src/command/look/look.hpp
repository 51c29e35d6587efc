// The look: whether each stored LUN's I/O goes through its preferred path
// group (the group of its paths of highest stored priority), as multipathd
// holds its maps now, against what the last look saw. One journal entry per
// LUN that left or returned since then (journal_path.hpp); none when nothing
// changed. `tald --look` runs it (the udev rule's unit, on device-mapper's
// path-failed and path-reinstated events), and so does every metrics run on
// the view of the daemon it asked anyway.
//
// A LUN the daemon does not hold, or whose map's groups were not read, is not
// looked at: what it last was stays kept. Without a look before (the state
// is in /run: after a boot), a LUN counts as having been on its preferred
// group, so that the first look tells only those that are not.
#pragma once

#include "daemon/multipathd.hpp"

#include <cstddef>
#include <cstdio>

struct AfterLock;
struct Store;

/// What a look found and told.
struct LookCount {
    std::size_t looked = 0;    ///< LUNs held by the daemon with their groups read
    std::size_t left = 0;      ///< entries: left the preferred group
    std::size_t returned = 0;  ///< entries: back on it
};

/// Exit statuses of "--look" that did not look.
inline constexpr int kLookNoState = 1;     ///< the state in /run/tald not usable
inline constexpr int kLookNotReached = 3;  ///< multipathd could not be asked

/// Looks at every LUN of `store` in `view` against the state kept in
/// `state_dir`, writes the entries to the journal at `socket` (or syslog)
/// and keeps the new state. 0, or -errno when the state could not be used
/// or kept (nothing told then), with a line on `err` saying why.
int look_compare(Store *store, const DaemonView &view, const char *state_dir,
                 const char *socket, LookCount *count, FILE *err);

/// "--look", once the driver left the run: asks multipathd with its pass
/// until two views a second apart agree (at most kLookSettleTries views),
/// compares, and prints one line
/// "look: N LUNs, L left the preferred path group, R returned". 0, or
/// kLookNoState or kLookNotReached with a line on standard error.
int look_after(Store *store, const AfterLock &pass);

inline constexpr int kLookSettleTries = 5;

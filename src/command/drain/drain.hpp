// `tald --drain C0|C1` and `tald --restore`: a controller's I/O moved to the
// other one for maintenance, and given back exactly.
//
// The drain gives the other controller's paths of every stored LUN
// overrides that keep their order among themselves and beat every path of
// the drained controller (an override there goes back to its default).
// Before it changes the preference file it keeps, in kDrainPath, the
// drained controller and the lines of the LUNs it changes as they stood
// (drain_record.hpp); the restore takes that file only whole and clean,
// gives every remembered path its priority back (matched by LUN, port and
// SCSI host, so also after a reboot renamed the nodes) and removes the file.
// A LUN without a path through the other controller keeps its priorities,
// and the drain then does not report success: that controller must stay up.
#pragma once

#include <cstdio>

struct AfterLock;
struct Store;

/// Exit statuses besides the wait's (daemon_wait.hpp): 0 done, 1 refused or
/// failed (nothing changed), 4 drained, but LUNs without a path through the
/// other controller stay on the drained one (the change kept for the
/// restore; no wait is made).
inline constexpr int kDrainFailed = 1;
inline constexpr int kDrainStranded = 4;

/// "--drain", under the run lock with the file loaded: `controller` is
/// "C0" or "C1" (checked by the option scan). The report to `out`, a
/// refusal on standard error. The exit status.
int fleet_drain(Store *store, const char *controller, FILE *out);
/// "--restore", under the run lock with the file loaded, as fleet_drain.
int fleet_restore(Store *store, FILE *out);
/// After the lock, the report written: the note of a stale initramfs when
/// the file changed, then, with `wait` seconds above 0 and `rc` 0, the wait
/// for multipathd (daemon_wait_luns) to follow the drain of `controller`
/// (nullptr: the restore). The exit status.
int fleet_drain_wait(Store *store, const char *controller, int rc, int wait,
                     const AfterLock &pass);

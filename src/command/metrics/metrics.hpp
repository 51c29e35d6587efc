// `tald --metrics [FILE]`: the stored preferences and multipathd's view of
// them in the Prometheus text format, for node_exporter's textfile
// collector. The same walk over the store as the listing, and the same view
// of the daemon as the JSON listing (list_json.hpp):
//
//   tald_path_priority{wwid,alias,port,device,address}      stored priority
//   tald_path_override{...}                                 1: an override
//   tald_multipathd_path_priority{...}                      the daemon's
//   tald_multipathd_path_checker_state{...,state}           1, its checker's
//   tald_multipathd_lun_preferred_group_active{wwid,alias}  1: the active
//       path group holds a path of the LUN's highest stored priority
//   tald_multipathd_lun_priorities_differ{wwid,alias}       1: the daemon
//       uses another priority than the stored one for a path it holds
//   tald_multipathd_reached                                 1: it answered
//   tald_preference_file_readable                           1: read whole
//   tald_collection_duration_seconds                        from the start
//
// A family is written with its HELP and TYPE lines before its first sample,
// and not at all without one. The daemon's families are written only when
// it answered, for the paths it holds under the stored path's LUN and SCSI
// address; the preferred group only for a LUN of which the daemon names a
// path's group active. A file that could not be read gives no path and no
// LUN: only what is known. Every series is written once: a path that two
// slots of a port hold is written for the first.
#pragma once

#include "base/json_string.hpp"

#include <cstddef>
#include <cstdio>

struct Store;
struct DaemonView;
struct AfterLock;

/// What a collection found beside the store and the daemon.
struct MetricsFacts {
    bool file_read;        ///< the preference file was read whole (or is not there)
    long long started_ns;  ///< when it began, on monotonic_ns()'s clock
};

/// Writes the metrics of the store's records (`store` nullptr: none) and of
/// the daemon's `view` (nullptr: not asked) to `out`, the duration last,
/// counted up to its own line.
void metrics_to(Store *store, FILE *out, const DaemonView *view, const MetricsFacts &facts);

/// "--metrics": after the run lock (the store stays loaded), asks the daemon,
/// and writes the metrics to standard output, or, with `file`, to a new
/// file beside it (mode 0644, synced) that is then renamed over it, so
/// that a reader sees the old metrics or the new ones whole. 0; 1, with a
/// line on standard error, when the file could not be written.
int metrics_collect(Store *store, const char *file, const AfterLock &pass);

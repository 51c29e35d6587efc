// `tald --apply FILE [--dry-run] [--prune] [--strict]`: this host's stored
// overrides made to match a document of the fleet's preferences
// (fleet_input.hpp), for every path stored through the ports it names, in
// one locked change of the preference file.
#pragma once

#include <cstdio>

struct FleetInput;
struct Store;

/// The options after the file.
inline constexpr unsigned kApplyDryRun = 1;  ///< show the changes, make none
inline constexpr unsigned kApplyPrune = 2;   ///< LUNs not named: back to their defaults
inline constexpr unsigned kApplyStrict = 4;  ///< a LUN not stored here refuses the document

/// What the apply's exit status says.
inline constexpr int kApplyUnchanged = 0;
inline constexpr int kApplyFailed = 1;
inline constexpr int kApplyChanged = 2;  ///< or would change, with kApplyDryRun

/// Before the run lock: reads and checks the document at `file` whole into
/// `input`. 0, or kApplyFailed with a line on standard error.
int fleet_apply_read(const char *file, FleetInput *input);

/// Under the run lock, the file loaded: changes the store as the document
/// says. Writes the changes per LUN and path and a last line "changed: ...",
/// "would change: ..." or "unchanged: ..." to `out`; a refusal is one line
/// on standard error. Returns the exit status.
int fleet_apply(Store *store, const char *file, const FleetInput &input, unsigned flags,
                FILE *out);

/// After the lock, the report written: the note of a stale initramfs when
/// the file changed. `rc`, the exit status.
int fleet_apply_noted(int rc, unsigned flags);

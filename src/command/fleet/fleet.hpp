// What tald's fleet commands (--apply, --drain, --restore) change: a plan of
// changes to stored paths, each a path of a stored LUN through one
// controller port, shown to the administrator LUN by LUN and then carried
// out on the store in one piece, which one save_config writes. And
// --export, this host's preferences in the form that --apply reads.
//
// A path of the array is the same on every host by its LUN (wwid, or
// alias) and its controller port; device names and SCSI addresses are
// the host's own, and appear in what a plan shows only.
#pragma once

#include "base/grow_array.hpp"
#include "base/pathinfo.hpp"

#include <cstddef>
#include <cstdio>

struct Store;

/// What a port of a LUN should have: left as it is, its default, or an
/// override 5..8.
inline constexpr int kWantKeep = 0;
inline constexpr int kWantDefault = -1;

/// One stored path's priority, from and to.
struct PathChange {
    pathinfo *rec;
    int cp;
    int slot;
    int from;
    int to;
};

struct FleetPlan {
    GrowArray<PathChange> changes;
};

void plan_free(FleetPlan *plan);
/// Plans slot `slot` of port `cp` of `rec` to hold `to`; nothing when it
/// holds it already. False without memory.
bool plan_set(FleetPlan *plan, pathinfo *rec, int cp, int slot, int to);
/// Plans every stored path of port `cp` of `rec` to be as `want` says. A
/// path back to its default that holds a default already is left as it is:
/// path checks keep the stored default current. False without memory.
bool plan_port(FleetPlan *plan, pathinfo *rec, int cp, int want);
/// The LUNs the plan changes.
std::size_t plan_luns(const FleetPlan &plan);
/// Writes the plan, LUN by LUN: "alias wwid", then per path
/// "  C0P0 /dev/sdb 2:0:0:1: 2 -> 8", a default as "8 -> 3 (default)".
void plan_print(const FleetPlan &plan, FILE *out);
/// "N path(s) of M LUN(s)", as the summaries count, into `text`.
const char *plan_count(const FleetPlan &plan, char *text, std::size_t size);
/// Gives every planned path its new priority in the store's records.
void plan_carry_out(const FleetPlan &plan);

/// The LUN's name as an entry names it: the alias, or the wwid without one.
const char *lun_name(const pathinfo &rec);

/// Writes the store's preferences as the export's JSON document to `out`:
/// LUNs sorted by wwid, for each its wwid, alias, and each port with a
/// stored path its priority and whether it is an override. A port whose
/// paths disagree gives its highest priority, and a line on `warnings`
/// says so. 0, or -1 without memory (nothing written).
int export_to(Store *store, FILE *out, FILE *warnings);

/// "--export [FILE]": after the run lock (the store stays loaded), writes
/// the document to standard output, or to `file` (replaced whole, 0644). 0; 1 with a line on
/// standard error when the preference file could not be read or `file`
/// written.
int fleet_export(Store *store, const char *file);

// The path preference store: the LUN list `conf`, the slot operations on a
// record, the preference file, and priority resolution against the list.
#pragma once

#include "store/pathinfo.hpp"

#include <cstdio>

struct dlist;

/// The fixed locations of the state that survives between runs.
inline constexpr const char *kConfigPath = "/etc/lvm/cache/tald.conf";
inline constexpr const char *kLockPath = "/etc/lvm/cache/tald.lock";

/// The process's LUN list of pathinfo records, newest first. NULL until
/// load_config creates it.
extern struct dlist *conf;

// --- slot table and list -----------------------------------------------------
// Wherever a controller-port index cp is passed (here and to conf_getPrio /
// conf_setPrio through the probed record), it must be 0..3.

/// Sets prio of the first slot of row cp whose host matches. Returns prio, or
/// -1 (record unchanged) when no slot of the row has that host.
int setPathPrio(pathinfo *rec, int host, int cp, int prio);
/// prio of the first slot of row cp whose host matches, or -1.
int getPathPrio(pathinfo *rec, int host, int cp);
/// Enters a path into the first free slot of row cp, unless an in-use slot of
/// the row already holds this host. Always returns 0.
int addDevToPathInfo(pathinfo *rec, const char *dev, int host, int channel, int id, int lun,
                     int cp);
/// Puts rec at the front of conf (which then owns it) and sets its lunref to
/// 0. Returns 0, or -1 when there is no list.
int add_confNode(pathinfo *rec);
/// Prints the listing of conf on standard output. 0, or -1 without a list.
/// Names (alias, wwid, device names) are shown with every byte outside
/// 0x20..0x7e as "?": the file may hold any byte, a terminal must not get it.
int dump_config();
/// The same listing, written to `out`.
int dump_config_to(FILE *out);

// --- preference file ---------------------------------------------------------

// File format: one line per LUN, newest first, each ended by a line feed:
//   wwid,{dev,host:channel:id:lun,prio,} x16,alias
// the 16 entries slot by slot, within a slot controller port by port. The
// reader splits at every "," and ":" alike. An empty device name is written
// "x". In wwid, device names and alias the bytes "," ":" "%" and every byte
// outside printable ASCII are written as %XX (uppercase hex) and decoded on
// reading; other names are written as they stand. Number tokens are read as
// strtol does (leading digits; none gives 0); a value beyond the int range
// becomes INT_MAX or INT_MIN. Empty lines and carriage returns are skipped;
// a line longer than any record can give is skipped with a level-4 trace.

/// Creates conf and loads the file into it. 0 loaded; -1 file not opened or
/// not locked (the list exists, empty); -2 list not created; -3 first record
/// not allocated. An empty file still leaves one record (empty wwid).
int load_config(const char *path);
/// Reads the next record line of the file being loaded into rec (cleared
/// first). 1 when a line was read (complete or not), 0 at the end of the data.
int parse_pathinfo(pathinfo *rec);
/// Replaces the file with the contents of conf, atomically: the new content
/// goes to "<path>.tmp", is synced and renamed over `path`, and the directory
/// is synced. The file keeps its permission bits; a new one gets 0640.
/// 0 written (a mode the file system refuses, or a directory that cannot be
/// synced, is traced and tolerated); -1 when there is no list or the content
/// could not be written, synced or renamed, the old file then left as it was.
int save_config(const char *path);
/// Hooks for locking the preference file itself; both return 1.
int lock_config(int fd);
int unlock_config(int fd);

/// The preference file that conf_getPrio and conf_setPrio save to: kConfigPath
/// unless a test has pointed the store elsewhere with conf_use_file.
const char *conf_file();
/// Points the store's saves at another file (NULL: back to kConfigPath).
/// Tests only; the programs never call it.
void conf_use_file(const char *path);
/// TEST ONLY: destroys conf with all its records (any pointer into it dies)
/// and sets it to NULL, so that a test can load again as a fresh process.
void conf_reset();

// --- priority resolution -----------------------------------------------------

/// The probed path's priority (1..8): a stored override 5..8, or its default,
/// which is then stored. Hands `probed` itself to the list when its LUN is
/// new (see conf_holds); leaves its lunref and cp as probed.
int conf_getPrio(pathinfo *probed);
/// Applies a requested priority to the probed path: 5..8 override, 0 reset to
/// default. Returns the applied value, 0 when refused (nothing written),
/// negative on failure (no list, or the file not saved). Hands `probed` to
/// the list when its LUN is new.
int conf_setPrio(pathinfo *probed, int prio);
/// True when `rec` is held by the LUN list (so its allocator must not free it).
bool conf_holds(const pathinfo *rec);

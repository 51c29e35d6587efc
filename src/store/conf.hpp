// The path preference store: the LUN list `conf`, the slot operations on a
// record, the preference file, and priority resolution against the list.
#pragma once

#include "store/pathinfo.hpp"

struct dlist;

/// The fixed locations of the state that survives between runs.
inline constexpr const char *kConfigPath = "/etc/lvm/cache/tald.conf";
inline constexpr const char *kLockPath = "/etc/lvm/cache/tald.lock";

/// The process's LUN list of pathinfo records, newest first. NULL until
/// load_config creates it.
extern struct dlist *conf;

// --- slot table and list -----------------------------------------------------

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
int dump_config();

// --- preference file ---------------------------------------------------------

/// Creates conf and loads the file into it. 0 loaded; -1 file not opened or
/// not locked (the list exists, empty); -2 list not created; -3 first record
/// not allocated.
int load_config(const char *path);
/// Reads the next line of the file being loaded into rec. 1 when a line was
/// read (complete or not), 0 at the end of the data.
int parse_pathinfo(pathinfo *rec);
/// Replaces the file with the contents of conf. 0 written; negative when
/// there is no list or the file could not be written (the old file is kept).
int save_config(const char *path);
/// Hooks for locking the preference file itself; both return 1.
int lock_config(int fd);
int unlock_config(int fd);

/// The preference file that conf_getPrio and conf_setPrio save to: kConfigPath
/// unless a test has pointed the store elsewhere with conf_use_file.
const char *conf_file();
/// Points the store's saves at another file. Tests only; the programs never
/// call it.
void conf_use_file(const char *path);

// --- priority resolution -----------------------------------------------------

/// The probed path's priority (1..8): a stored override 5..8, or its default,
/// which is then stored. May hand `probed` to the list (see conf_takes_record).
int conf_getPrio(pathinfo *probed);
/// Applies a requested priority to the probed path: 5..8 override, 0 reset to
/// default. Returns the applied value, 0 when refused, negative on failure.
int conf_setPrio(pathinfo *probed, int prio);
/// True when `rec` is held by the LUN list (so its allocator must not free it).
bool conf_holds(const pathinfo *rec);

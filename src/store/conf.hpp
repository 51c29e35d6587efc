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
/// the row already holds this host: that slot then takes the path's current
/// device name and address (its priority stays). Always returns 0.
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

// File format: one line per LUN, newest first, each ended by a line feed;
// store/conf_line.hpp has the line itself. Empty lines and carriage returns
// are skipped; a line longer than any record can give, or one holding a NUL
// byte, is skipped with a level-4 trace, and so is a second line of a wwid
// already read (the first line read stays).

/// Creates conf and loads the file into it. 0 loaded; -1 file not opened or
/// not locked (the list exists, empty); -2 list not created; -3 first record
/// not allocated. An empty file still leaves one record (empty wwid).
/// After conf_load_for(wwid), and while the traces of level 7 are not
/// shown, a file whose every line is in the form the writer gives (a
/// "canonical" file, as every save leaves it) is loaded indexed: conf then
/// holds only that LUN's record, if the file has one, and the other lines
/// stay text that a save copies. Whatever needs every record (the listing,
/// a resolution of another LUN) has them parsed first; answers, file bytes
/// and the traces shown are those of a whole load.
/// Only a regular file is read, never through a symlink. A file that exists
/// but cannot be read whole (anything but "no such file": no permission, a
/// read error, a FIFO, a device, a symlink, a directory) gives -1 with an
/// empty list, and every save_config until the next load then fails: the
/// file keeps what this run could not read. So does a record that could not
/// be allocated (the records read before it stay, and the result is 0).
int load_config(const char *path);
/// True when the last load_config found the file but could not read it
/// whole (so that no save will replace it).
bool conf_unreadable();
/// Why the last load_config could not read the file whole: a text such as
/// strerror's, "not a regular file" or "not owned by root", valid until the
/// next load_config or conf_reset; nullptr when it could (or there was no
/// file).
const char *conf_unread_reason();
/// True when what the last load_config could not read, it could not for
/// want of memory (for the text or for a record).
bool conf_out_of_memory();
/// Declares the one LUN (by wwid) that the next loads serve, or nullptr (the
/// default): every LUN.
void conf_load_for(const char *wwid);
/// Reads the next record line of the file being loaded into rec (cleared
/// first). 1 when a line was read (complete or not), 0 at the end of the data.
int parse_pathinfo(pathinfo *rec);
/// Replaces the file with the contents of conf, atomically: the new content
/// goes to "<path>.tmp" (whatever stood there is removed first, and the new
/// file is created without following a symlink), is synced and renamed over
/// `path`, and the directory is synced. The file keeps its permission bits;
/// a new one gets 0640. 0 written (a mode the file system refuses, or a
/// directory that cannot be synced, is traced and tolerated); -1 when there
/// is no list, the last load could not read the file, or the content could
/// not be written, synced or renamed, the old file then left as it was.
/// When the lines to write are exactly the lines that load_config read from
/// `path` (in the reverse order, as a load and a save always turn them) and
/// that file held nothing else, nothing is written: the file keeps its
/// bytes, inode and time, and the traces are those of a save that wrote.
/// Each address number above 255 of a line written draws the text
/// "!!! invalid scsi address (%d:%d:%d:%d" (no line end) through log_text,
/// before the file is replaced; the number is written all the same.
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
/// Frees everything the store holds: conf with all its records (any
/// pointer into it dies; conf becomes NULL) and what the last load_config
/// kept of the file. Afterwards load_config starts as in a fresh process; a
/// process that serves many requests calls it after each one.
void conf_reset();
/// Frees conf with all its records, and keeps what the last load_config read
/// of the file, for conf_peek.
void conf_drop_records();

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
/// The priority that conf_getPrio would give the successfully probed path
/// when it would change nothing, without the lock and without reading the
/// file: from the file that the last (indexed) load_config read, as long as
/// that file is still in place unchanged (one lstat; see
/// conf_disk::Content). 0 when it cannot tell: the LUN or path not stored as
/// it would be, the file changed, replaced, not canonical, or not loaded.
/// Its traces are conf_getPrio's of level 7, for callers that do not show
/// them.
int conf_peek(const pathinfo *probed);
/// True when `rec` is held by the LUN list (so its allocator must not free it).
bool conf_holds(const pathinfo *rec);

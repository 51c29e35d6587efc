// The path preference store: the LUN list of a store, the preference file,
// and priority resolution against the list. Every function takes the store
// it works on (store/conf_store.hpp); nothing of it is global.
#pragma once

#include "base/pathinfo.hpp"
#include "store/conf_store.hpp"
#include "store/state_paths.hpp"

// --- list --------------------------------------------------------------------

/// Puts rec at the front of the store's list (which then owns it) and sets
/// its lunref to 0. Returns 0, or -1 when there is no list.
int add_confNode(conf_store *store, pathinfo *rec);
/// True when `rec` is held by the store's list (so its allocator must not
/// free it).
bool conf_holds(const conf_store *store, const pathinfo *rec);

/// One step of a walk over every LUN of the store.
enum WalkStep { kWalkRecord, kWalkEnd, kWalkNull };
/// Starts a walk over the records of every LUN of the file and of the run,
/// newest first, as a whole load lists them (a load for one LUN is made
/// whole first). False when no list has been loaded.
bool conf_walk_start(conf_store *store);
/// The next record of the walk in *rec (kWalkRecord); kWalkEnd at the end;
/// kWalkNull at a node that holds no record, which ends the walk.
WalkStep conf_walk_next(conf_store *store, const pathinfo **rec);

// --- preference file ---------------------------------------------------------

// File format: one line per LUN, newest first, each ended by a line feed;
// store/conf_line.hpp has the line itself. Empty lines and carriage returns
// are skipped; a line longer than any record can give, or one holding a NUL
// byte, is skipped with a level-4 trace, and so is a second line of a wwid
// already read (the first line read stays).

/// Creates the store's list and loads the file into it. 0 loaded; -1 file
/// not opened or not locked (the list exists, empty); -2 list not created;
/// -3 first record not allocated. An empty file still leaves one record
/// (empty wwid).
/// After conf_load_for(store, wwid), and while the traces of level 7 are
/// not shown, a file whose every line is in the form the writer gives (a
/// "canonical" file, as every save leaves it) is loaded indexed: the list
/// then holds only that LUN's record, if the file has one, and the other
/// lines stay text that a save copies. Whatever needs every record (the
/// listing, a resolution of another LUN) has them parsed first; answers,
/// file bytes and the traces shown are those of a whole load.
/// Only a regular file is read, never through a symlink. A file that exists
/// but cannot be read whole (anything but "no such file": no permission, a
/// read error, a FIFO, a device, a symlink, a directory) gives -1 with an
/// empty list, and every save_config until the next load then fails: the
/// file keeps what this run could not read. So does a record that could not
/// be allocated (the records read before it stay, and the result is 0).
int load_config(conf_store *store, const char *path);
/// True when the last load_config found the file but could not read it
/// whole (so that no save will replace it).
bool conf_unreadable(const conf_store *store);
/// Declares the one LUN (by wwid) that the next loads serve, or nullptr (the
/// default): every LUN.
void conf_load_for(conf_store *store, const char *wwid);
/// Replaces the file with the contents of the list, atomically (see
/// conf_disk::replace). 0 written (a mode the file system refuses, or a
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
int save_config(conf_store *store, const char *path);

/// Frees everything the store holds: its list with all records (any pointer
/// into it dies) and what the last load_config kept of the file. Afterwards
/// load_config starts as in a fresh store; a store that serves many requests
/// is reset after each one.
void conf_reset(conf_store *store);
/// Frees the list with all its records, and keeps what the last load_config
/// read of the file, for conf_peek.
void conf_drop_records(conf_store *store);

// --- priority resolution -----------------------------------------------------

/// The probed path's priority (1..8): a stored override 5..8, or its default,
/// which is then stored and saved to the store's file. Hands `probed` itself
/// to the list when its LUN is new (see conf_holds); leaves its lunref and cp
/// as probed. The probed cp must be 0..3.
int conf_getPrio(conf_store *store, pathinfo *probed);
/// Applies a requested priority to the probed path: 5..8 override, 0 reset to
/// default, saved to the store's file. Returns the applied value, 0 when
/// refused (nothing written), negative on failure (no list, or the file not
/// saved). Hands `probed` to the list when its LUN is new.
int conf_setPrio(conf_store *store, pathinfo *probed, int prio);
/// The priority that conf_getPrio would give the successfully probed path
/// when it would change nothing, without the lock and without reading the
/// file: from the file that the last (indexed) load_config read, as long as
/// that file is still in place unchanged (one lstat; see
/// conf_disk::Content). 0 when it cannot tell: the LUN or path not stored as
/// it would be, the file changed, replaced, not canonical, or not loaded.
/// Its traces are conf_getPrio's of level 7, for callers that do not show
/// them.
int conf_peek(conf_store *store, const pathinfo *probed);

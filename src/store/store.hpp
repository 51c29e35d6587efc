// The path preference store, as the floors above see it.
//
// A store is a value that its user makes for one file and passes to every
// function; nothing of it is global. A program run makes one; a load fills
// it from the file; resolutions change it and save it; the run ends and the
// store frees all of it. The plugin keeps one store across calls, so that
// what it read of the file serves the next call while the file on disk is
// unchanged (store_peek); store_drop_records frees the records between calls
// and keeps that text.
//
// File format: one line per LUN, newest first, each ended by a line feed;
// store/line.hpp has the line itself. Empty lines and carriage returns are
// skipped; a line longer than any record can give, or one holding a NUL
// byte, is skipped with a level-4 trace, and so is a second line of a wwid
// already read (the first line read stays).
#pragma once

#include "base/pathinfo.hpp"
#include "state/state_paths.hpp"
#include "store/run.hpp"

#include <climits>
#include <cstddef>

struct dlist;
struct DiskReader;
struct StoreInside;

/// The room of a store's own state (store/internal.hpp) within the value.
inline constexpr std::size_t kStoreInsideBytes = 23 * 1024;

struct Store {
    /// A store whose resolutions save to `file`; nothing loaded yet.
    explicit Store(const char *file);
    /// Frees everything the store holds (store_reset).
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    /// The LUN list of pathinfo records, newest first; nullptr until a load.
    /// The store's own: the floors above walk it (store_walk_start).
    struct dlist *luns = nullptr;
    /// The file that conf_getPrio and conf_setPrio save to.
    char file[PATH_MAX] = "";
    /// Resolutions store nothing: save_config writes nothing and fails (a
    /// run that could not take the lock reads the file and leaves it).
    bool read_only = false;
    /// For tests only: how the file's bytes are read (nullptr: read(2)
    /// whole).
    const DiskReader *test_reader = nullptr;
    /// What the store keeps of the file it read, and its scratch records.
    alignas(std::max_align_t) unsigned char inside[kStoreInsideBytes];
};

/// Creates the store's list and loads the file into it. 0 loaded; -1 file
/// not opened (the list exists, empty); -2 list not created; -3 first record
/// not allocated. An empty file still leaves one record (empty wwid).
/// After store_load_for(store, wwid), and while the traces of level 7 are
/// not shown, a file whose every line is in the form the writer gives (a
/// "canonical" file, as every save leaves it) is loaded indexed: the list
/// then holds only that LUN's record, if the file has one, and the other
/// lines stay text that a save copies. Whatever needs every record (the
/// walk, a resolution of another LUN) has them parsed first; answers, file
/// bytes and the traces shown are those of a whole load.
/// Only a regular file is read, never through a symlink. A file that exists
/// but cannot be read whole (anything but "no such file": no permission, a
/// read error, a FIFO, a device, a symlink, a directory) gives -1 with an
/// empty list, and every save_config until the next load then fails: the
/// file keeps what this run could not read. So does a record that could not
/// be allocated (the records read before it stay, and the result is 0).
int load_config(Store *store, const char *path);
/// Replaces the file with the contents of the list, atomically (see
/// disk_replace). 0 written (a mode the file system refuses, or a directory
/// that cannot be synced, is traced and tolerated); -1 when there is no
/// list, the store is read_only (nothing traced), the last load could not
/// read the file, or the content could not be written, synced or renamed,
/// the old file then left as it was.
/// When the lines to write are exactly the lines that load_config read from
/// `path` (in the reverse order, as a load and a save always turn them) and
/// that file held nothing else, nothing is written: the file keeps its
/// bytes, inode and time, and the traces are those of a save that wrote.
/// Each address number above 255 of a line written draws the text
/// "!!! invalid scsi address (%d:%d:%d:%d" (no line end) through log_text,
/// before the file is replaced; the number is written all the same.
int save_config(Store *store, const char *path);

/// The probed path's priority (1..8): a stored override 5..8, or its default,
/// which is then stored and saved to the store's file. A LUN new to the list
/// gets a record of the store's own, a copy of `probed`; `probed` stays as
/// the caller's. The probed cp must be 0..3.
int conf_getPrio(Store *store, const pathinfo *probed);
/// Applies a requested priority to the probed path: 5..8 override, 0 reset to
/// default, saved to the store's file. Returns the applied value, 0 when
/// refused (nothing written), negative on failure (no list, or the file not
/// saved). A LUN new to the list gets a record of the store's own.
int conf_setPrio(Store *store, const pathinfo *probed, int prio);
/// The priority that conf_getPrio would give the successfully probed path
/// when it would change nothing, without the lock and without reading the
/// file: from the file that the last (indexed) load_config read, as long as
/// that file is still in place unchanged (one lstat; see disk_unchanged). 0
/// when it cannot tell: the LUN or path not stored as it would be, the file
/// changed, replaced, not canonical, or not loaded. Its traces are
/// conf_getPrio's of level 7, for callers that do not show them.
int store_peek(Store *store, const pathinfo *probed);

/// Frees everything the store holds: its list with all records (any pointer
/// into it dies) and what the last load_config kept of the file. Afterwards
/// load_config starts as in a fresh store; a store that serves many requests
/// is reset after each one.
void store_reset(Store *store);
/// Frees the list with all its records, and keeps what the last load_config
/// read of the file, for store_peek.
void store_drop_records(Store *store);
/// Declares the one LUN (by wwid) that the next loads serve, or nullptr (the
/// default): every LUN.
void store_load_for(Store *store, const char *wwid);

/// True when a list has been loaded (or made) and not dropped since.
bool store_loaded(const Store *store);
/// One step of a walk over the store's list.
enum WalkStep { kWalkRecord, kWalkEnd, kWalkNull };
/// Starts a walk over the records of every LUN of the file and of the run,
/// newest first, as a whole load lists them (a load for one LUN is made
/// whole first). False when no list has been loaded.
bool store_walk_start(Store *store);
/// The next record of the walk in *rec (kWalkRecord); kWalkEnd at the end;
/// kWalkNull at a node that holds no record, which ends the walk.
WalkStep store_walk_next(Store *store, const pathinfo **rec);

/// True when the last load_config found the file but could not read it
/// whole (so that no save will replace it).
bool store_unreadable(const Store *store);
/// Why the last load_config could not read the file whole: a text such as
/// strerror's, "not a regular file" or "not owned by root", valid until the
/// next load_config or store_reset; nullptr when it could (or there was no
/// file).
const char *store_unread_reason(const Store *store);
/// True when the file that the last load_config read holds nothing but
/// record lines in the form the writer gives them (a save leaves it as it
/// is, but for the order of its lines), and no save has rewritten it since.
bool store_canonical(const Store *store);
/// True when what the last load_config could not read, it could not for
/// want of memory (for the text or for a record).
bool store_out_of_memory(const Store *store);

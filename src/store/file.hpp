// The preference file loaded into a store's list and saved from it.
//
// File format: one line per LUN, newest first, each ended by a line feed;
// store/line.hpp has the line itself. Empty lines and carriage returns are
// skipped; a line longer than any record can give, or one holding a NUL
// byte, is skipped with a level-4 trace, and so is a second line of a wwid
// already read (the first line read stays).
#pragma once

#include "store/store.hpp"

/// Creates the store's list and loads the file into it. 0 loaded; -1 file
/// not opened (the list exists, empty); -2 list not created; -3 first record
/// not allocated. An empty file still leaves one record (empty wwid).
/// Every LUN is served (see file_load).
int load_config(Store *store, const char *path);

/// How a load traces: as the verbosity says, or not at all (a quiet run,
/// whose traces begin after the load).
enum class LoadTrace { kShown, kQuiet };

/// load_config for the one LUN `wwid` (nullptr or empty: every LUN),
/// tracing as `trace` says.
/// While the traces of level 7 are not shown, a file whose every line is in
/// the form the writer gives (a
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
int file_load(Store *store, const char *path, const char *wwid,
              LoadTrace trace = LoadTrace::kShown);
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

/// True when the last load_config found the file but could not read it
/// whole (so that no save will replace it).
bool file_unreadable(const Store *store);
/// Why the last load_config could not read the file whole: a text such as
/// strerror's, "not a regular file" or "not owned by root", valid until the
/// next load_config or store_reset; nullptr when it could (or there was no
/// file).
const char *file_unread_reason(const Store *store);
/// True when the file that the last load_config read holds nothing but
/// record lines in the form the writer gives them (a save leaves it as it
/// is, but for the order of its lines), and no save has rewritten it since.
bool file_canonical(const Store *store);
/// True when what the last load_config could not read, it could not for
/// want of memory (for the text or for a record).
bool file_out_of_memory(const Store *store);

/// Turns a load for one LUN into a whole one: every line of the file gets its
/// record in the list, in the order a whole load gives, the records added
/// since the load still first. Nothing for a whole load.
void file_make_whole(Store *store);
/// Starts a walk over the records of every LUN of the file and of the run,
/// newest first, as a whole load lists them (a load for one LUN is made
/// whole first). False when no list has been loaded.
bool file_walk_start(Store *store);
/// The next record of the walk in *rec (kWalkRecord); kWalkEnd at the end;
/// kWalkNull at a node that holds no record, which ends the walk.
WalkStep file_walk_next(Store *store, const pathinfo **rec);
/// The stored record of LUN `wwid` among every LUN of the file, for a
/// change that a save_config then writes; nullptr when the LUN is not
/// stored (or no list has been loaded).
pathinfo *file_find(Store *store, const char *wwid);

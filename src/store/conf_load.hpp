// Loading the preference file into a store's list.
#pragma once

#include "store/conf_records.hpp"
#include "store/conf_store.hpp"

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
/// Why the last load_config could not read the file whole: a text such as
/// strerror's, "not a regular file" or "not owned by root", valid until the
/// next load_config or conf_reset; nullptr when it could (or there was no
/// file).
const char *conf_unread_reason(const conf_store *store);
/// True when what the last load_config could not read, it could not for
/// want of memory (for the text or for a record).
bool conf_out_of_memory(const conf_store *store);
/// Declares the one LUN (by wwid) that the next loads serve, or nullptr (the
/// default): every LUN.
void conf_load_for(conf_store *store, const char *wwid);

/// Turns an indexed load into an ordinary one: every line of the file gets
/// its record in the list, in the order a whole load gives, the records
/// added since the load still first.
void conf_make_whole(conf_store *store);

/// Starts a walk over the records of every LUN of the file and of the run,
/// newest first, as a whole load lists them (a load for one LUN is made
/// whole first). False when no list has been loaded.
bool conf_walk_start(conf_store *store);
/// The next record of the walk in *rec (kWalkRecord); kWalkEnd at the end;
/// kWalkNull at a node that holds no record, which ends the walk.
WalkStep conf_walk_next(conf_store *store, const pathinfo **rec);

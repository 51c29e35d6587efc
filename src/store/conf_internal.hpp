// What the files of the store share among themselves, and with nothing else
// of the library: the records of a store's list, and what the store keeps of
// the preference file it last read.
#pragma once

#include "store/conf.hpp"

#include <cstddef>

namespace conf_records {

/// One step of the walk over the store's list (after dlist_start): the next
/// record, the end of the list, or a node that holds no record.
WalkStep walk_next(conf_store *store, pathinfo **rec);
/// Finds the record of `wwid`: kWalkRecord with *found set, kWalkEnd when
/// the LUN is not in the list, kWalkNull when a node without record ends the
/// walk first.
WalkStep find_lun(conf_store *store, const char *wwid, pathinfo **found);

/// Prepares the records of a load of `lines` lines (see conf_records.cpp).
void arena_open(conf_store *store, std::size_t lines);
/// A record cleared to its last byte, or nullptr.
pathinfo *new_record(conf_store *store);
/// Frees a record of new_record, or any malloc'd one.
void free_record(conf_store *store, void *rec);

}  // namespace conf_records

namespace conf_loaded {

/// Frees what the last load kept.
void forget(LoadedFile *loaded);
/// Notes a record line; false without memory.
bool note_line(LoadedFile *loaded, const LineSpan &span);
/// Builds the index of the noted lines by wwid; false without memory or when
/// two lines hold the same wwid.
bool build_index(LoadedFile *loaded);
/// The line number of `wwid` in an indexed load, or -1.
long find(const LoadedFile &loaded, const char *wwid);
/// Parses record line `i` into rec (cleared first), through the store's
/// scratch line. 0 complete; -1 not.
int parse_line(conf_store *store, std::size_t i, pathinfo *rec);
/// Turns an indexed load into an ordinary one: every line of the file gets
/// its record in the list, in the order a whole load gives, the records
/// added since the load still first.
void materialize(conf_store *store);

}  // namespace conf_loaded

namespace conf_resolve {

/// conf_getPrio's steps on the stored record of a known LUN: the probed path
/// merged in, the alias refreshed, the priority kept or defaulted. The
/// priority.
int merge_known(pathinfo *stored, const pathinfo *probed);

}  // namespace conf_resolve

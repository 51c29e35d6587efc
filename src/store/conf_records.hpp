// A store's LUN list and its records: insertion, the walk over every LUN,
// and where the records of a load come from.
#pragma once

#include "base/pathinfo.hpp"
#include "store/conf_store.hpp"

#include <cstddef>

/// Puts rec at the front of the store's list (which then owns it) and sets
/// its lunref to 0. Returns 0, or -1 when there is no list.
int add_confNode(conf_store *store, pathinfo *rec);
/// True when `rec` is held by the store's list (so its allocator must not
/// free it).
bool conf_holds(const conf_store *store, const pathinfo *rec);

/// One step of a walk over the store's list.
enum WalkStep { kWalkRecord, kWalkEnd, kWalkNull };

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

}  // namespace conf_records

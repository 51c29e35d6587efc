// The store's own state within the value (Store::inside), and its LUN list:
// the records, where they come from, and the walk over them. For
// store/*.cpp and the store's tests alone.
#pragma once

#include "base/pathinfo.hpp"
#include "store/kept_file.hpp"
#include "store/line.hpp"
#include "store/store.hpp"

#include <cstddef>
#include <new>

/// The records of a large load, carved from one anonymous mapping (see
/// store.cpp); empty for a small one.
struct RecordArena {
    char *base = nullptr;
    std::size_t size = 0;
    std::size_t used = 0;
};

/// A store's own state, held in place in Store::inside.
struct StoreInside {
    LoadedFile loaded;
    RecordArena arena;
    /// One line's bytes while it is parsed or formatted; resolve_peek's record.
    char scratch[kMaxLine + 1];
    pathinfo peek_record;
};

inline StoreInside *store_inside(Store *store)
{
    return std::launder(reinterpret_cast<StoreInside *>(store->inside));
}
inline const StoreInside *store_inside(const Store *store)
{
    return std::launder(reinterpret_cast<const StoreInside *>(store->inside));
}

/// Puts rec at the front of the store's list (which then owns it) and sets
/// its lunref to 0. Returns 0, or -1 when there is no list.
int add_confNode(Store *store, pathinfo *rec);
/// Frees a record of the store's list: one of its arena, or a malloc'd one.
void store_free_record(Store *store, void *rec);
/// One step of the walk over the store's list (after dlist_start): the next
/// record, the end of the list, or a node that holds no record.
WalkStep store_list_next(Store *store, pathinfo **rec);
/// Finds the record of `wwid`: kWalkRecord with *found set, kWalkEnd when
/// the LUN is not in the list, kWalkNull when a node without record ends the
/// walk first.
WalkStep store_find_lun(Store *store, const char *wwid, pathinfo **found);
/// Prepares the records of a load of `lines` lines (see store.cpp).
void store_arena_open(Store *store, std::size_t lines);
/// A record cleared to its last byte, or nullptr.
pathinfo *store_new_record(Store *store);

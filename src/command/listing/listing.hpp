// `tald -l`: the listing of every LUN the store holds, as text for the
// administrator (here) and as JSON for programs (list_json.hpp), both from
// one walk over the store.
#pragma once

#include <cstdio>

struct Store;
struct pathinfo;

/// What a listing does with each record of the walk.
struct ListingVisitor {
    /// A LUN with a wwid, before its paths.
    void (*lun)(void *context, const pathinfo &rec);
    /// Each path of that LUN with a priority above 0, controller port by
    /// port, slot by slot.
    void (*path)(void *context, const pathinfo &rec, int cp, int slot);
    /// A record without a wwid (what an empty file loads).
    void (*unnamed)(void *context);
    void *context;
};

/// How a listing walk ended.
enum ListingEnd {
    kListingNoList = -1,  ///< no list was loaded: nothing visited
    kListingDone = 0,     ///< every record visited
    kListingCut = 1,      ///< a node without record ended the walk
};

/// Walks every LUN of the store, newest first, as a whole load lists them.
ListingEnd listing_walk(Store *store, const ListingVisitor &visitor);

/// Writes the listing of the store to `out`: a blank line, then for each LUN
/// "alias (wwid)" and one line per path, then a blank line. Names are shown
/// with every byte outside 0x20..0x7e as "?": the file may hold any byte, a
/// terminal must not get it. 0, or -1 without a list.
int dump_config(Store *store, FILE *out = stdout);

// What a store keeps of the file it last read: the record lines noted, the
// index of an indexed load by wwid, and the way from an indexed load to a
// whole one.
#pragma once

#include "store/conf_store.hpp"

#include <cstddef>

namespace conf_loaded {

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
}  // namespace conf_loaded

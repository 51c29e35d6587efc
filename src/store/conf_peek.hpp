// The steady answer from the file a store kept.
#pragma once

#include "base/pathinfo.hpp"
#include "store/conf_store.hpp"

/// The priority that conf_getPrio would give the successfully probed path
/// when it would change nothing, without the lock and without reading the
/// file: from the file that the last (indexed) load_config read, as long as
/// that file is still in place unchanged (one lstat; see
/// conf_disk::Content). 0 when it cannot tell: the LUN or path not stored as
/// it would be, the file changed, replaced, not canonical, or not loaded.
/// Its traces are conf_getPrio's of level 7, for callers that do not show
/// them.
int conf_peek(conf_store *store, const pathinfo *probed);

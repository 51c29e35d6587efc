// A probed path's priority resolved against a store: the stored override or
// the default, stored and saved; and the steady answer from the file a store
// kept.
#pragma once

#include "base/pathinfo.hpp"
#include "store/store.hpp"

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
int resolve_peek(Store *store, const pathinfo *probed);

// Priority resolution against a store's list.
#pragma once

#include "base/pathinfo.hpp"
#include "store/conf_store.hpp"

/// The probed path's priority (1..8): a stored override 5..8, or its default,
/// which is then stored and saved to the store's file. Hands `probed` itself
/// to the list when its LUN is new (see conf_holds); leaves its lunref and cp
/// as probed. The probed cp must be 0..3.
int conf_getPrio(conf_store *store, pathinfo *probed);
/// Applies a requested priority to the probed path: 5..8 override, 0 reset to
/// default, saved to the store's file. Returns the applied value, 0 when
/// refused (nothing written), negative on failure (no list, or the file not
/// saved). Hands `probed` to the list when its LUN is new.
int conf_setPrio(conf_store *store, pathinfo *probed, int prio);

namespace conf_resolve {

/// conf_getPrio's steps on the stored record of a known LUN: the probed path
/// merged in, the alias refreshed, the priority kept or defaulted. The
/// priority.
int merge_known(pathinfo *stored, const pathinfo *probed);

}  // namespace conf_resolve

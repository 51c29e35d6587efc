// What the store holds for a probed path before a change, for the change's
// journal entry: read only, no trace, no load made whole.
#pragma once

#include "base/pathinfo.hpp"

struct Store;

/// The stored priority of the probed path (its LUN's record in the list,
/// the slot of its port and SCSI host), or 0 when the list holds none: no
/// such LUN among the records the run loaded, or no such path.
int stored_prio_of(Store *store, const pathinfo *probed);

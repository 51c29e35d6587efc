#include "store/stored_prio.hpp"

#include "store/records.hpp"

int stored_prio_of(Store *store, const pathinfo *probed)
{
    pathinfo *stored = nullptr;
    if (store->luns == nullptr || !valid_cp(probed->cp) ||
        store_find_lun(store, probed->wwid, &stored) != kWalkRecord)
        return 0;
    int prio = getPathPrio(stored, probed->host, probed->cp);
    return prio > 0 ? prio : 0;
}

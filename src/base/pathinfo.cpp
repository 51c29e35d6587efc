#include "base/pathinfo.hpp"

#include "base/text.hpp"
#include "trace/trace.hpp"

namespace {

constexpr int kLineAddDevMatch = 564;

/// Writes a path's node name and address into slot `slot` of row `cp`.
void put_path(pathinfo *rec, int cp, int slot, const char *dev, int host, int channel, int id,
              int lun)
{
    copy_field(rec->slot_dev[cp][slot], kDevSize, dev);
    rec->slot_host[cp][slot] = host;
    rec->slot_channel[cp][slot] = channel;
    rec->slot_id[cp][slot] = id;
    rec->slot_lun[cp][slot] = lun;
}

}  // namespace

int setPathPrio(pathinfo *rec, int host, int cp, int prio)
{
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        if (rec->slot_host[cp][slot] == host) {
            rec->prio[cp][slot] = prio;
            return prio;
        }
    }
    return -1;
}

int getPathPrio(const pathinfo *rec, int host, int cp)
{
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        if (rec->slot_host[cp][slot] == host)
            return rec->prio[cp][slot];
    }
    return -1;
}

int addDevToPathInfo(pathinfo *rec, const char *dev, int host, int channel, int id, int lun,
                     int cp)
{
    int matched = -1;
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        if (rec->slot_host[cp][slot] == host && rec->prio[cp][slot] != 0) {
            log_trace(kLineAddDevMatch, 7,
                      "addDevToPathInfo: Match found.");
            if (matched < 0)
                matched = slot;
        }
    }
    if (matched < 0) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            if (rec->prio[cp][slot] == 0) {
                matched = slot;
                break;
            }
        }
    }
    // A known path takes its current name and address too: device names
    // change across boots, and a slot that kept the old name would show, in
    // the listing, a node that is now another path.
    if (matched >= 0)
        put_path(rec, cp, matched, dev, host, channel, id, lun);
    return 0;
}

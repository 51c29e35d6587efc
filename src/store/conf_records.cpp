// The LUN list `conf` and its records: the walk, the slot table operations,
// insertion, and where the records of a load come from and go back to.
#include "store/conf.hpp"
#include "store/conf_internal.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

struct dlist *conf = nullptr;

void copy_field(char *dst, std::size_t size, const char *src)
{
    if (size == 0)
        return;
    std::size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

namespace {

constexpr const char *kModule = "conf";
constexpr int kLineAddNullConf = 194;
constexpr int kLineAddDevMatch = 564;

/// The records of one load, carved from one anonymous mapping sized for the
/// file's lines. A fresh process pays a page fault for every 4 KiB of its
/// records, and a record is 4.7 KiB; from the mapping, advised as huge pages
/// where the kernel offers them, a file of a thousand LUNs costs a few faults
/// instead of 1200. Smaller files take their records from the heap. Records
/// that did not come from it (the probe's, handed to the list) stay ordinary
/// heap blocks; free_record tells them apart.
struct RecordArena {
    char *base;
    std::size_t size;
    std::size_t used;
};

RecordArena arena = {};
constexpr std::size_t kHugePage = std::size_t{2} << 20;

void arena_close()
{
    if (arena.base != nullptr)
        munmap(arena.base, arena.size);
    arena = {};
}

/// Frees every record of conf, leaving the list empty.
void empty_list()
{
    while (conf->count > 0)
        conf_records::free_record(dlist_shift(conf));
}

}  // namespace

namespace conf_records {

WalkStep walk_next(pathinfo **rec)
{
    _dlist_mark_move(conf, 1);
    if (conf->marker == conf->head)
        return kWalkEnd;
    *rec = static_cast<pathinfo *>(dlist_mark(conf));
    return *rec != nullptr ? kWalkRecord : kWalkNull;
}

WalkStep find_lun(const char *wwid, pathinfo **found)
{
    dlist_start(conf);
    for (;;) {
        pathinfo *rec = nullptr;
        WalkStep step = walk_next(&rec);
        if (step != kWalkRecord)
            return step;
        if (std::strcmp(rec->wwid, wwid) == 0) {
            *found = rec;
            return kWalkRecord;
        }
    }
}

void arena_open(std::size_t lines)
{
    if (arena.base != nullptr)
        return;
    std::size_t bytes = lines * sizeof(pathinfo);
    if (bytes < kHugePage)
        return;
    std::size_t size = bytes + kHugePage;
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return;
    auto start = reinterpret_cast<std::uintptr_t>(map);
    std::size_t skip = ((start + kHugePage - 1) & ~(kHugePage - 1)) - start;
    // Advice only: without huge pages the mapping still serves.
    madvise(static_cast<char *>(map) + skip, (size - skip) & ~(kHugePage - 1), MADV_HUGEPAGE);
    arena = {static_cast<char *>(map), size, skip};
}

pathinfo *new_record()
{
    if (arena.base != nullptr && arena.size - arena.used >= sizeof(pathinfo)) {
        auto *rec = reinterpret_cast<pathinfo *>(arena.base + arena.used);
        arena.used += sizeof(pathinfo);
        return rec;
    }
    return static_cast<pathinfo *>(std::calloc(1, sizeof(pathinfo)));
}

void free_record(void *rec)
{
    auto *at = static_cast<char *>(rec);
    if (arena.base != nullptr && at >= arena.base && at < arena.base + arena.size)
        return;
    std::free(rec);
}

}  // namespace conf_records

// --- slot table and list -----------------------------------------------------

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

int getPathPrio(pathinfo *rec, int host, int cp)
{
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        if (rec->slot_host[cp][slot] == host)
            return rec->prio[cp][slot];
    }
    return -1;
}

namespace {
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

int addDevToPathInfo(pathinfo *rec, const char *dev, int host, int channel, int id, int lun,
                     int cp)
{
    int matched = -1;
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        if (rec->slot_host[cp][slot] == host && rec->prio[cp][slot] != 0) {
            log_trace(kModule, "addDevToPathInfo", kLineAddDevMatch, 7,
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

int add_confNode(pathinfo *rec)
{
    if (conf == nullptr) {
        log_trace(kModule, "add_confNode", kLineAddNullConf, 3, "Error: conf == NULL!");
        return -1;
    }
    rec->lunref = 0;
    dlist_start(conf);
    dlist_insert(conf, rec, 1);
    return 0;
}

bool conf_holds(const pathinfo *rec)
{
    if (conf == nullptr || rec == nullptr)
        return false;
    // An empty dlist's head has no neighbours at all.
    for (DL_node *node = conf->head->next; node != nullptr && node != conf->head;
         node = node->next) {
        if (node->data == rec)
            return true;
    }
    return false;
}

// --- life cycle --------------------------------------------------------------

void conf_drop_records()
{
    conf_loaded::loaded.wanted = nullptr;
    if (conf == nullptr)
        return;
    // dlist_destroy stops at a node without record; empty the list first.
    empty_list();
    dlist_destroy(conf);
    conf = nullptr;
    arena_close();
}

void conf_reset()
{
    conf_loaded::forget();
    conf_drop_records();
}

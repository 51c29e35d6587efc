// A store's LUN list and its records: the walk, insertion, and where the
// records of a load come from.
#include "store/conf_records.hpp"

#include "base/text.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace {

constexpr int kLineAddNullConf = 194;

// The records of one load are carved from one anonymous mapping sized for
// the file's lines. A fresh process pays a page fault for every 4 KiB of its
// records, and a record is 4.7 KiB; from the mapping, advised as huge pages
// where the kernel offers them, a file of a thousand LUNs costs a few faults
// instead of 1200. Smaller files take their records from the heap. Records
// that did not come from it (the probe's, handed to the list) stay ordinary
// heap blocks; conf_free_record tells them apart.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

namespace conf_records {

WalkStep walk_next(conf_store *store, pathinfo **rec)
{
    dlist *conf = store->conf;
    _dlist_mark_move(conf, 1);
    if (conf->marker == conf->head)
        return kWalkEnd;
    *rec = static_cast<pathinfo *>(dlist_mark(conf));
    return *rec != nullptr ? kWalkRecord : kWalkNull;
}

WalkStep find_lun(conf_store *store, const char *wwid, pathinfo **found)
{
    dlist_start(store->conf);
    for (;;) {
        pathinfo *rec = nullptr;
        WalkStep step = walk_next(store, &rec);
        if (step != kWalkRecord)
            return step;
        if (std::strcmp(rec->wwid, wwid) == 0) {
            *found = rec;
            return kWalkRecord;
        }
    }
}

void arena_open(conf_store *store, std::size_t lines)
{
    RecordArena &arena = store->arena;
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

pathinfo *new_record(conf_store *store)
{
    RecordArena &arena = store->arena;
    if (arena.base != nullptr && arena.size - arena.used >= sizeof(pathinfo)) {
        auto *rec = reinterpret_cast<pathinfo *>(arena.base + arena.used);
        arena.used += sizeof(pathinfo);
        return rec;
    }
    return static_cast<pathinfo *>(std::calloc(1, sizeof(pathinfo)));
}

}  // namespace conf_records

// --- list -------------------------------------------------------------------

int add_confNode(conf_store *store, pathinfo *rec)
{
    dlist *conf = store->conf;
    if (conf == nullptr) {
        log_trace(kLineAddNullConf, 3, "Error: conf == NULL!");
        return -1;
    }
    rec->lunref = 0;
    dlist_start(conf);
    dlist_insert(conf, rec, 1);
    return 0;
}

bool conf_holds(const conf_store *store, const pathinfo *rec)
{
    const dlist *conf = store->conf;
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

// The store as a value: its life (made for one file, emptied between
// requests, freed with everything it holds), its LUN list with the walk over
// it, and where the records of a load come from.
#include "store/records.hpp"

#include "base/text.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

static_assert(sizeof(StoreInside) <= kStoreInsideBytes, "Store::inside is too small");
static_assert(kStoreInsideBytes - sizeof(StoreInside) < 4096, "Store::inside is too large");

namespace {
constexpr int kLineAddNullConf = 194;

// The records of one load are carved from one anonymous mapping sized for
// the file's lines. A fresh process pays a page fault for every 4 KiB of its
// records, and a record is 4.7 KiB; from the mapping, advised as huge pages
// where the kernel offers them, a file of a thousand LUNs costs a few faults
// instead of 1200. Smaller files take their records from the heap. Records
// that did not come from it (those a resolution adds) stay ordinary heap
// blocks; store_free_record tells them apart.
constexpr std::size_t kHugePage = std::size_t{2} << 20;

void arena_close(RecordArena *arena)
{
    if (arena->base != nullptr)
        munmap(arena->base, arena->size);
    *arena = {};
}

/// Frees every record of the list, leaving it empty.
void empty_list(Store *store)
{
    while (store->luns->count > 0)
        store_free_record(store, dlist_shift(store->luns));
}

}  // namespace

// --- life ----------------------------------------------------------------------

Store::Store(const char *path)
{
    new (inside) StoreInside;
    copy_field(file, sizeof file, path);
}

Store::~Store()
{
    store_reset(this);
    store_inside(this)->~StoreInside();
}

void store_drop_records(Store *store)
{
    StoreInside *inside = store_inside(store);
    inside->loaded.wanted = nullptr;
    if (store->luns == nullptr)
        return;
    // dlist_destroy stops at a node without record; empty the list first.
    empty_list(store);
    dlist_destroy(store->luns);
    store->luns = nullptr;
    arena_close(&inside->arena);
}

void store_reset(Store *store)
{
    kept_forget(&store_inside(store)->loaded);
    store_drop_records(store);
}

// --- records -------------------------------------------------------------------

void store_free_record(Store *store, void *rec)
{
    const RecordArena &arena = store_inside(store)->arena;
    auto *at = static_cast<char *>(rec);
    if (arena.base != nullptr && at >= arena.base && at < arena.base + arena.size)
        return;
    std::free(rec);
}

void store_arena_open(Store *store, std::size_t lines)
{
    RecordArena &arena = store_inside(store)->arena;
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

pathinfo *store_new_record(Store *store)
{
    RecordArena &arena = store_inside(store)->arena;
    if (arena.base != nullptr && arena.size - arena.used >= sizeof(pathinfo)) {
        auto *rec = reinterpret_cast<pathinfo *>(arena.base + arena.used);
        arena.used += sizeof(pathinfo);
        return rec;
    }
    return static_cast<pathinfo *>(std::calloc(1, sizeof(pathinfo)));
}

// --- the list ------------------------------------------------------------------

int add_confNode(Store *store, pathinfo *rec)
{
    dlist *luns = store->luns;
    if (luns == nullptr) {
        log_trace(kLineAddNullConf, 3, "Error: conf == NULL!");
        return -1;
    }
    rec->lunref = 0;
    dlist_start(luns);
    dlist_insert(luns, rec, 1);
    return 0;
}

WalkStep store_list_next(Store *store, pathinfo **rec)
{
    dlist *luns = store->luns;
    _dlist_mark_move(luns, 1);
    if (luns->marker == luns->head)
        return kWalkEnd;
    *rec = static_cast<pathinfo *>(dlist_mark(luns));
    return *rec != nullptr ? kWalkRecord : kWalkNull;
}

WalkStep store_find_lun(Store *store, const char *wwid, pathinfo **found)
{
    dlist_start(store->luns);
    for (;;) {
        pathinfo *rec = nullptr;
        WalkStep step = store_list_next(store, &rec);
        if (step != kWalkRecord)
            return step;
        if (std::strcmp(rec->wwid, wwid) == 0) {
            *found = rec;
            return kWalkRecord;
        }
    }
}

bool store_loaded(const Store *store) { return store->luns != nullptr; }

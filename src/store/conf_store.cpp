// A store's life: made for one file, emptied between requests, freed with
// everything it holds.
#include "store/conf_store.hpp"

#include "base/text.hpp"

#include <sysfs/dlist.h>

#include <cstdlib>

#include <sys/mman.h>

namespace {

void arena_close(RecordArena *arena)
{
    if (arena->base != nullptr)
        munmap(arena->base, arena->size);
    *arena = {};
}

/// Frees every record of the list, leaving it empty.
void empty_list(conf_store *store)
{
    while (store->conf->count > 0)
        conf_free_record(store, dlist_shift(store->conf));
}

}  // namespace

void conf_free_record(conf_store *store, void *rec)
{
    const RecordArena &arena = store->arena;
    auto *at = static_cast<char *>(rec);
    if (arena.base != nullptr && at >= arena.base && at < arena.base + arena.size)
        return;
    std::free(rec);
}

void conf_forget_loaded(conf_store *store)
{
    LoadedFile *loaded = &store->loaded;

    conf_disk::release(&loaded->content);
    std::free(loaded->lines);
    hash_free(&loaded->index);
    std::free(loaded->answers);
    hash_free(&loaded->answer_index);
    *loaded = LoadedFile{};
}

conf_store::conf_store(const char *path) { copy_field(file, sizeof file, path); }

conf_store::~conf_store() { conf_reset(this); }

void conf_drop_records(conf_store *store)
{
    store->loaded.wanted = nullptr;
    if (store->conf == nullptr)
        return;
    // dlist_destroy stops at a node without record; empty the list first.
    empty_list(store);
    dlist_destroy(store->conf);
    store->conf = nullptr;
    arena_close(&store->arena);
}

void conf_reset(conf_store *store)
{
    conf_forget_loaded(store);
    conf_drop_records(store);
}

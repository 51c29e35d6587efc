// The one hash table of the library: item numbers by key, in open addressing
// with linear probing. The table keeps numbers only; its user keeps the items
// (lines of a file, records, remembered answers) and tells, for a number,
// whether that item has the key sought. Nothing is ever removed: a table
// lives as long as the items it numbers, and is freed with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

struct HashIndex {
    std::uint32_t *slots = nullptr;  ///< item number + 1; 0 is a free slot
    std::size_t capacity = 0;        ///< a power of two, or 0 before the first item
    std::size_t count = 0;
};

/// The hash of `len` bytes, eight at a time.
std::size_t hash_bytes(const void *data, std::size_t len);

/// Frees the slots and empties the table.
void hash_free(HashIndex *table);

/// The slot of the item with the key whose hash is `hash`, for which
/// `is_key(number)` is true; or the free slot it would take. The table must
/// have a capacity.
template <class IsKey>
std::uint32_t *hash_slot(const HashIndex &table, std::size_t hash, IsKey is_key)
{
    std::size_t mask = table.capacity - 1;
    std::size_t i = hash & mask;
    while (table.slots[i] != 0 && !is_key(table.slots[i] - 1))
        i = (i + 1) & mask;
    return &table.slots[i];
}

/// The number of the item with that key, or -1 (also for an empty table).
template <class IsKey>
long hash_find(const HashIndex &table, std::size_t hash, IsKey is_key)
{
    if (table.capacity == 0)
        return -1;
    std::uint32_t at = *hash_slot(table, hash, is_key);
    return at == 0 ? -1 : static_cast<long>(at) - 1;
}

/// Makes room for `items` items in all, the table at most half full; the
/// items already entered move by `hash_of(number)`. false without memory (or
/// beyond 2^32 items), the table then as it was.
template <class HashOf>
bool hash_reserve(HashIndex *table, std::size_t items, HashOf hash_of)
{
    if (items >= UINT32_MAX)
        return false;
    std::size_t capacity = table->capacity == 0 ? 16 : table->capacity;
    while (capacity < items * 2)
        capacity *= 2;
    if (capacity == table->capacity)
        return true;
    auto *slots = static_cast<std::uint32_t *>(std::calloc(capacity, sizeof(std::uint32_t)));
    if (slots == nullptr)
        return false;
    HashIndex grown{slots, capacity, table->count};
    for (std::size_t i = 0; i < table->capacity; ++i) {
        std::uint32_t at = table->slots[i];
        if (at == 0)
            continue;
        std::size_t j = hash_of(at - 1) & (capacity - 1);
        while (slots[j] != 0)
            j = (j + 1) & (capacity - 1);
        slots[j] = at;
    }
    std::free(table->slots);
    *table = grown;
    return true;
}

/// Enters item `number` at `slot`, a free slot that hash_slot gave.
inline void hash_put(HashIndex *table, std::uint32_t *slot, std::uint32_t number)
{
    *slot = number + 1;
    ++table->count;
}

#include "base/hash_index.hpp"

#include <cstring>

std::size_t hash_bytes(const void *data, std::size_t len)
{
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    const auto *text = static_cast<const char *>(data);
    std::uint64_t h = len * kMultiplier;
    for (; len >= 8; text += 8, len -= 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text, 8);
        h = (h ^ word) * kMultiplier;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text, len);
    h = (h ^ tail) * kMultiplier;
    return static_cast<std::size_t>(h ^ (h >> 32));
}

void hash_free(HashIndex *table)
{
    std::free(table->slots);
    *table = HashIndex{};
}

#include "base/hash_index.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Numbers by key through every growth of the table: each key is found as
// the number it was entered with, and a key never entered is not.
TEST(HashIndex, FindsEveryItemThroughGrowth)
{
    std::vector<std::string> items;
    HashIndex table;
    auto hash_of = [&](std::size_t n) { return hash_bytes(items[n].data(), items[n].size()); };
    auto find = [&](const std::string &key) {
        return hash_find(table, hash_bytes(key.data(), key.size()),
                         [&](std::size_t n) { return items[n] == key; });
    };
    EXPECT_EQ(find("absent"), -1);  // an empty table
    for (int i = 0; i < 5000; ++i) {
        std::string key = "3600" + std::to_string(i * 7919);
        ASSERT_EQ(find(key), -1) << key;
        items.push_back(key);
        ASSERT_TRUE(hash_reserve(&table, items.size(), hash_of));
        std::uint32_t *slot = hash_slot(table, hash_of(items.size() - 1),
                                        [&](std::size_t n) { return items[n] == key; });
        ASSERT_EQ(*slot, 0u);
        hash_put(&table, slot, static_cast<std::uint32_t>(items.size() - 1));
        EXPECT_GE(table.capacity, 2 * table.count);
    }
    for (std::size_t n = 0; n < items.size(); ++n)
        ASSERT_EQ(find(items[n]), static_cast<long>(n));
    EXPECT_EQ(find("3600x"), -1);
    hash_free(&table);
    EXPECT_EQ(table.capacity, 0u);
}

}  // namespace

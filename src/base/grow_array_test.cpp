#include "base/grow_array.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// Values kept in order through every growth; room refused beyond the most
// asked for, the array then as it was; clear keeps the room, free gives it
// back.
TEST(GrowArray, KeepsEveryValueThroughGrowthAndRefusesBeyondItsMost)
{
    GrowArray<std::uint32_t> numbers;
    for (std::uint32_t i = 0; i < 1000; ++i)
        ASSERT_TRUE(numbers.append(i * 7, 4));
    ASSERT_EQ(numbers.size(), 1000u);
    EXPECT_EQ(numbers.capacity, 1024u);  // 4 doubled
    for (std::uint32_t i = 0; i < 1000; ++i)
        ASSERT_EQ(numbers[i], i * 7) << i;

    GrowArray<char> text;
    ASSERT_TRUE(text.append_all("abc", 4, 2, 8));
    EXPECT_STREQ(text.data(), "abc");
    EXPECT_FALSE(text.append_all("defgh", 5, 2, 8));  // 9 bytes: beyond 8
    EXPECT_EQ(text.size(), 4u);
    EXPECT_STREQ(text.data(), "abc");

    numbers.clear();
    EXPECT_EQ(numbers.size(), 0u);
    EXPECT_EQ(numbers.capacity, 1024u);
    numbers.free();
    text.free();
    EXPECT_EQ(numbers.data(), nullptr);
    EXPECT_EQ(numbers.capacity, 0u);
}

}  // namespace

#include "command/metrics/metrics.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string label(const char *field, std::size_t size)
{
    char *text = nullptr;
    std::size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    label_value_to(out, field, size);
    std::fclose(out);
    std::string value(text, len);
    std::free(text);
    return value;
}

// A label value is valid in the text format whatever bytes the file or the
// daemon held, and two names give two values: a backslash written as two,
// each byte that is no UTF-8 as "\xHH", then the text format's three escapes
// (a backslash once more).
TEST(MetricsLabel, AnyBytesGiveAValidValue)
{
    const struct {
        const char *field;
        std::size_t size;
        const char *expected;
    } cases[] = {
        {"vol db03", 33, "\"vol db03\""},
        {"a\"b\\c\nd", 33, "\"a\\\"b\\\\\\\\c\\nd\""},
        {"\xc3\xa9\x1b\t", 33, "\"\xc3\xa9\x1b\t\""},
        {"a\xff" "b\xe2\x82", 33, "\"a\\\\xff" "b\\\\xe2\\\\x82\""},
        {"a\\xff", 33, "\"a\\\\\\\\xff\""},
        {"sdb-and-more", 3, "\"sdb\""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(label(c.field, c.size), c.expected) << c.field;
}

}  // namespace

#include "base/json_string.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string written(void (*to)(FILE *, const char *, std::size_t), const char *field,
                    std::size_t size)
{
    char *text = nullptr;
    std::size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    to(out, field, size);
    std::fclose(out);
    std::string value(text, len);
    std::free(text);
    return value;
}

// One walk over a name's UTF-8, two escapings: the same pieces (a character
// as it stands, a piece that is no UTF-8, an ASCII character the format
// escapes) as a JSON string and as a metrics label value.
TEST(QuotedString, OneWalkTwoEscapings)
{
    const struct {
        const char *field;
        std::size_t size;
        const char *json;
        const char *label;
    } cases[] = {
        {"vol_db01", 33, "\"vol_db01\"", "\"vol_db01\""},
        {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\xbe", 33, "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\xbe\"",
         "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x92\xbe\""},
        {"a\xff" "b", 33, "\"a\xef\xbf\xbd" "b\"", "\"a\\\\xff" "b\""},
        {"\xe2\x82" "x", 33, "\"\xef\xbf\xbd" "x\"", "\"\\\\xe2\\\\x82" "x\""},
        {"\xed\xa0\x80", 33, "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"",
         "\"\\\\xed\\\\xa0\\\\x80\""},
        {"\"\\\n", 33, "\"\\\"\\\\\\n\"", "\"\\\"\\\\\\\\\\n\""},
        {"\x1b\t", 33, "\"\\u001b\\t\"", "\"\x1b\t\""},
        {"sdb-and-more", 3, "\"sdb\"", "\"sdb\""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(written(json_string_to, c.field, c.size), c.json) << c.field;
        EXPECT_EQ(written(label_value_to, c.field, c.size), c.label) << c.field;
    }
}

}  // namespace

#include "command/listing/list_json.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

// Every name of one and two bytes, and every one of four bytes over the
// edges of UTF-8's ranges: escaped, and what is no UTF-8 replaced, byte for
// byte as the JSON library that wrote tald's document before does it.
TEST(ListJson, NamesAsTheLibraryWritesThem)
{
    std::vector<std::string> names;
    for (int a = 1; a < 256; ++a) {
        names.emplace_back(1, static_cast<char>(a));
        for (int b = 1; b < 256; ++b)
            names.push_back({static_cast<char>(a), static_cast<char>(b)});
    }
    const unsigned char edges[] = {0x01, 0x09, 0x1f, 0x22, 0x5c, 'a',  0x7f, 0x80, 0x8f, 0x90,
                                   0x9f, 0xa0, 0xbf, 0xc0, 0xc2, 0xdf, 0xe0, 0xe1, 0xed, 0xef,
                                   0xf0, 0xf4, 0xf5, 0xff};
    for (unsigned char a : edges)
        for (unsigned char b : edges)
            for (unsigned char c : edges)
                for (unsigned char d : edges)
                    names.push_back({static_cast<char>(a), static_cast<char>(b),
                                     static_cast<char>(c), static_cast<char>(d)});
    char *text = nullptr;
    std::size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    std::size_t from = 0;
    for (const std::string &name : names) {
        json_string_to(out, name.c_str(), name.size() + 1);
        std::fflush(out);
        const std::string expected =
            nlohmann::json(name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        ASSERT_EQ(std::string(text + from, len - from), expected) << testing::PrintToString(name);
        from = len;
    }
    std::fclose(out);
    std::free(text);
}

}  // namespace

#include "probe/grelt.hpp"

#include "probe/sg_io.hpp"
#include "trace/trace.hpp"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using Page = std::array<unsigned char, 255>;
using Bytes = std::vector<unsigned char>;

struct VerbosityGuard {
    int saved = log_verbosity;
    ~VerbosityGuard() { log_verbosity = saved; }
};

struct Descriptor {
    int code_set;
    int type;
    Bytes designator;
};

Bytes bytes_of(const std::string &text) { return Bytes(text.begin(), text.end()); }

std::string repeat(const std::string &text, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

/// A page 0x83 with the descriptors back to back and the page length set to
/// what they take.
Page page_of(const std::vector<Descriptor> &descriptors)
{
    Page page{};
    page[1] = 0x83;
    std::size_t at = 4;
    for (const Descriptor &d : descriptors) {
        page[at] = static_cast<unsigned char>(d.code_set);
        page[at + 1] = static_cast<unsigned char>(d.type);
        page[at + 3] = static_cast<unsigned char>(d.designator.size());
        std::copy(d.designator.begin(), d.designator.end(), page.begin() + at + 4);
        at += 4 + d.designator.size();
    }
    page[2] = static_cast<unsigned char>((at - 4) >> 8);
    page[3] = static_cast<unsigned char>((at - 4) & 0xff);
    return page;
}

const Descriptor kNaa = {1, 3, {0x61, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};

Page alias_page(const Bytes &alias) { return page_of({kNaa, {2, 0, alias}}); }

struct TextName {
    int result;
    std::string text;
    std::string trace;
};

TextName text_name_of(const Page &page, int verbosity = 0)
{
    VerbosityGuard guard;
    log_verbosity = verbosity;
    std::array<char, kTextNameSize> text;
    text.fill('#');
    testing::internal::CaptureStderr();
    int result = grelt_get_dev_text_name(page.data(), static_cast<int>(page.size()), text.data());
    std::string trace = testing::internal::GetCapturedStderr();
    // Everything after the text must be cleared, the whole field.
    std::size_t length = strnlen(text.data(), text.size());
    for (std::size_t i = length; i < text.size(); ++i)
        EXPECT_EQ(text[i], '\0') << "byte " << i << " of text_name";
    return {result, std::string(text.data(), length), trace};
}

TEST(GreltWwid, FirstDescriptorGivesWwidAndLunref)
{
    VerbosityGuard guard;
    log_verbosity = 7;
    Page page = alias_page(bytes_of("LUN_01"));
    char wwid[kWwidSize];
    pathinfo rec{};
    testing::internal::CaptureStderr();
    EXPECT_EQ(grelt_get_dev_wwid(page.data(), 255, wwid, sizeof wwid), 0);
    grelt_get_dev_ref_id(page.data(), 255, &rec);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[192] ENTRY\n[209] wwid: 36123456789abcdef\n[217] ENTRY\n[226] ref_id: 291\n");
    EXPECT_STREQ(wwid, "36123456789abcdef");
    EXPECT_EQ(rec.lunref, 291);
}

TEST(GreltWwid, DesignatorSamples)
{
    struct Case {
        int type_byte;
        Bytes designator;
        std::string wwid;
        int lunref;
    } const cases[] = {
        // Only the low four bits of byte 5 name the type; code set and
        // association are not looked at.
        {0x93, {0x60, 0x0a}, "3600a", 10},
        {0x08, {0xff, 0xff}, "8ffff", 1023},
        {0x02, {0x03, 0x00, 0x00}, "2030000", 768},
        {0x01, {0x07}, "107", 768},
        // 1 + 2 * 40 digits are cut to the field's 63 characters.
        {0x03, Bytes(40, 0xab), "3" + repeat("ab", 31), 939},
    };
    for (const Case &c : cases) {
        Page page = page_of({{1, c.type_byte, c.designator}});
        char wwid[kWwidSize];
        EXPECT_EQ(grelt_get_dev_wwid(page.data(), 255, wwid, sizeof wwid), 0);
        EXPECT_EQ(std::string(wwid), c.wwid) << "type byte " << c.type_byte;
        pathinfo rec{};
        grelt_get_dev_ref_id(page.data(), 255, &rec);
        EXPECT_EQ(rec.lunref, c.lunref) << c.wwid;
    }
}

// Devices whose page holds no designator byte must not all get the wwid of
// the bare type digit, which would merge them into one stored LUN.
TEST(GreltWwid, PagesWithoutDesignatorBytesNameNoLun)
{
    struct Case {
        int page_length;  // bytes 2-3
        int designator_length;  // byte 7
        int result;
        std::string wwid;
    } const cases[] = {
        {0, 8, -1, "untouched"},  {3, 8, -1, "untouched"}, {4, 8, -1, "untouched"},
        {12, 0, -1, "untouched"}, {5, 8, 0, "361"},         {6, 1, 0, "361"},
    };
    for (const Case &c : cases) {
        Page page = page_of({{1, 3, {0x61, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}}});
        page[2] = 0;
        page[3] = static_cast<unsigned char>(c.page_length);
        page[7] = static_cast<unsigned char>(c.designator_length);
        char wwid[kWwidSize];
        std::snprintf(wwid, sizeof wwid, "untouched");
        EXPECT_EQ(grelt_get_dev_wwid(page.data(), 255, wwid, sizeof wwid), c.result)
            << c.page_length << " " << c.designator_length;
        EXPECT_EQ(std::string(wwid), c.wwid) << c.page_length << " " << c.designator_length;
    }
}

TEST(GreltWwid, SmallDestinationsAreBoundedAndTerminated)
{
    Page page = page_of({kNaa});
    char wwid[6];
    std::memset(wwid, '#', sizeof wwid);
    EXPECT_EQ(grelt_get_dev_wwid(page.data(), 255, wwid, 5), 0);
    EXPECT_STREQ(wwid, "3612");
    EXPECT_EQ(wwid[5], '#');
    EXPECT_EQ(grelt_get_dev_wwid(page.data(), 255, wwid, 0), -1);
    EXPECT_EQ(grelt_get_dev_wwid(nullptr, 255, wwid, 5), -1);
}

TEST(GreltWwid, DesignatorIsCutAtTheEndOfThePage)
{
    // The first designator claims 200 bytes; the page length says 12, and
    // the buffer holds junk after the page. Only the 8 bytes of the page
    // belong to the wwid.
    Page page{};
    page.fill(0xee);
    const unsigned char head[] = {0x00, 0x83, 0x00, 0x0c, 0x01, 0x03, 0x00, 200,
                                  0x61, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
    std::memcpy(page.data(), head, sizeof head);
    char wwid[kWwidSize];
    EXPECT_EQ(grelt_get_dev_wwid(page.data(), 255, wwid, sizeof wwid), 0);
    EXPECT_STREQ(wwid, "36123456789abcdef");

    // A page that ends inside the first designator: its missing second byte
    // counts as 0 for the lunref.
    page[3] = 5;
    EXPECT_EQ(grelt_get_dev_wwid(page.data(), 255, wwid, sizeof wwid), 0);
    EXPECT_STREQ(wwid, "361");
    pathinfo rec{};
    grelt_get_dev_ref_id(page.data(), 255, &rec);
    EXPECT_EQ(rec.lunref, 256);

    // A page length beyond the buffer: the buffer's end bounds the designator.
    page[2] = 0x01;
    page[3] = 0x2c;
    page[7] = 255;
    EXPECT_EQ(grelt_get_dev_wwid(page.data(), 255, wwid, sizeof wwid), 0);
    EXPECT_EQ(std::string(wwid).substr(0, 17), "36123456789abcdef");
    EXPECT_EQ(std::strlen(wwid), 63u);
}

TEST(GreltControllerPort, TheFourValidReplies)
{
    VerbosityGuard guard;
    log_verbosity = 6;
    struct Case {
        std::array<unsigned char, 8> reply;
        int cp;
    } const cases[] = {
        {{0, 0, 0, 0, 0x01, 0x01, 0xf1, 0x00}, 0},
        {{0, 0, 0, 0, 0x02, 0x01, 0xf1, 0x00}, 1},
        {{0, 0, 0, 0, 0x01, 0x02, 0x00, 0xf1}, 2},
        {{0, 0, 0, 0, 0x02, 0x02, 0x00, 0xf1}, 3},
    };
    for (const Case &c : cases) {
        int cp = 99;
        testing::internal::CaptureStderr();
        EXPECT_EQ(grelt_get_controller_port(c.reply.data(), 8, &cp), 0);
        EXPECT_EQ(cp, c.cp);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "[65] controller_port: " + std::to_string(c.cp) + "; ret: 0\n");
    }
}

TEST(GreltControllerPort, InvalidReplies)
{
    VerbosityGuard guard;
    log_verbosity = 6;
    const std::array<unsigned char, 8> cases[] = {
        {0, 0, 0, 0, 0x01, 0x02, 0xf1, 0x00},  // controller 2, controller 1's marker
        {0, 0, 0, 0, 0x02, 0x01, 0x00, 0xf1},  // controller 1, controller 2's marker
        {0, 0, 0, 0, 0x03, 0x01, 0xf1, 0x00},  // port 3
        {0, 0, 0, 0, 0x00, 0x02, 0x00, 0xf1},  // port 0
        {0, 0, 0, 0, 0x01, 0x00, 0xf1, 0xf1},  // controller 0
        {0, 0, 0, 0, 0x01, 0x03, 0xf1, 0xf1},  // controller 3
        {0, 0, 0, 0, 0x01, 0x01, 0xf0, 0x00},  // marker off by one
        {},
    };
    for (const auto &reply : cases) {
        int cp = 99;
        testing::internal::CaptureStderr();
        EXPECT_EQ(grelt_get_controller_port(reply.data(), 8, &cp), -1);
        EXPECT_EQ(cp, -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "[65] controller_port: -1; ret: -1\n");
    }
}

/// The reply rule stated the other way round: controller c (byte 5) and
/// port p (byte 4) in 1..2, and c's marker in byte 5 + c.
int expected_cp(const std::array<unsigned char, 8> &reply)
{
    int c = reply[5], p = reply[4];
    if (c < 1 || c > 2 || p < 1 || p > 2 || reply[5 + c] != 0xf1)
        return -1;
    return (c - 1) * 2 + (p - 1);
}

TEST(GreltControllerPort, SweepEveryByteOfEveryValidReply)
{
    const std::array<unsigned char, 8> valid[] = {
        {0, 0, 0, 0, 0x01, 0x01, 0xf1, 0x00},
        {0x11, 0x22, 0x33, 0x44, 0x02, 0x01, 0xf1, 0xf1},
        {0, 0, 0, 0, 0x01, 0x02, 0x00, 0xf1},
        {0xff, 0xff, 0xff, 0xff, 0x02, 0x02, 0xf1, 0xf1},
    };
    int changed_outcomes = 0;
    for (const auto &base : valid) {
        for (int index = 0; index < 8; ++index) {
            for (int value = 0; value < 256; ++value) {
                std::array<unsigned char, 8> reply = base;
                reply[index] = static_cast<unsigned char>(value);
                int expected = expected_cp(reply);
                int cp = 99;
                int result = grelt_get_controller_port(reply.data(), 8, &cp);
                ASSERT_EQ(cp, expected) << "byte " << index << " value " << value;
                ASSERT_EQ(result, expected < 0 ? -1 : 0);
                changed_outcomes += expected != expected_cp(base);
            }
        }
    }
    // Bytes 0-3 and the other controller's marker never matter; any new value
    // of the port, the controller or its marker changes the outcome.
    EXPECT_EQ(changed_outcomes, 4 * 3 * 255);
}

TEST(GreltControllerPort, ShortRepliesAreNotRead)
{
    const unsigned char full[8] = {0, 0, 0, 0, 0x01, 0x01, 0xf1, 0x00};
    for (int size = 0; size < 8; ++size) {
        auto reply = std::make_unique<unsigned char[]>(static_cast<std::size_t>(size));
        std::memcpy(reply.get(), full, static_cast<std::size_t>(size));
        int cp = 99;
        EXPECT_EQ(grelt_get_controller_port(reply.get(), size, &cp), -1) << size;
        EXPECT_EQ(cp, -1);
    }
}

TEST(GreltTextName, AliasSamples)
{
    std::string n32 = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    struct Case {
        Bytes alias;
        int result;
        std::string text;
    } const cases[] = {
        {bytes_of("LUN 01    "), 1, "LUN_01"},
        {bytes_of("  DB  LOG "), 1, "__DB__LOG"},
        {bytes_of(n32), 1, n32},
        {bytes_of(n32 + "6"), 1, n32},
        {bytes_of("ARCHIVE VOLUME ONE OF THE SITE   X"), 1, "ARCHIVE_VOLUME_ONE_OF_THE_SITE"},
        {bytes_of(std::string(30, ' ') + "LOG  "), 1, std::string(30, '_') + "LO"},
        {bytes_of("X"), 1, "X"},
        {bytes_of("      "), 0, "???"},
        {bytes_of(std::string(40, ' ')), 0, "???"},
        // Short blank or empty designators get the whole placeholder.
        {bytes_of("  "), 0, "???"},
        {bytes_of(" "), 0, "???"},
        {{}, 0, "???"},
        // A NUL ends the alias; the blank before it counts as an inner one.
        {{'A', 'B', 0, 'C', 'D'}, 1, "AB"},
        {{'A', ' ', 0, ' '}, 1, "A_"},
        {{0, 'A', 'B'}, 0, "???"},
        // Control and non-ASCII bytes never get through.
        {{'L', 'U', 0x01, 'N', 0x7f}, 1, "LU_N_"},
        {{0x1b, '[', '3', '1', 'm', 'X'}, 1, "_[31mX"},
        {{'D', 'B', 0x80, 0xff, '\n'}, 1, "DB___"},
        {{'A', ' ', '\t', ' ', ' '}, 1, "A__"},
        {{'\r'}, 1, "_"},
        {{0x7e, 0x20, 0x21}, 1, "~_!"},
    };
    for (const Case &c : cases) {
        TextName got = text_name_of(alias_page(c.alias));
        std::string label(c.alias.begin(), c.alias.end());
        EXPECT_EQ(got.result, c.result) << "alias \"" << label << "\"";
        EXPECT_EQ(got.text, c.text) << "alias \"" << label << "\"";
    }
}

TEST(GreltTextName, Traces)
{
    struct Case {
        std::string alias;
        std::string trace;
    } const cases[] = {
        {"LUN 01    ",
         "[144] Alias length = 10\n[146] Alias is LUN 01    \n[180] text_name[11]: \"LUN_01\"\n"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345",
         "[144] Alias length = 32\n[146] Alias is ABCDEFGHIJKLMNOPQRSTUVWXYZ012345\n"
         "[180] text_name[33]: \"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345\"\n"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456",
         "[136] Alias too long, truncating\n[144] Alias length = 32\n"
         "[146] Alias is ABCDEFGHIJKLMNOPQRSTUVWXYZ012345\n"
         "[180] text_name[33]: \"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345\"\n"},
        {"      ", "[144] Alias length = 6\n[146] Alias is " + std::string(6, ' ') +
                       "\n[176] Alias all blanks\n"},
    };
    for (const Case &c : cases) {
        TextName got = text_name_of(alias_page(bytes_of(c.alias)), 6);
        std::string search = "[78] Analyzing page code 83\n[95] CodeSet 1, Identifier type 3\n"
                             "[95] CodeSet 2, Identifier type 0\n"
                             "[101] Found ASCII vendor specific identifier.\n";
        EXPECT_EQ(got.trace, search + c.trace) << c.alias;
    }
}

TEST(GreltTextName, ShortPageLengthGivesThePlaceholder)
{
    // Only byte 3 counts, compared unsigned; byte 2 is not consulted.
    const std::array<unsigned char, 2> lengths[] = {{0x00, 0x00}, {0x00, 0x0c}, {0x01, 0x0c},
                                                    {0x00, 0x08}};
    for (const auto &length : lengths) {
        Page page = alias_page(bytes_of("LUN_01"));
        page[2] = length[0];
        page[3] = length[1];
        TextName got = text_name_of(page, 6);
        EXPECT_EQ(got.result, 0);
        EXPECT_EQ(got.text, "???");
        EXPECT_EQ(got.trace, "[123] Problem getting Alias, using blank\n");
    }
}

TEST(GreltTextName, PageLongerThanTheBuffer)
{
    Page page = alias_page(bytes_of("LUN_01"));
    page[2] = 0x01;
    page[3] = 0x2c;
    TextName got = text_name_of(page, 6);
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.text, "???");
    EXPECT_EQ(got.trace,
              "[78] Analyzing page code 83\n[82] pageLength 300 will not fit into buffer of size "
              "255\n[176] Alias all blanks\n");

    char wwid[kWwidSize];
    EXPECT_EQ(grelt_get_dev_wwid(page.data(), 255, wwid, sizeof wwid), 0);
    EXPECT_STREQ(wwid, "36123456789abcdef");
    pathinfo rec{};
    grelt_get_dev_ref_id(page.data(), 255, &rec);
    EXPECT_EQ(rec.lunref, 291);
}

TEST(GreltTextName, PageLengthsUpToTheBuffer)
{
    // A page padded with vendor-specific filler up to length P; the alias
    // comes second. Low bytes of 128 and more must not pass for small ones,
    // and P + 4 up to the buffer's 255 bytes still fits.
    struct Case {
        int length;
        int result;
        std::string text;
    } const cases[] = {
        {0x80, 1, "LUN_01"}, {0xf0, 1, "LUN_01"}, {251, 1, "LUN_01"},
        {252, 0, "???"},     {255, 0, "???"},     {0x10d, 0, "???"},
    };
    for (const Case &c : cases) {
        Page page = page_of({kNaa, {2, 0, bytes_of("LUN 01")}});
        int filler = 4 + 12 + 10;
        page[filler] = 1;
        page[filler + 1] = 0;
        page[filler + 3] = static_cast<unsigned char>(std::min(c.length, 251) - (filler - 4) - 4);
        page[2] = static_cast<unsigned char>(c.length >> 8);
        page[3] = static_cast<unsigned char>(c.length & 0xff);
        TextName got = text_name_of(page, 6);
        EXPECT_EQ(got.result, c.result) << c.length;
        EXPECT_EQ(got.text, c.text) << c.length;
        bool too_long = c.length + 4 > 255;
        std::string line = "[82] pageLength " + std::to_string(c.length) +
                           " will not fit into buffer of size 255\n";
        EXPECT_EQ(got.trace.find(line) != std::string::npos, too_long) << got.trace;
    }
}

TEST(GreltTextName, NoAsciiVendorSpecificDescriptor)
{
    Page page = page_of({kNaa, {2, 1, bytes_of("VENDOR  PRODUCT ")}, {1, 0, bytes_of("ALIAS")}});
    TextName got = text_name_of(page, 6);
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.text, "???");
    EXPECT_EQ(got.trace, "[78] Analyzing page code 83\n[95] CodeSet 1, Identifier type 3\n"
                         "[95] CodeSet 2, Identifier type 1\n[95] CodeSet 1, Identifier type 0\n"
                         "[106] Did not find ASCII vendor specific identifier.\n"
                         "[176] Alias all blanks\n");
}

TEST(GreltAsciiDescriptor, FirstMatchWinsAndOnlyLowBitsCount)
{
    Page page = page_of({kNaa, {0x52, 0x10, bytes_of("FIRST")}, {2, 0, bytes_of("SECOND")}});
    const unsigned char *found = grelt_get_ascii_descriptor(page.data(), 255);
    EXPECT_EQ(found, page.data() + 16);
    EXPECT_EQ(text_name_of(page).text, "FIRST");

    EXPECT_EQ(grelt_get_ascii_descriptor(page.data(), 20), nullptr);
    EXPECT_EQ(grelt_get_ascii_descriptor(page.data(), 3), nullptr);
}

TEST(GreltTextName, AliasIsCutAtTheEndOfThePage)
{
    // The alias descriptor claims 32 bytes, the page ends 5 bytes into it,
    // and the buffer holds junk after the page.
    Page page = alias_page(bytes_of("ABCDE"));
    for (std::size_t i = 25; i < page.size(); ++i)
        page[i] = 'X';
    page[19] = 32;
    TextName got = text_name_of(page, 6);
    EXPECT_EQ(got.result, 1);
    EXPECT_EQ(got.text, "ABCDE");
    EXPECT_NE(got.trace.find("[144] Alias length = 5\n"), std::string::npos) << got.trace;
}

/// Every decoder on the first `size` bytes of `page`, in a heap block of
/// exactly that size so that the sanitizer build sees any read past it.
void decode_truncated(const Page &page, int size)
{
    auto buf = std::make_unique<unsigned char[]>(static_cast<std::size_t>(size));
    std::memcpy(buf.get(), page.data(), static_cast<std::size_t>(size));
    char wwid[kWwidSize];
    // Only a page that holds at least one designator byte names a LUN.
    int end = size >= 4 ? std::min(page[2] * 256 + page[3] + 4, size) : 0;
    bool named = size > 8 && page[7] > 0 && end > 8;
    std::snprintf(wwid, sizeof wwid, "untouched");
    EXPECT_EQ(grelt_get_dev_wwid(buf.get(), size, wwid, sizeof wwid), named ? 0 : -1);
    if (named) {
        EXPECT_LE(std::strlen(wwid), 1u + 2u * static_cast<unsigned>(size - 8));
    } else {
        EXPECT_STREQ(wwid, "untouched");
    }
    pathinfo rec{};
    grelt_get_dev_ref_id(buf.get(), size, &rec);
    EXPECT_GE(rec.lunref, 0);
    EXPECT_LE(rec.lunref, 1023);
    grelt_get_ascii_descriptor(buf.get(), size);
    char text[kTextNameSize];
    int result = grelt_get_dev_text_name(buf.get(), size, text);
    EXPECT_TRUE(result == 0 || result == 1);
    EXPECT_LT(strnlen(text, sizeof text), sizeof text);
    if (result == 0) {
        EXPECT_STREQ(text, "???");
    }
}

TEST(GreltDecoders, TruncationSweepNeverReadsPastTheBuffer)
{
    VerbosityGuard guard;
    log_verbosity = 0;
    Page lying{};
    // Page length 251 fits the buffer; the descriptors claim the maximum.
    lying = page_of({kNaa, {2, 0, bytes_of("LUN_01")}});
    lying[2] = 0x00;
    lying[3] = 251;
    lying[7] = 255;
    Page alias_last = alias_page(bytes_of("A LONG ALIAS THAT IS CUT"));
    alias_last[2] = 0x00;
    alias_last[3] = 251;
    alias_last[19] = 255;
    Page junk{};
    junk.fill(0xff);
    junk[2] = 0x00;
    junk[3] = 0xfb;
    junk[4] = 0x02;
    junk[5] = 0x00;
    const Page pages[] = {alias_page(bytes_of("LUN_01")), lying, alias_last, junk};
    for (const Page &page : pages) {
        for (int size = 0; size <= 255; ++size) {
            SCOPED_TRACE(size);
            decode_truncated(page, size);
            // The same page cut short by a device that set its page length to
            // match, while the designators still claim their full lengths.
            Page cut = page;
            if (size >= 4) {
                cut[2] = static_cast<unsigned char>((size - 4) >> 8);
                cut[3] = static_cast<unsigned char>((size - 4) & 0xff);
            }
            decode_truncated(cut, size);
        }
    }
}

TEST(GreltInfo, NullRecord)
{
    VerbosityGuard guard;
    log_verbosity = 3;
    testing::internal::CaptureStderr();
    EXPECT_EQ(grelt_info("/dev/sdb", nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[253] NULL Pointer: pathinfo\n");
}

// expect_read_only_opens NODE: inotify sees each of the probe's opens of
// NODE closed without a write.
void expect_read_only_opens(const char *dev)
{
    int host = 0, channel = 0, id = 0, lun = 0, duration = 0;
    unsigned char buf[8] = {};
    const unsigned char cdb[6] = {0x12, 0, 0, 0, 8, 0};
    pathinfo rec;
    struct Case {
        const char *name;
        std::function<void()> run;
    };
    const Case cases[] = {
        {"the whole probe", [&] { grelt_info(dev, &rec); }},
        {"the address", [&] { sg_io_get_scsi_addr(dev, &host, &channel, &id, &lun); }},
        {"the latency", [&] { sg_io_get_cmd_latency(dev, 1000, &duration); }},
        {"one command", [&] { sg_io_do_command(dev, cdb, 6, buf, 8); }},
        {"the probe's node", [&] { close(sg_io_open_node(dev)); }},
    };
    for (const Case &c : cases) {
        int in = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(in, 0);
        ASSERT_GE(inotify_add_watch(in, dev, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE), 0);
        c.run();
        alignas(inotify_event) char events[4096];
        ssize_t got = read(in, events, sizeof events);
        int writes = 0, reads = 0;
        for (ssize_t at = 0; at < got;) {
            const auto *e = reinterpret_cast<const inotify_event *>(events + at);
            writes += (e->mask & IN_CLOSE_WRITE) != 0 ? 1 : 0;
            reads += (e->mask & IN_CLOSE_NOWRITE) != 0 ? 1 : 0;
            at += static_cast<ssize_t>(sizeof *e + e->len);
        }
        close(in);
        EXPECT_EQ(writes, 0) << dev << ": " << c.name;
        EXPECT_GE(reads, 1) << dev << ": " << c.name;
    }
}

// udev watches every disk and answers the close of a descriptor opened for
// writing with a change uevent and a whole run of the disk's rules; the
// probe runs at every path check of multipathd, so each of its opens must be
// read-only. A plain file stands for the node: the opens and closes are the
// same, the commands fail. A FIFO without a writer must not make a read-only
// open wait for one (the alarm ends the test should it hang).
TEST(SgIoNode, EveryOpenIsReadOnly)
{
    const char *tmp = std::getenv("TEST_TMPDIR");
    std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/tald-node-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::string file = dir + "/node", fifo = dir + "/fifo";
    std::ofstream(file) << "not a disk\n";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    VerbosityGuard guard;
    log_verbosity = 0;
    alarm(30);
    for (const std::string &node : {file, fifo})
        expect_read_only_opens(node.c_str());
    alarm(0);
    unlink(file.c_str());
    unlink(fifo.c_str());
    rmdir(dir.c_str());
}

}  // namespace

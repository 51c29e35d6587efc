// The native entry as journald reads it: plain fields, a value with a line
// feed in the binary form, a field that does not fit left out whole.

#include "journal/journal_send.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(JournalEntry, FieldsAreWrittenAsJournaldReadsThem)
{
    struct Case {
        const char *title;
        std::string value;
        std::string bytes;
    } cases[] = {
        {"plain", "volA", "TALD_ALIAS=volA\n"},
        {"empty", "", "TALD_ALIAS=\n"},
        {"a line feed", "a\nb", std::string("TALD_ALIAS\n\x03\0\0\0\0\0\0\0a\nb\n", 23)},
    };
    for (const Case &c : cases) {
        JournalEntry e;
        journal_field(&e, "TALD_ALIAS", c.value.c_str());
        EXPECT_EQ(std::string(e.bytes, e.len), c.bytes) << c.title;
        EXPECT_FALSE(e.cut) << c.title;
    }
    // A field that does not fit is left out whole, the ones before kept.
    JournalEntry e;
    journal_field(&e, "A", "1");
    std::string big(kJournalEntrySize, 'x');
    journal_field(&e, "B", big.c_str());
    EXPECT_EQ(std::string(e.bytes, e.len), "A=1\n");
    EXPECT_TRUE(e.cut);
    // No journal there: a status, no signal.
    EXPECT_EQ(journal_send(e, "/nonexistent/journal/socket"), -ENOENT);
}

}  // namespace

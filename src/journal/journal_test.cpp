// The native entry as journald reads it: plain fields, a value with a line
// feed in the binary form, a field that does not fit left out whole.

#include "journal/journal_send.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

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

// A journal that is there but full drops the entry at once: syslog's send
// would wait for the same journal, with the caller's lock held.
TEST(JournalEntry, AFullJournalDropsTheEntryWithoutWaiting)
{
    const char *tmp = std::getenv("TEST_TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/tald-journal-XXXXXX";
    ASSERT_LT(pattern.size(), sizeof(sockaddr_un{}.sun_path) - 16);
    std::string made = pattern;
    ASSERT_NE(mkdtemp(made.data()), nullptr);
    std::string path = made + "/socket";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    JournalEntry e;
    journal_field(&e, "MESSAGE", "x");
    int sent = 0;
    while (journal_send(e, path.c_str()) == 0 && sent < 100000)
        ++sent;
    EXPECT_GT(sent, 0);
    EXPECT_EQ(journal_send(e, path.c_str()), -EAGAIN);
    EXPECT_EQ(journal_or_syslog(e, path.c_str(), 5, "x"), kToldDropped);
    close(fd);
    unlink(path.c_str());
    rmdir(made.c_str());
}

}  // namespace

// The reply parser: rows of `show paths format` and the path groups of
// `show maps json`, as built here and as each Debian release's multipathd
// wrote them in the real-kernel guest (testdata/RELEASE/, recorded by
// tools/guest/replies.sh).

#include "command/daemon_reply.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct RowCase {
    std::string line;
    bool row;
    std::string dev = "";
    int prio = 0;
    std::string checker = "";
    std::string dm = "";
    std::string map = "";
};

TEST(DaemonReply, PathRows)
{
    const std::vector<RowCase> cases = {
        // header and padding as the daemon aligns its columns
        {"dev|dev_t|uuid                              |pri|chk_st|dm_st |multipath", false},
        {"sdb|8:16 |36001405000000000000000000000002 |3  |ready |active|36001405000000000000000000000002",
         true, "sdb", 3, "ready", "active", "36001405000000000000000000000002"},
        {"sdj|8:144|                                 |-1 |undef |undef |[orphan]", true, "sdj", -1,
         "undef", "undef", "[orphan]"},
        {"sdc|8:32|36001|8|i/o pending|failed|mpatha  ", true, "sdc", 8, "i/o pending", "failed",
         "mpatha"},
        {"sdc|8:32|36001|8|ready|active|mpatha\r", true, "sdc", 8, "ready", "active", "mpatha"},
        // what is not a row
        {"", false},
        {"fail", false},
        {"sdc|8:32|36001|8|ready|active", false},            // a field short
        {"sdc|8:32|36001|8|ready|active|m|x", false},        // a field more
        {"|8:32|36001|8|ready|active|m", false},             // no name
        {"sdc|8-32|36001|8|ready|active|m", false},          // no major:minor
        {"sdc|8:|36001|8|ready|active|m", false},
        {"sdc|8:32|36001|x|ready|active|m", false},          // no priority
        {"sdc|8:32|36001|1234567890|ready|active|m", false}, // no priority either
        {"sdc|8:32|36001||ready|active|m", false},
        {"sdc|8:32|36001|-|ready|active|m", false},
        {"sdc|8:32|36001|8|a state too long for it|active|m", false},
        {"a-device-name-longer-than-its-field|8:32|36001|8|ready|active|m", false},
        {std::string("sdc|8:32|360\0" "01|8|ready|active|m", 32), false},
    };
    for (const RowCase &c : cases) {
        DaemonPath p;
        ASSERT_EQ(daemon_path_row(c.line.data(), c.line.size(), &p), c.row) << c.line;
        if (!c.row)
            continue;
        EXPECT_EQ(p.dev, c.dev) << c.line;
        EXPECT_EQ(p.prio, c.prio) << c.line;
        EXPECT_EQ(p.checker, c.checker) << c.line;
        EXPECT_EQ(p.dm_state, c.dm) << c.line;
        EXPECT_EQ(p.map, c.map) << c.line;
        EXPECT_EQ(p.group, kGroupUnknown);
    }
}

TEST(DaemonReply, Refusals)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        {"fail\n", true},
        {"timeout\n", true},
        {"permission deny: need to be root\n", true},
        {"", false},
        {"dev|dev_t|uuid|pri|chk_st|dm_st|multipath\n", false},
        {"sdb|8:16|3600|3|ready|active|m\n", false},
        {"failed to do something|8:16|3600|3|ready|active|m\n", false},
    };
    for (const auto &[text, refused] : cases)
        EXPECT_EQ(daemon_reply_failed(text.data(), text.size()), refused) << text;
}

using Groups = std::map<std::string, DaemonGroup>;

void add_group(void *context, const char *dev, DaemonGroup group)
{
    (*static_cast<Groups *>(context))[dev] = group;
}

int groups_of(const std::string &text, Groups *groups)
{
    return daemon_groups(text.data(), text.size(), {add_group, groups});
}

TEST(DaemonReply, GroupsFromJson)
{
    const std::string json = R"({
   "major_version": 0, "minor_version": 1,
   "maps": [{
      "name" : "mpatha", "uuid" : "3600", "paths" : 2,
      "path_groups": [{
         "selector" : "service-time 0", "pri" : 4, "dm_st" : "active",
         "group" : 1,
         "paths": [{ "dev" : "sdb", "dev_t" : "8:16", "dm_st" : "active", "pri" : 4 }]
      },{
         "selector" : "service-time 0", "pri" : 3, "dm_st" : "enabled",
         "group" : 2,
         "paths": [{ "dev" : "sdc", "dm_st" : "active", "pri" : 3 },
                   { "dev" : "s\"d", "pri" : 3 }]
      }]
   },{
      "name" : "empty", "path_groups": [], "dev" : "sdz"
   }]
}
)";
    Groups groups;
    EXPECT_EQ(groups_of(json, &groups), 0);
    EXPECT_EQ(groups, (Groups{{"sdb", kGroupActive}, {"sdc", kGroupInactive}, {"s\\\"d", kGroupInactive}}));

    // Not JSON as far as the walk goes: what came before stays visited.
    const std::vector<std::string> broken = {
        "", "{", "}", "[[]", "{\"a\": @}", "{\"a\": \"open", std::string(40, '['),
    };
    for (const std::string &text : broken) {
        Groups none;
        EXPECT_EQ(groups_of(text, &none), -1) << text;
        EXPECT_TRUE(none.empty()) << text;
    }
}

/// Every cut of `text` (a heap copy of exactly that length, so that a read
/// past it is caught by the sanitizer build) read as rows and as JSON.
void sweep_cuts(const std::string &text)
{
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        std::vector<char> bytes(text.begin(), text.begin() + static_cast<long>(cut));
        const char *data = bytes.empty() ? "" : bytes.data();
        std::size_t pos = 0;
        const char *line = nullptr;
        std::size_t n = 0;
        while (daemon_next_line(data, cut, &pos, &line, &n)) {
            DaemonPath p;
            daemon_path_row(line, n, &p);
        }
        daemon_reply_failed(data, cut);
        Groups groups;
        int rc = daemon_groups(data, cut, {add_group, &groups});
        EXPECT_TRUE(rc == 0 || cut < text.size()) << cut;
    }
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

/// Every row of a reply, as "dev prio checker dm_state map".
std::vector<std::string> rows_of(const std::string &text)
{
    std::vector<std::string> rows;
    std::size_t pos = 0;
    const char *line = nullptr;
    std::size_t n = 0;
    while (daemon_next_line(text.data(), text.size(), &pos, &line, &n)) {
        DaemonPath p;
        if (daemon_path_row(line, n, &p))
            rows.push_back(std::string(p.dev) + " " + std::to_string(p.prio) + " " + p.checker +
                           " " + p.dm_state + " " + p.map);
    }
    return rows;
}

}  // namespace

// The reply parser: rows of `show paths format` and the path groups of
// `show maps json`, as built here and as each Debian release's multipathd
// wrote them in the real-kernel guest (testdata/RELEASE/, recorded by
// tools/guest/replies.sh).

#include "daemon/daemon_reply.hpp"

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
    std::vector<int> address = {};
};

TEST(DaemonReply, PathRows)
{
    const std::vector<RowCase> cases = {
        // header and padding as the daemon aligns its columns
        {"dev|dev_t|hcil   |uuid                              |pri|chk_st|dm_st |multipath", false},
        {"sdb|8:16 |2:0:0:1|36001405000000000000000000000002 |3  |ready |active|36001405000000000000000000000002",
         true, "sdb", 3, "ready", "active", "36001405000000000000000000000002", {2, 0, 0, 1}},
        {"sdj|8:144|#:#:#:#|                                 |-1 |undef |undef |[orphan]", true, "sdj",
         -1, "undef", "undef", "[orphan]", {-1, -1, -1, -1}},
        {"sdc|8:32|10:1:2:16383|36001|8|i/o pending|failed|mpatha  ", true, "sdc", 8, "i/o pending",
         "failed", "mpatha", {10, 1, 2, 16383}},
        {"sdc|8:32|3:0:0:1|36001|8|ready|active|mpatha\r", true, "sdc", 8, "ready", "active",
         "mpatha", {3, 0, 0, 1}},
        // what is not a row
        {"", false},
        {"fail", false},
        {"sdc|8:32|3:0:0:1|36001|8|ready|active", false},      // a field short
        {"sdc|8:32|3:0:0:1|36001|8|ready|active|m|x", false},  // a field more
        {"|8:32|3:0:0:1|36001|8|ready|active|m", false},       // no name
        {"sdc|8-32|3:0:0:1|36001|8|ready|active|m", false},    // no major:minor
        {"sdc|8:|3:0:0:1|36001|8|ready|active|m", false},
        {"sdc|8:32|3:0:0|36001|8|ready|active|m", false},      // no h:c:t:l
        {"sdc|8:32|3:0:0:1:2|36001|8|ready|active|m", false},
        {"sdc|8:32|3:0:#:1|36001|8|ready|active|m", false},
        {"sdc|8:32|3:0:0:1|36001|x|ready|active|m", false},    // no priority
        {"sdc|8:32|3:0:0:1|36001|1234567890|ready|active|m", false},  // no priority either
        {"sdc|8:32|3:0:0:1|36001||ready|active|m", false},
        {"sdc|8:32|3:0:0:1|36001|-|ready|active|m", false},
        {"sdc|8:32|3:0:0:1|36001|8|a state too long for it|active|m", false},
        {"a-device-name-longer-than-its-field|8:32|3:0:0:1|36001|8|ready|active|m", false},
        {std::string("sdc|8:32|3:0:0:1|360\0" "01|8|ready|active|m", 40), false},
    };
    for (const RowCase &c : cases) {
        std::string line = c.line;
        DaemonPath p;
        ASSERT_EQ(daemon_path_row(line.data(), line.size(), &p), c.row) << c.line;
        if (!c.row) {
            EXPECT_EQ(line, c.line) << "a line that is no row is left as it was";
            continue;
        }
        EXPECT_EQ(p.dev, c.dev) << c.line;
        EXPECT_EQ(p.prio, c.prio) << c.line;
        EXPECT_EQ(p.checker, c.checker) << c.line;
        EXPECT_EQ(p.dm_state, c.dm) << c.line;
        EXPECT_EQ(p.map, c.map) << c.line;
        EXPECT_EQ((std::vector<int>{p.host, p.channel, p.id, p.lun}), c.address) << c.line;
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
        {"sdb|8:16|2:0:0:1|3600|3|ready|active|m\n", false},
        {"failed to do something|8:16|2:0:0:1|3600|3|ready|active|m\n", false},
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
      },{ "dm_st" : "disabled", "paths": [{ "dev" : "sdd" }]
      },{ "dm_st" : "undef", "paths": [{ "dev" : "sde" }]
      }]
   },{
      "name" : "empty", "path_groups": [], "dev" : "sdz"
   }]
}
)";
    Groups groups;
    EXPECT_EQ(groups_of(json, &groups), 0);
    EXPECT_EQ(groups, (Groups{{"sdb", kGroupActive}, {"sdc", kGroupEnabled}, {"s\\\"d", kGroupEnabled},
                              {"sdd", kGroupDisabled}, {"sde", kGroupUnknown}}));

    // Not JSON as far as the walk goes, or not the one object the daemon
    // writes (its refusals are bare words): what came before stays visited.
    const std::vector<std::string> broken = {
        "", "{", "}", "[[]", "{\"a\": @}", "{\"a\": \"open", std::string(40, '['),
        "fail\n", "timeout\n", "[]", "{} {}", "{}\nfail\n", "0",
    };
    for (const std::string &text : broken) {
        Groups none;
        EXPECT_EQ(groups_of(text, &none), -1) << text;
        EXPECT_TRUE(none.empty()) << text;
    }
}

/// Every cut of `text` (a heap copy of exactly that length, so that a read
/// past it is caught by the sanitizer build) read as rows and as JSON; a
/// `json` text walks to its end only when the cut keeps its last brace.
void sweep_cuts(const std::string &text, bool json)
{
    for (std::size_t cut = 0; cut <= text.size(); ++cut) {
        std::vector<char> bytes(text.begin(), text.begin() + static_cast<long>(cut));
        bytes.push_back('\0');  // what a reply read holds after its bytes
        char *data = bytes.data();
        std::size_t pos = 0;
        const char *line = nullptr;
        std::size_t n = 0;
        daemon_reply_failed(data, cut);
        while (daemon_next_line(data, cut, &pos, &line, &n)) {
            DaemonPath p;
            daemon_path_row(data + (line - data), n, &p);
        }
        Groups groups;
        int rc = daemon_groups(data, cut, {add_group, &groups});
        if (json) {
            EXPECT_EQ(rc, cut > text.rfind('}') ? 0 : -1) << cut;
        }
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
std::vector<std::string> rows_of(std::string text)
{
    std::vector<std::string> rows;
    std::size_t pos = 0;
    const char *line = nullptr;
    std::size_t n = 0;
    while (daemon_next_line(text.data(), text.size(), &pos, &line, &n)) {
        DaemonPath p;
        if (daemon_path_row(text.data() + (line - text.data()), n, &p))
            rows.push_back(std::string(p.dev) + " " + std::to_string(p.prio) + " " + p.checker +
                           " " + p.dm_state + " " + p.map);
    }
    return rows;
}

/// A reply recorded with the format before %i was asked, given the column
/// %i prints ("h:c:t:l", here the same for every row) after its second:
/// the fields tald reads now, in their order.
std::string with_address(const std::string &recorded)
{
    std::string text;
    std::size_t pos = 0;
    const char *line = nullptr;
    std::size_t n = 0;
    while (daemon_next_line(recorded.data(), recorded.size(), &pos, &line, &n)) {
        std::string row(line, n);
        std::size_t second = row.find('|', row.find('|') + 1);
        if (second != std::string::npos)
            row.insert(second, "|1:0:0:1");
        text += row + "\n";
    }
    return text;
}

/// The guest's paths as every release's multipathd shows them: LUN A on
/// sda..sdd, LUN B on sde..sdh, LUN C on sdi (READ BUFFER fails: priority
/// 0), and sdj (page 0x83 fails) in no map.
std::vector<std::string> guest_rows(const char *sda_checker, const char *sda_dm)
{
    const std::string a = "360011c7a550d00000000000000000002";
    const std::string b = "360021c7a550d00000000000000000003";
    return {
        "sda 3 " + std::string(sda_checker) + " " + sda_dm + " " + a,
        "sdb 4 ready active " + a,
        "sdc 1 ready active " + a,
        "sdd 2 ready active " + a,
        "sde 2 ready active " + b,
        "sdf 3 ready active " + b,
        "sdg 4 ready active " + b,
        "sdh 1 ready active " + b,
        "sdi 0 ready active 360031c7a550d00000000000000000004",
        "sdj -1 undef undef [orphan]",
    };
}

/// The releases whose replies testdata/ holds. The second dumps follow a
/// read through LUN A's map, which made sdb's group the active one, and an
/// offline sda, after which 0.11 and later load the map's table again (no
/// group active until the next I/O).
constexpr struct {
    const char *release;  ///< multipath-tools
    DaemonGroup sdb_after_io;
} kReleases[] = {
    {"bullseye", kGroupActive},  // 0.8.5
    {"bookworm", kGroupActive},  // 0.9.4
    {"trixie", kGroupEnabled},   // 0.11.1
    {"sid", kGroupEnabled},      // 0.15.1
};

// Each release's replies, recorded in the real-kernel guest: every path a
// row, the faulty path's states, the path groups of every map, the
// wildcards in the release's own list, and no crash at any cut.
TEST(DaemonReply, RecordedReplies)
{
    for (const auto &[release, sdb_after_io] : kReleases) {
        std::string dir = std::string(DAEMON_TESTDATA) + "/" + release + "/";
        std::string paths = with_address(read_file(dir + "paths.txt"));
        std::string faulty = with_address(read_file(dir + "paths-faulty.txt"));
        ASSERT_FALSE(paths.empty()) << dir;
        EXPECT_EQ(rows_of(paths), guest_rows("ready", "active")) << release;
        EXPECT_EQ(rows_of(faulty), guest_rows("faulty", "failed")) << release;
        EXPECT_FALSE(daemon_reply_failed(paths.data(), paths.size())) << release;
        for (const char *json : {"maps-json.txt", "maps-json-faulty.txt"}) {
            Groups groups;
            EXPECT_EQ(groups_of(read_file(dir + json), &groups), 0) << release << " " << json;
            // Before any I/O through the maps no group is active.
            Groups expected;
            for (const char *dev : {"sda", "sdb", "sdc", "sdd", "sde", "sdf", "sdg", "sdh", "sdi"})
                expected[dev] = kGroupEnabled;
            if (std::string(json) == "maps-json-faulty.txt")
                expected["sdb"] = sdb_after_io;
            EXPECT_EQ(groups, expected) << release << " " << json;
        }
        // The wildcards used are the release's own.
        std::string wildcards = read_file(dir + "wildcards.txt");
        for (const char *w : {"%d  dev\n", "%D  dev_t\n", "%i  hcil\n", "%w  uuid\n", "%p  pri\n",
                              "%T  chk_st\n", "%t  dm_st\n", "%m  multipath\n"})
            EXPECT_NE(wildcards.find(w), std::string::npos) << release << " " << w;
        sweep_cuts(paths, false);
        sweep_cuts(read_file(dir + "maps-json.txt"), true);
    }
}

}  // namespace

// The journal's entries under the simulated array: the simulator sends what
// goes to the journal's socket to one in the test's state directory, where
// the test listens. Every change tald makes gives one entry per path with
// its fields; the look gives one per LUN whose side changed, and keeps its
// state in the test's stand-in for /run/tald, refusing one it cannot trust.

#include "harness.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <cstdio>
#include <cstring>

namespace e2e {
namespace {

const Lun kA{1, 0x31, "volA"};
const Path kA0{"/dev/sdb", 2, 0, 0, 1, 0};
const Path kA1{"/dev/sdc", 3, 0, 0, 1, 1};
const Path kA2{"/dev/sdd", 2, 0, 1, 1, 2};
const Path kA3{"/dev/sde", 3, 0, 1, 1, 3};

int d(int cp) { return default_for(cp, kA.lunref); }

using Entry = std::map<std::string, std::string>;

/// The fields of one native entry (the binary form of a value included).
Entry parse_entry(const std::string &bytes)
{
    Entry e;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t nl = bytes.find('\n', pos);
        std::string line = bytes.substr(pos, nl - pos);
        std::size_t eq = line.find('=');
        if (eq != std::string::npos) {
            e[line.substr(0, eq)] = line.substr(eq + 1);
            pos = nl + 1;
            continue;
        }
        std::uint64_t len = 0;
        for (int i = 0; i < 8; ++i)
            len |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[nl + 1 + i])) << (8 * i);
        e[line] = bytes.substr(nl + 9, len);
        pos = nl + 9 + len + 1;
    }
    return e;
}

class Journal : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scenario(node_text(kA, kA0) + node_text(kA, kA1) + node_text(kA, kA2) + node_text(kA, kA3));
        write_state(conf_line(wwid_of(kA), kA.alias,
                              {{0, 0, kA0, 8}, {1, 0, kA1, d(1)}, {2, 0, kA2, 6}, {3, 0, kA3, d(3)}}));
        listen_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        std::string path = state_ + "/journal.socket";
        ASSERT_LT(path.size(), sizeof a.sun_path);
        std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(bind(listen_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        daemon_ = dir_ + "/daemon";
        std::filesystem::create_directory(daemon_);
        extra_env_ = {std::string("LD_LIBRARY_PATH=") + FAKE_MPATHCMD_DIR,
                      "FAKE_MPATHD_DIR=" + daemon_};
    }
    void TearDown() override
    {
        close(listen_);
        SimTest::TearDown();
    }
    /// The entries sent since the last call.
    std::vector<Entry> entries()
    {
        std::vector<Entry> out;
        char buf[65536];
        for (;;) {
            ssize_t n = recv(listen_, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0)
                return out;
            out.push_back(parse_entry(std::string(buf, static_cast<std::size_t>(n))));
        }
    }
    void put(const std::string &name, const std::string &text) const
    {
        std::ofstream(daemon_ + "/" + name) << text;
    }
    std::string run_dir() const { return state_ + "/run-tald"; }
    int listen_ = -1;
    std::string daemon_;
};

/// The lines of a plan that a command printed, "  PORT DEV H:C:T:L: A -> B".
std::vector<std::string> plan_lines(const std::string &out)
{
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("  C", 0) == 0)
            lines.push_back(line.substr(2));
    return lines;
}

// Set, reset, apply, drain and restore: one entry per path changed, whose
// message repeats the change as the command printed it, with every field
// and the kind's own message id.
TEST_F(Journal, EveryChangeGivesOneEntryPerPathWithItsFields)
{
    const std::string wwid = wwid_of(kA);
    std::string doc = dir_ + "/doc.json";
    std::ofstream(doc) << R"({"luns": [{"wwid": ")" + wwid + R"(", "ports": {"C1P1": 5}}]})";
    struct Case {
        std::vector<std::string> args;
        const char *command;
        const char *id;
        std::vector<std::string> changes;  ///< empty: as the plan printed
    } cases[] = {
        {{"--prio", "--set", "/dev/sdc", "7"}, "set", "0ce403e8940248dba4454d3455be3c7f",
         {"C0P1 /dev/sdc 3:0:0:1: " + std::to_string(d(1)) + " -> 7"}},
        {{"--prio", "--set", "/dev/sdb", "0"}, "reset", "5ef124f0c17a438aa8e5cdbadc157334",
         {"C0P0 /dev/sdb 2:0:0:1: 8 -> " + std::to_string(d(0)) + " (default)"}},
        {{"--apply", doc}, "apply", "6deb9c401ec24ceb9f793d37a20edb5c", {}},
        {{"--drain", "C1"}, "drain", "497da4bfb1114e13ae70c7fe116a7fa4", {}},
        {{"--restore"}, "restore", "ef79a2d40e644122944f89eead484627", {}},
    };
    for (const Case &c : cases) {
        Outcome o = run(kTald, c.args);
        ASSERT_EQ(o.status, std::string(c.command) == "apply" ? 2 : 0) << c.command << o.out << o.err;
        std::vector<std::string> changes = c.changes.empty() ? plan_lines(o.out) : c.changes;
        ASSERT_FALSE(changes.empty()) << c.command << ": " << o.out;
        std::vector<Entry> got = entries();
        ASSERT_EQ(got.size(), changes.size()) << c.command << ": " << o.out;
        for (std::size_t i = 0; i < got.size(); ++i) {
            Entry &e = got[i];
            std::smatch m;
            ASSERT_TRUE(std::regex_match(changes[i], m,
                std::regex(R"((C(\d)P\d) (\S+) (\S+): (\d) -> (\d)( \(default\))?)"))) << changes[i];
            EXPECT_EQ(e["MESSAGE"], std::string("tald ") + c.command + ": volA " + wwid + " " +
                                        m[1].str() + " " + m[3].str() + " " + m[4].str() +
                                        ": priority " + m[5].str() + " -> " + m[6].str() + m[7].str());
            EXPECT_EQ(e["MESSAGE_ID"], c.id);
            EXPECT_EQ(e["TALD_COMMAND"], c.command);
            EXPECT_EQ(e["TALD_WWID"], wwid);
            EXPECT_EQ(e["TALD_ALIAS"], "volA");
            EXPECT_EQ(e["TALD_PORT"], m[1].str());
            EXPECT_EQ(e["TALD_CONTROLLER"], "C" + m[2].str());
            EXPECT_EQ(e["TALD_DEVICE"], m[3].str());
            EXPECT_EQ(e["TALD_SCSI"], m[4].str());
            EXPECT_EQ(e["TALD_PRIO_BEFORE"], m[5].str());
            EXPECT_EQ(e["TALD_PRIO_AFTER"], m[6].str());
            EXPECT_EQ(e["PRIORITY"], "5");
            EXPECT_EQ(e["SYSLOG_IDENTIFIER"], "tald");
        }
    }
    // A refused set and a dry run change nothing and tell nothing.
    run(kTald, {"--prio", "--set", "/dev/sdc", "9"});
    std::ofstream(doc) << R"({"luns": [{"wwid": ")" + wwid + R"(", "ports": {"C1P1": 8}}]})";
    EXPECT_EQ(run(kTald, {"--apply", doc, "--dry-run"}).status, 2);
    EXPECT_TRUE(entries().empty());
}

const std::string kHeader = "dev|dev_t|hcil|uuid|pri|chk_st|dm_st|multipath\n";

/// multipathd's rows of LUN A's paths sdb (C0P0, 8) and sdd (C1P0, 6), sdb
/// in `sdb_state`.
std::string rows(const char *sdb_state)
{
    return kHeader + "sdb|8:16|2:0:0:1|" + wwid_of(kA) + "|8|ready|" + sdb_state + "|mpatha\n" +
           "sdd|8:48|2:0:1:1|" + wwid_of(kA) + "|6|ready|active|mpatha\n";
}

/// Its map's two groups, with their states.
std::string groups(const char *sdb_group, const char *sdd_group)
{
    return std::string(R"({"maps": [{"name": "mpatha", "path_groups": [{"dm_st": ")") + sdb_group +
           R"(", "paths": [{"dev": "sdb", "pri": 8}]}, {"dm_st": ")" + sdd_group +
           R"(", "paths": [{"dev": "sdd", "pri": 6}]}]}]})" "\n";
}

// One entry when the LUN leaves its preferred group (its path failed, the
// other group active), none while it stays there, one when it is back
// (the failed path usable again, no group active yet: the next I/O takes
// the highest); the state kept between looks.
TEST_F(Journal, TheLookTellsEachChangeOfSideOnce)
{
    const std::string wwid = wwid_of(kA);
    struct Step {
        const char *title;
        const char *sdb_state, *sdb_group, *sdd_group;
        const char *id;  ///< the entry's message id, or none
        char side;
    } steps[] = {
        {"first look, preferred", "active", "active", "enabled", nullptr, 'P'},
        {"preferred path failed", "failed", "enabled", "active", "f59cf751e03b4f7998c3d6bba04dc167", 'O'},
        {"no change", "failed", "enabled", "active", nullptr, 'O'},
        {"back, no group active", "active", "enabled", "enabled", "da3d54cdb82b4107ab3daac2ae504455", 'P'},
        {"no change again", "active", "active", "enabled", nullptr, 'P'},
    };
    for (const Step &s : steps) {
        put("paths.0", rows(s.sdb_state));
        put("maps.json", groups(s.sdb_group, s.sdd_group));
        Outcome o = run(kTald, {"--look"});
        EXPECT_EQ(o.status, 0) << s.title << o.err;
        EXPECT_EQ(o.err, "") << s.title;
        std::vector<Entry> got = entries();
        EXPECT_EQ(o.out, std::string("look: 1 LUN, ") + (s.id && s.side == 'O' ? "1" : "0") +
                             " left the preferred path group, " + (s.id && s.side == 'P' ? "1" : "0") +
                             " returned\n") << s.title;
        EXPECT_EQ(read_file(run_dir() + "/look"), wwid + " " + s.side + "\n") << s.title;
        ASSERT_EQ(got.size(), s.id ? 1u : 0u) << s.title;
        if (!s.id)
            continue;
        Entry &e = got[0];
        bool left = s.side == 'O';
        EXPECT_EQ(e["MESSAGE_ID"], s.id);
        EXPECT_EQ(e["TALD_WWID"], wwid);
        EXPECT_EQ(e["TALD_ALIAS"], "volA");
        EXPECT_EQ(e["TALD_COMMAND"], "look");
        EXPECT_EQ(e["TALD_PORT"], left ? "C1P0" : "C0P0");
        EXPECT_EQ(e["TALD_CONTROLLER"], left ? "C1" : "C0");
        EXPECT_EQ(e["TALD_DEVICE"], left ? "sdd" : "sdb");
        EXPECT_EQ(e["TALD_SCSI"], left ? "2:0:1:1" : "2:0:0:1");
        EXPECT_EQ(e["TALD_GROUP"], left ? "other" : "preferred");
        EXPECT_EQ(e["MESSAGE"],
                  left ? "tald: volA " + wwid + " left its preferred path group; I/O goes through "
                         "C1P0 (C1P0 sdd 2:0:1:1)"
                       : "tald: volA " + wwid + " is back on its preferred path group C0P0 (C0P0 "
                         "sdb 2:0:0:1)");
    }
}

// Every metrics run looks too, on the view it asked for anyway, and keeps
// the same state as "--look": a change is told once, by whichever comes
// first. A daemon that cannot be asked is no view: nothing told, the state
// kept as it was ("--look": status 3 and why).
TEST_F(Journal, TheMetricsAndTheLookTellEachChangeOnceBetweenThem)
{
    const std::string wwid = wwid_of(kA);
    struct Step {
        const char *title;
        const char *command;  ///< "--look" or "--metrics"
        bool refused;         ///< multipathd refuses every connect
        const char *sdb_state, *sdb_group, *sdd_group;
        int status;
        const char *err;
        const char *id;  ///< the entry's message id, or none
        char side;       ///< kept afterwards
    } steps[] = {
        {"metrics, preferred", "--metrics", false, "active", "active", "enabled", 0, "", nullptr, 'P'},
        {"metrics, the preferred path failed", "--metrics", false, "failed", "enabled", "active", 0,
         "", "f59cf751e03b4f7998c3d6bba04dc167", 'O'},
        {"look after it, no change", "--look", false, "failed", "enabled", "active", 0, "",
         nullptr, 'O'},
        {"look, daemon refuses", "--look", true, "active", "active", "enabled", 3,
         "multipathd: no daemon listening\n", nullptr, 'O'},
        {"metrics, daemon refuses", "--metrics", true, "active", "active", "enabled", 0, "",
         nullptr, 'O'},
        {"metrics, back", "--metrics", false, "active", "active", "enabled", 0, "",
         "da3d54cdb82b4107ab3daac2ae504455", 'P'},
    };
    for (const Step &s : steps) {
        put("paths.0", rows(s.sdb_state));
        put("maps.json", groups(s.sdb_group, s.sdd_group));
        if (s.refused)
            put("refuse", "");
        else
            std::filesystem::remove(daemon_ + "/refuse");
        Outcome o = run(kTald, {s.command});
        EXPECT_EQ(o.status, s.status) << s.title << o.err;
        EXPECT_EQ(o.err, s.err) << s.title;
        EXPECT_EQ(read_file(run_dir() + "/look"), wwid + " " + s.side + "\n") << s.title;
        std::vector<Entry> got = entries();
        ASSERT_EQ(got.size(), s.id ? 1u : 0u) << s.title;
        if (s.id) {
            EXPECT_EQ(got[0]["MESSAGE_ID"], s.id) << s.title;
        }
    }
}

/// A look's state of 65536 lines of 64 bytes (4 MiB, its limit), `more`
/// bytes of a further line after them.
void write_lines(const std::string &path, std::size_t more)
{
    std::ofstream out(path);
    char line[80];
    for (int i = 0; i < 65536; ++i) {
        std::snprintf(line, sizeof line, "3%060d P\n", i);
        out << line;
    }
    out << std::string(more, '3');
}

// The look's state where another user could have put something: a link or
// a directory open to others is refused and nothing is told; a kept file
// that is damaged, a link, no regular file or over 4 MiB is not read (nor
// followed, nor waited on) and is replaced by a file of the look's own.
TEST_F(Journal, TheLooksStateIsNeverTakenFromAnotherUser)
{
    put("paths.0", rows("failed"));
    put("maps.json", groups("enabled", "active"));
    const std::string outside = dir_ + "/outside";
    std::filesystem::create_directory(outside);
    std::ofstream(outside + "/look") << "keep\n";
    const std::string look = run_dir() + "/look";
    struct Case {
        const char *title;
        void (*plant)(const std::string &run_dir, const std::string &outside);
        int status;
        std::string err;
    } cases[] = {
        {"a link for the directory",
         [](const std::string &r, const std::string &o) { std::filesystem::create_directory_symlink(o, r); },
         1, "tald: /run/tald: the look's state cannot be kept: Not a directory\n"},
        {"a directory open to others",
         [](const std::string &r, const std::string &) { mkdir(r.c_str(), 0700); chmod(r.c_str(), 0777); },
         1, "tald: /run/tald: the look's state cannot be kept: another user's, or open to others\n"},
        {"a damaged file",
         [](const std::string &r, const std::string &) { mkdir(r.c_str(), 0700); std::ofstream(r + "/look") << "a P\nb X\n"; },
         0, "tald: /run/tald/look: damaged at line 2; looked at afresh\n"},
        {"a file cut short",
         [](const std::string &r, const std::string &) { mkdir(r.c_str(), 0700); std::ofstream(r + "/look") << "a P\nb"; },
         0, "tald: /run/tald/look: damaged at line 2; looked at afresh\n"},
        {"a link for the file",
         [](const std::string &r, const std::string &o) { mkdir(r.c_str(), 0700); std::filesystem::create_symlink(o + "/look", r + "/look"); },
         0, "tald: /run/tald/look: cannot be read (Too many levels of symbolic links); looked at afresh\n"},
        {"a FIFO for the file",
         [](const std::string &r, const std::string &) { mkdir(r.c_str(), 0700); mkfifo((r + "/look").c_str(), 0600); },
         0, "tald: /run/tald/look: cannot be read (Invalid argument); looked at afresh\n"},
        {"a file of exactly 4 MiB, read",
         [](const std::string &r, const std::string &) { mkdir(r.c_str(), 0700); write_lines(r + "/look", 0); },
         0, ""},
        {"a file one byte over 4 MiB",
         [](const std::string &r, const std::string &) { mkdir(r.c_str(), 0700); write_lines(r + "/look", 1); },
         0, "tald: /run/tald/look: cannot be read (File too large); looked at afresh\n"},
    };
    for (const Case &c : cases) {
        std::filesystem::remove_all(run_dir());
        c.plant(run_dir(), outside);
        Outcome o = finish_within(start(kTald, {"--look"}, 0), 30000);
        EXPECT_EQ(o.status, c.status) << c.title;
        EXPECT_EQ(o.err, c.err) << c.title;
        EXPECT_EQ(entries().size(), c.status == 0 ? 1u : 0u) << c.title;
        EXPECT_EQ(read_file(outside + "/look"), "keep\n") << c.title;
        if (c.status == 0) {
            EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(look))) << c.title;
            EXPECT_EQ(read_file(look), wwid_of(kA) + " O\n") << c.title;
        }
    }
}

}  // namespace
}  // namespace e2e

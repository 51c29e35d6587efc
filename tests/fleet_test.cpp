// The fleet commands under the simulated array: --export and --apply by LUN
// and port (round trip, dry run, a second apply, refusals that change
// nothing, a save that fails), and --drain and --restore (exactly back, also
// after the nodes were renamed), with multipathd's groups played by the
// scripted libmpathcmd.so.0.

#include "harness.hpp"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <fstream>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>
#include <sstream>

namespace e2e {
namespace {

const Lun kA{1, 0x31, "volA"};
const Lun kB{2, 0x32, "volB"};
const Path kA0{"/dev/sdb", 2, 0, 0, 1, 0};
const Path kA1{"/dev/sdc", 3, 0, 0, 1, 1};
const Path kA2{"/dev/sdd", 2, 0, 1, 1, 2};
const Path kA3{"/dev/sde", 3, 0, 1, 1, 3};
const Path kB0{"/dev/sdf", 2, 0, 0, 2, 0};
const Path kB2{"/dev/sdg", 2, 0, 1, 2, 2};

int d(int cp, const Lun &lun) { return default_for(cp, lun.lunref); }

/// LUN A: an override of 8 on C0P0 and of 6 on C1P0; LUN B: defaults.
std::string line_a(int p0 = 8, int p2 = 6, const std::string &suffix = "")
{
    auto renamed = [&](Path p) { p.dev += suffix; return p; };
    return conf_line(wwid_of(kA), kA.alias,
                     {{0, 0, renamed(kA0), p0}, {1, 0, renamed(kA1), d(1, kA)},
                      {2, 0, renamed(kA2), p2}, {3, 0, renamed(kA3), d(3, kA)}});
}
std::string line_b(int p0, int p2)
{
    return conf_line(wwid_of(kB), kB.alias, {{0, 0, kB0, p0}, {2, 0, kB2, p2}});
}

/// The file's lines in order: each save turns the order of its lines.
std::string sorted(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string &line : lines)
        out += line;
    return out;
}

class Fleet : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        write_state(line_b(d(0, kB), d(2, kB)) + line_a());
    }
    std::string doc(const std::string &text) const
    {
        std::string path = dir_ + "/doc" + std::to_string(docs_++) + ".json";
        std::ofstream(path) << text;
        return path;
    }
    mutable int docs_ = 0;
};

// Export, everything back to its defaults, apply the export: the same
// export again; a dry run and a second apply change nothing.
TEST_F(Fleet, AnExportAppliedGivesTheSameExport)
{
    const std::string exported = run(kTald, {"--export"}).out;
    EXPECT_NE(exported.find("\"C0P0\": {\"priority\": 8, \"override\": true}"), std::string::npos)
        << exported;
    EXPECT_EQ(exported.find("/dev/"), std::string::npos);
    const std::string empty = doc(R"({"luns": []})");
    const std::string before = state();
    Outcome o = run(kTald, {"--apply", empty, "--dry-run", "--prune"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "volA " + wwid_of(kA) + "\n  C0P0 /dev/sdb 2:0:0:1: 8 -> " +
                         std::to_string(d(0, kA)) + " (default)\n  C1P0 /dev/sdd 2:0:1:1: 6 -> " +
                         std::to_string(d(2, kA)) + " (default)\nwould change: 2 paths of 1 LUN\n");
    EXPECT_EQ(state(), before);
    o = run(kTald, {"--apply", empty, "--prune"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(sorted(state()), sorted(line_b(d(0, kB), d(2, kB)) + line_a(d(0, kA), d(2, kA))));
    o = run(kTald, {"--apply", doc(exported)});
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_EQ(run(kTald, {"--export"}).out, exported);
    EXPECT_EQ(sorted(state()), sorted(before));
    o = run(kTald, {"--apply", doc(exported)});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "unchanged: 2 LUNs as the file says\n");
}

// Each form of a LUN's wish, and a LUN this host does not have.
TEST_F(Fleet, ApplyByPreferredPortPortsOrDefault)
{
    const std::string other = "3600ffff";
    const struct {
        const char *title;
        std::string text;
        std::vector<std::string> args;
        int status;
        std::string state;
    } cases[] = {
        {"preferred port, by alias", R"({"luns": [{"alias": "volB", "preferred_port": "C1P0"}]})",
         {}, 2, line_b(d(0, kB), 8) + line_a()},
        {"ports, by wwid and alias", R"({"luns": [{"wwid": ")" + wwid_of(kA) +
             R"(", "alias": "volA", "ports": {"C0P0": "default", "C1P1": 7}}]})",
         {}, 2, line_b(d(0, kB), d(2, kB)) + line_a(d(0, kA), 6).replace(
             line_a(d(0, kA), 6).find("/dev/sde,3:0:1:1,") + 17, 1, "7")},
        {"every port default", R"({"luns": [{"alias": "volA", "ports": "default"}]})", {}, 2,
         line_b(d(0, kB), d(2, kB)) + line_a(d(0, kA), d(2, kA))},
        {"not on this host", R"({"luns": [{"wwid": ")" + other + R"(", "ports": "default"}]})",
         {}, 0, line_b(d(0, kB), d(2, kB)) + line_a()},
        {"prune: the LUNs not named back to their defaults",
         R"({"luns": [{"alias": "volB", "preferred_port": "C1P0"}]})", {"--prune"}, 2,
         line_b(d(0, kB), 8) + line_a(d(0, kA), d(2, kA))},
        {"not on this host, strict",
         R"({"luns": [{"wwid": ")" + other + R"(", "ports": "default"}]})", {"--strict"}, 1,
         line_b(d(0, kB), d(2, kB)) + line_a()},
    };
    const std::string original = state();
    for (const auto &c : cases) {
        write_state(original);
        std::vector<std::string> args = {"--apply", doc(c.text)};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome o = run(kTald, args);
        EXPECT_EQ(o.status, c.status) << c.title << "\n" << o.out << o.err;
        EXPECT_EQ(sorted(state()), sorted(c.state)) << c.title;
        if (c.title == std::string("not on this host")) {
            EXPECT_EQ(o.out, "not on this host: luns[0] (" + other + ")\nunchanged: 0 LUNs as "
                             "the file says\n");
        }
    }
}

// A LUN whose every path holds an override keeps no default to go back
// to: a node of the LUN that still answers for it tells its lunref; a node
// that now answers for another LUN does not.
TEST_F(Fleet, DefaultsOfALunOfOverridesOnlyComeFromItsNodes)
{
    const std::string all = conf_line(wwid_of(kA), kA.alias,
                                      {{0, 0, kA0, 8}, {1, 0, kA1, 7}, {2, 0, kA2, 6}, {3, 0, kA3, 5}});
    const std::string file = doc(R"({"luns": [{"alias": "volA", "ports": "default"}]})");
    write_state(all);
    scenario(node_text(kB, kA0) + node_text(kA, kA1));
    Outcome o = run(kTald, {"--apply", file});
    EXPECT_EQ(o.status, 2) << o.out << o.err;
    EXPECT_EQ(state(), line_a(d(0, kA), d(2, kA)));
}

// Bad input is refused as a whole, naming the entry; nothing changes.
TEST_F(Fleet, BadInputIsRefusedAsAWhole)
{
    const std::string good = R"({"alias": "volB", "preferred_port": "C1P0"}, )";
    const struct {
        std::string text;
        std::string err;  ///< after "FILE: "
        std::string state = "";  ///< the state of the case, when not the fixture's
    } cases[] = {
        {"{\"luns\": [\n  {,}]}", "line 2, column 4: expected a key"},
        {R"({"luns": {}})", "the document is an object with one key, \"luns\", an array of LUNs"},
        {R"({"luns": [)" + good + R"({"alias": "volA", "ports": {"C2P0": 8}}]})",
         "luns[1] (volA): unknown port \"C2P0\" (C0P0, C0P1, C1P0 or C1P1)"},
        {R"({"luns": [)" + good + R"({"alias": "volA", "ports": {"C0P0": 4}}]})",
         "luns[1] (volA): port C0P0: priority 4 is not 5..8 or \"default\""},
        {R"({"luns": [)" + good + R"({"wwid": ")" + wwid_of(kB) + R"(", "ports": "default"}]})",
         "luns[1] (" + wwid_of(kB) + "): the same LUN as luns[0]"},
        {R"({"luns": [{"wwid": ")" + wwid_of(kA) + R"(", "alias": "volB", "ports": "default"}]})",
         "luns[0] (volB): the wwid and the alias name different LUNs (stored: " + wwid_of(kA) +
             " is volA)"},
        {R"({"luns": [{"alias": "volA", "preferred_port": "C0P0", "ports": "default"}]})",
         "luns[0] (volA): give one of \"preferred_port\" and \"ports\""},
        {R"({"luns": [{"alias": "volA", "prefered_port": "C0P0"}]})",
         "luns[0] (volA): unknown key \"prefered_port\""},
        {R"({"luns": [{"alias": "volA", "ports": "default"}, {"wwid": ")" + wwid_of(kB) +
             R"(", "ports": "default"}, {"wwid": ")" + wwid_of(kB) +
             R"(", "alias": "volA", "ports": "default"}]})",
         "luns[2] (volA): the same LUN as luns[0]"},
        {R"({"luns": [{"wwid": ")" + wwid_of(kB) + R"(", "ports": "default"}, )" +
             R"({"alias": "volB", "preferred_port": "C1P0"}]})",
         "luns[1] (volB): the same LUN as luns[0]"},
        {R"({"luns": [)" + good + R"({"alias": "volC", "ports": "default"}]})",
         "luns[1] (volC): the alias names 2 stored LUNs: give the wwid",
         line_b(d(0, kB), d(2, kB)) + line_a() +
             conf_line("3600c", "volC", {{1, 0, {"/dev/sdx", 2, 0, 0, 7, 1}, 2}}) +
             conf_line("3600d", "volC", {{1, 0, {"/dev/sdy", 2, 0, 0, 8, 1}, 2}})},
    };
    const std::string original = state();
    for (const auto &c : cases) {
        write_state(c.state.empty() ? original : c.state);
        const std::string before = state();
        const std::string file = doc(c.text);
        Outcome o = run(kTald, {"--apply", file});
        EXPECT_EQ(o.status, 1) << c.text;
        EXPECT_EQ(o.err, file + ": " + c.err + "\n") << c.text;
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(state(), before) << c.text;
    }
}

// A document that is no regular file is refused at once, unread: a FIFO
// without a writer never holds the run (bounded here, so that a run that
// waits fails instead of hanging the test), nor a device that never ends.
TEST_F(Fleet, ADocumentThatIsNoRegularFileIsRefusedAtOnce)
{
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
    const std::string directory = dir_ + "/directory";
    std::filesystem::create_directory(directory);
    const std::string socket_path = dir_ + "/socket";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    socket_path.copy(address.sun_path, socket_path.size());
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const std::string before = state();
    for (const std::string &file : {fifo, directory, socket_path, std::string("/dev/zero")}) {
        Outcome o = finish_within(start(kTald, {"--apply", file}, 0), 20000);
        EXPECT_EQ(o.status, 1) << file;
        EXPECT_EQ(o.err, file + ": not a regular file\n");
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(state(), before) << file;
    }
    close(sock);
}

// The limit holds to the byte, for a file and on standard input, and its
// refusal names it; a stream that never ends is read no further than it.
TEST_F(Fleet, TheDocumentsLimitHoldsToTheByte)
{
    constexpr std::size_t kLimit = std::size_t{16} << 20;
    const std::string empty = R"({"luns": []})";
    const struct {
        std::size_t size;  ///< 0: /dev/zero
        bool standard_input;
        bool read;
    } cases[] = {
        {kLimit - 65536, false, true}, {kLimit - 65536 + 1, false, true},
        {kLimit - 1, false, true},     {kLimit, false, true},
        {kLimit + 1, false, false},    {kLimit, true, true},
        {kLimit + 1, true, false},     {0, true, false},
    };
    const std::string before = state();
    const std::string file = dir_ + "/big.json";
    for (const auto &c : cases) {
        const std::string title = std::to_string(c.size) + (c.standard_input ? " on stdin" : "");
        if (c.size > 0)
            std::ofstream(file) << empty << std::string(c.size - empty.size(), ' ');
        stdin_source_ = !c.standard_input ? "/dev/null" : c.size > 0 ? file : "/dev/zero";
        const std::string named = c.standard_input ? "-" : file;
        Outcome o = finish_within(start(kTald, {"--apply", named}, 0), 60000);
        EXPECT_EQ(o.status, c.read ? 0 : 1) << title << "\n" << o.err;
        EXPECT_EQ(o.out, c.read ? "unchanged: 0 LUNs as the file says\n" : "") << title;
        EXPECT_EQ(o.err, c.read ? "" : named + ": longer than 16 MiB\n") << title;
        EXPECT_EQ(state(), before) << title;
        std::filesystem::remove(file);
    }
}

// A save that fails halfway leaves the old file whole, and says so.
TEST_F(Fleet, AnApplyWhoseSaveFailsChangesNothing)
{
    const std::string file = doc(R"({"luns": [{"alias": "volB", "preferred_port": "C1P0"}]})");
    const std::string before = state();
    for (const char *fault : {"fail write /etc/lvm/cache/tald.conf.tmp EIO\n",
                              "fail rename /etc/lvm/cache/tald.conf EIO\n"}) {
        scenario(fault);
        Outcome o = run(kTald, {"--apply", file});
        EXPECT_EQ(o.status, 1) << fault;
        EXPECT_EQ(o.err, "/etc/lvm/cache/tald.conf: cannot be written; nothing changed\n");
        EXPECT_EQ(state(), before) << fault;
        EXPECT_FALSE(std::filesystem::exists(state_ + "/tald.conf.tmp")) << fault;
    }
}

// An apply killed at each of its system calls from the lock on leaves the
// old file or the new one, byte for byte, never a mix.
TEST_F(Fleet, AnApplyKilledAnywhereLeavesTheOldFileOrTheNew)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed (tools/setup.sh installs it)";
    const std::string file = doc(R"({"luns": [{"alias": "volB", "preferred_port": "C1P0"},
                                              {"alias": "volA", "ports": "default"}]})");
    const std::string before = state();
    const std::string log = dir_ + "/strace.log";
    auto traced = [&](std::vector<std::string> options) {
        options.insert(options.begin(), {"-qq", "-E", "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
        options.insert(options.end(), {kTald, "--apply", file});
        return run("/usr/bin/strace", options);
    };
    ASSERT_EQ(traced({"-o", log}).status, 2);
    const std::string after = state();
    auto calls = calls_from_lock(read_file(log));
    ASSERT_GT(calls.size(), 10u);
    for (const auto &[name, occurrence] : calls) {
        write_state(before);
        std::string inject = name + ":signal=KILL:when=" + std::to_string(occurrence);
        Outcome o = traced({"-o", "/dev/null", "-e", "trace=" + name, "-e", "inject=" + inject});
        std::string now = state();
        EXPECT_TRUE(now == before || now == after) << name << " #" << occurrence << "\n" << now;
        EXPECT_EQ(o.status, 1000 + SIGKILL) << name << " #" << occurrence;
    }
}

// Drain C0: C1's paths in their order above every C0 path; restore gives
// back the bytes, also after the nodes were renamed; neither twice.
TEST_F(Fleet, DrainAndRestoreGiveBackExactly)
{
    Outcome o = run(kTald, {"--drain", "C0"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("\nC0 drained: 4 paths of 2 LUNs; the priorities before are kept in "
                         "/etc/lvm/cache/tald.drained\n"),
              std::string::npos)
        << o.out;
    std::string drained_a = line_a(d(0, kA), 8);
    drained_a.replace(drained_a.find("/dev/sde,3:0:1:1,") + 17, 1, "7");
    EXPECT_EQ(sorted(state()), sorted(line_b(d(0, kB), 8) + drained_a));
    o = run(kTald, {"--drain", "C1"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "C0 is drained already: tald --restore gives it back first\n");

    // A reboot: the same paths under other names, the drained priorities.
    std::string renamed = line_b(d(0, kB), 8) + drained_a;
    for (const char *dev : {"/dev/sdb,", "/dev/sdc,", "/dev/sdd,", "/dev/sde,"})
        renamed.replace(renamed.find(dev), 9, std::string(dev, 8) + "x,");
    write_state(renamed);
    o = run(kTald, {"--restore"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("\nC0 restored: 4 paths of 2 LUNs\n"), std::string::npos) << o.out;
    EXPECT_EQ(sorted(state()), sorted(line_b(d(0, kB), d(2, kB)) + line_a(8, 6, "x")));
    EXPECT_FALSE(std::filesystem::exists(state_ + "/tald.drained"));
    o = run(kTald, {"--restore"});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "no controller is drained (/etc/lvm/cache/tald.drained: No such file or "
                     "directory)\n");
}

// The wait: done once the daemon has the priorities and its active group
// holds the LUN's top path; otherwise the LUNs that did not move, status 2.
TEST_F(Fleet, TheWaitFollowsTheDaemonsGroups)
{
    write_state(line_b(d(0, kB), d(2, kB)));
    const std::string daemon = dir_ + "/daemon";
    std::filesystem::create_directory(daemon);
    extra_env_ = {std::string("LD_LIBRARY_PATH=") + FAKE_MPATHCMD_DIR, "FAKE_MPATHD_DIR=" + daemon};
    auto rows = [&](int p0, int p2) {
        return "dev|dev_t|hcil|uuid|pri|chk_st|dm_st|multipath\nsdf|8:80|2:0:0:2|" + wwid_of(kB) +
               "|" + std::to_string(p0) + "|ready|active|mpathb\nsdg|8:96|2:0:1:2|" + wwid_of(kB) +
               "|" + std::to_string(p2) + "|ready|active|mpathb\n";
    };
    auto maps = [](const char *f, const char *g) {
        return std::string(R"({"maps": [{"name": "mpathb", "path_groups": [{"dm_st": ")") + f +
               R"(", "paths": [{"dev": "sdf"}]}, {"dm_st": ")" + g + R"(", "paths": [{"dev": "sdg"}]}]}]})";
    };
    std::ofstream(daemon + "/paths.0") << rows(d(0, kB), d(2, kB));
    std::ofstream(daemon + "/paths.1") << rows(d(0, kB), 8);
    std::ofstream(daemon + "/maps.json") << maps("enabled", "active");
    Outcome o = run(kTald, {"--drain", "C0", "--wait", "5"});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_TRUE(std::regex_search(
        o.out, std::regex("\nmultipathd: active path groups of 1 LUN on C1 after [0-9.]+ s\n$")))
        << o.out;

    // Back on defaults: sdg (C1P0) holds the top priority; I/O stays on sdf.
    std::filesystem::remove(daemon + "/paths.1");
    std::ofstream(daemon + "/maps.json") << maps("active", "enabled");
    o = run(kTald, {"--restore", "--wait", "1"});
    EXPECT_EQ(o.status, 2) << o.out << o.err;
    EXPECT_NE(o.out.find("\nnot moved: volB " + wwid_of(kB) +
                         " (active group: C0P0)\nmultipathd: 1 of 1 LUN not moved after 1 s\n"),
              std::string::npos)
        << o.out;

    // A map that names no active group (no I/O since it switched) counts
    // once it still names none a look later.
    std::ofstream(daemon + "/paths.1") << rows(d(0, kB), 8);
    std::ofstream(daemon + "/maps.json") << maps("enabled", "enabled");
    o = run(kTald, {"--drain", "C0", "--wait", "5"});
    EXPECT_EQ(o.status, 0) << o.out << o.err;
    EXPECT_TRUE(std::regex_search(
        o.out, std::regex("\nmultipathd: active path groups of 1 LUN on C1 after [1-9][0-9.]* s\n$")))
        << o.out;
}

}  // namespace
}  // namespace e2e

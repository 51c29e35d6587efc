// tald and multipathd under the simulated array, the daemon played by a
// scripted libmpathcmd.so.0 (fake_mpathcmd.cpp): the wait after "--prio"
// with its line, its bounds and its exit statuses, and what is sent.

#include "harness.hpp"

#include <filesystem>
#include <fstream>
#include <regex>

#include <nlohmann/json.hpp>

namespace e2e {
namespace {

const Lun kLun{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 2, 0};

std::string row(const char *dev, int prio, const char *checker = "ready")
{
    return std::string(dev) + "|8:16|3600|" + std::to_string(prio) + "|" + checker +
           "|active|mpatha\n";
}

const std::string kHeader = "dev|dev_t|uuid|pri|chk_st|dm_st|multipath\n";

std::string maps_json(const char *group_state)
{
    return std::string(R"({"maps": [{"name": "mpatha", "path_groups": [{"dm_st": ")") +
           group_state + R"(", "paths": [{"dev": "sdb", "pri": 8}]}]}]})" "\n";
}

class Daemon : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scenario(node_text(kLun, kSdb));
        daemon_ = dir_ + "/daemon";
        std::filesystem::create_directory(daemon_);
        extra_env_ = {std::string("LD_LIBRARY_PATH=") + FAKE_MPATHCMD_DIR,
                      "FAKE_MPATHD_DIR=" + daemon_};
    }
    void put(const std::string &name, const std::string &text) const
    {
        std::ofstream(daemon_ + "/" + name) << text;
    }
    std::string commands() const { return read_file(daemon_ + "/commands"); }
    std::string confirm(int prio) const
    {
        return wwid_of(kLun) + " /dev/sdb:" + std::to_string(prio) + "(C0P0, host port 2)\n";
    }
    Outcome timed(const std::vector<std::string> &args, long *ms)
    {
        return finish_within(start(kTald, args, 0), 60000, ms);
    }
    std::string daemon_;
};

// The daemon takes the override up at its third look; the wait ends there,
// asks the map's JSON for the group, and sends nothing but show commands.
TEST_F(Daemon, WaitEndsOnceTheDaemonReportsTheStoredPriority)
{
    int dflt = default_for(kSdb.cp, kLun.lunref);
    put("paths.0", kHeader + row("sdb", dflt) + row("sdc", 8));
    put("paths.2", kHeader + row("sdb", 8));
    put("maps.json", maps_json("active"));
    long ms = 0;
    Outcome o = timed({"--prio", "--set", "/dev/sdb", "8", "--wait", "20"}, &ms);
    EXPECT_EQ(o.status, 0) << o.out;
    std::smatch m;
    std::string expected = confirm(8) + "multipathd: sdb priority 8, ready, path group active, after ";
    ASSERT_EQ(o.out.substr(0, expected.size()), expected) << o.out;
    EXPECT_TRUE(std::regex_match(o.out.substr(expected.size()), std::regex("2\\.[0-9] s\n"))) << o.out;
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 10000);
    const std::string paths = "show paths format %d|%D|%w|%p|%T|%t|%m\n";
    EXPECT_EQ(commands(), paths + paths + paths + paths + "show map mpatha json\n");

    // "--get" waits the same way, for the priority it printed.
    std::filesystem::remove(daemon_ + "/commands");
    o = run(kTald, {"--prio", "--get", "/dev/sdb", "--wait"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out.substr(0, 2), "8\n");
    EXPECT_NE(o.out.find("multipathd: sdb priority 8, ready, path group active, after "),
              std::string::npos)
        << o.out;
}

struct WaitCase {
    const char *title;
    std::vector<std::string> files;  ///< name, text, name, text ...
    std::vector<std::string> args;
    std::string line;
    int status;
    long at_most_ms;
};

// What ends a wait without the daemon's report, and how soon.
TEST_F(Daemon, WaitEndsWithItsStatusWhenTheDaemonDoesNotReport)
{
    int dflt = default_for(kSdb.cp, kLun.lunref);
    const std::string other = std::to_string(dflt);
    const WaitCase cases[] = {
        {"bound passed", {"paths.0", kHeader + row("sdb", dflt), "maps.json", maps_json("enabled")},
         {"--wait", "2"},
         "multipathd: sdb priority " + other + ", not 7, ready, path group enabled, after 2 s\n",
         2, 6000},
        {"path not among the daemon's", {"paths.0", kHeader + row("sdx", 7)}, {"--wait", "1"},
         "multipathd: sdb not among its paths after 1 s\n", 2, 5000},
        {"no daemon listening", {"refuse", ""}, {"--wait", "30"},
         "multipathd: not reached (no daemon listening)\n", 3, 1500},
        {"daemon refuses", {"paths.0", "fail\n"}, {"--wait"},
         "multipathd: not reached (no answer read)\n", 3, 1500},
        {"daemon silent", {"silent", ""}, {"--wait", "1"},
         "multipathd: not reached (no answer in time)\n", 3, 4000},
    };
    for (const WaitCase &c : cases) {
        std::filesystem::remove_all(daemon_);
        std::filesystem::create_directory(daemon_);
        for (std::size_t i = 0; i + 1 < c.files.size(); i += 2)
            put(c.files[i], c.files[i + 1]);
        std::vector<std::string> args = {"--prio", "--set", "/dev/sdb", "7"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        long ms = 0;
        Outcome o = timed(args, &ms);
        EXPECT_EQ(o.out, confirm(7) + c.line) << c.title;
        EXPECT_EQ(o.status, c.status) << c.title;
        EXPECT_LT(ms, c.at_most_ms) << c.title;
        EXPECT_EQ(commands().find("show ") == 0 || commands().empty(), true) << c.title;
        EXPECT_EQ(commands().find("\nreconfigure"), std::string::npos) << c.title;
    }
}

// Without libmpathcmd.so.0 the wait ends at once; without "--wait" nothing
// is asked and nothing printed beyond what the operation prints.
TEST_F(Daemon, WithoutTheLibraryOrTheOption)
{
    put("paths.0", kHeader + row("sdb", 8));
    extra_env_ = {"FAKE_MPATHD_DIR=" + daemon_};
    Outcome o = run(kTald, {"--prio", "--set", "/dev/sdb", "8", "--wait", "5"});
    EXPECT_EQ(o.out, confirm(8) + "multipathd: not reached (libmpathcmd.so.0 not found)\n");
    EXPECT_EQ(o.status, 3);

    extra_env_ = {std::string("LD_LIBRARY_PATH=") + FAKE_MPATHCMD_DIR, "FAKE_MPATHD_DIR=" + daemon_};
    o = run(kTald, {"--prio", "--set", "/dev/sdb", "5"});
    EXPECT_EQ(o.out, confirm(5));
    EXPECT_EQ(o.status, 0);
    o = run(kTald, {"--prio", "--get", "/dev/sdb", "junk"});
    EXPECT_EQ(o.out, "5\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(commands(), "");
}

// The JSON listing: the daemon's fields beside each stored path, the LUN's
// drift, and one field alone when the daemon is not reached.
TEST_F(Daemon, JsonListingCarriesTheDaemonsView)
{
    const Path sdc{"/dev/sdc", 3, 0, 0, 2, 1};
    scenario(node_text(kLun, kSdb) + node_text(kLun, sdc));
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdb", "7"}).status, 0);
    ASSERT_EQ(run(kTald, {"--prio", "--get", "/dev/sdc"}).status, 0);
    const std::string wwid = wwid_of(kLun);
    int dflt = default_for(sdc.cp, kLun.lunref);
    // The daemon still uses sdb's default; sdc's name is now another LUN's node.
    put("paths.0", kHeader + "sdb|8:16|" + wwid + "|" + std::to_string(default_for(0, 2)) +
                       "|ready|active|mpatha\n" + "sdc|8:32|3other|" + std::to_string(dflt) +
                       "|faulty|failed|mpathb\n");
    put("maps.json", R"({"maps": [{"path_groups": [{"dm_st": "enabled", "paths": [{"dev": "sdb"}]}]}]})");
    Outcome o = run(kTald, {"-l", "--json"});
    EXPECT_EQ(o.status, 0);
    nlohmann::json doc = nlohmann::json::parse(o.out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << o.out;
    EXPECT_EQ(doc["multipathd_reached"], true);
    const nlohmann::json &lun = doc["luns"][0];
    EXPECT_EQ(lun["multipathd_differs"], true);
    nlohmann::json expected = {{"priority", default_for(0, 2)}, {"state", "ready"},
                               {"dm_state", "active"}, {"group_active", false},
                               {"group_state", "enabled"}};
    EXPECT_EQ(lun["paths"][0]["multipathd"], expected) << o.out;
    EXPECT_TRUE(lun["paths"][1]["multipathd"].is_null()) << o.out;
    EXPECT_EQ(commands(), "show paths format %d|%D|%w|%p|%T|%t|%m\nshow maps json\n");

    // The daemon in agreement: no drift.
    put("paths.0", kHeader + "sdb|8:16|" + wwid + "|7|ready|active|mpatha\n");
    doc = nlohmann::json::parse(run(kTald, {"-l", "--json"}).out, nullptr, false);
    EXPECT_EQ(doc["luns"][0]["multipathd_differs"], false);

    // Not reached: the listing without the daemon's fields, and the one field.
    put("refuse", "");
    std::string text = run(kTald, {"-l", "--json"}).out;
    doc = nlohmann::json::parse(text, nullptr, false);
    EXPECT_EQ(doc["multipathd_reached"], false);
    EXPECT_EQ(text.find("\"multipathd\""), std::string::npos) << text;
    EXPECT_EQ(text.find("multipathd_differs"), std::string::npos) << text;
}

// The option's place and bound, in the one option scan.
TEST_F(Daemon, WaitOptionScan)
{
    const std::string bad = "The wait takes a number of seconds from 1 to 86400 \n" +
                            std::string(kUsage);
    const struct {
        std::vector<std::string> args;
        std::string out;
        int status;
    } cases[] = {
        {{"--prio", "--set", "/dev/sdb", "8", "--wait", "0"}, bad, 1},
        {{"--prio", "--set", "/dev/sdb", "8", "--wait", "x"}, bad, 1},
        {{"--prio", "--set", "/dev/sdb", "8", "--wait", "86401"}, bad, 1},
        {{"--prio", "--set", "/dev/sdb", "8", "--wait", "99999999999"}, bad, 1},
        {{"--prio", "--get", "/dev/sdb", "--wait", "-1"}, bad, 1},
        // Before the operation's own arguments it is no wait: a preference
        // "--wait" reads as 0 (the atoi rule), a reset, and nothing waits.
        {{"--prio", "--set", "/dev/sdb", "--wait", "8"},
         confirm(default_for(kSdb.cp, kLun.lunref)), 0},
        // A path that cannot be probed has nothing stored to wait for.
        {{"--prio", "--get", "/dev/nonexistent", "--wait", "5"}, "0\n", 0},
    };
    put("refuse", "");
    for (const auto &c : cases) {
        Outcome o = run(kTald, c.args);
        EXPECT_EQ(o.out, c.out) << c.args.back();
        EXPECT_EQ(o.status, c.status) << c.args.back();
    }
    EXPECT_EQ(commands(), "");
}

}  // namespace
}  // namespace e2e

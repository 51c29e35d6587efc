// `tald --metrics` under the simulated array, the daemon played by the
// scripted libmpathcmd.so.0 (fake_mpathcmd.cpp): the samples of each view
// the daemon and the preference file can give, and the file that is
// replaced whole.

#include "harness.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace e2e {
namespace {

const Lun kLun{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 2, 0};
const Path kSdc{"/dev/sdc", 3, 0, 0, 2, 1};

const std::string kHeader = "dev|dev_t|hcil|uuid|pri|chk_st|dm_st|multipath\n";

/// The samples of a metrics text, "name{labels}" to value, without the
/// collection's duration (which varies); "" maps to what is not a sample.
std::map<std::string, std::string> samples(const std::string &text)
{
    std::map<std::string, std::string> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0 ||
            line.rfind("tald_collection_duration_seconds ", 0) == 0)
            continue;
        std::size_t blank = line.rfind(' ');
        if (blank == std::string::npos)
            out[""] += line + "\n";
        else
            out[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return out;
}

class Metrics : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        daemon_ = dir_ + "/daemon";
        std::filesystem::create_directory(daemon_);
        extra_env_ = {std::string("LD_LIBRARY_PATH=") + FAKE_MPATHCMD_DIR,
                      "FAKE_MPATHD_DIR=" + daemon_};
        // sdb holds an override, sdc its default.
        write_state(conf_line(wwid_of(kLun), kLun.alias, {{0, 0, kSdb, 7}, {1, 0, kSdc, 3}}));
    }
    void put(const std::string &name, const std::string &text) const
    {
        std::ofstream(daemon_ + "/" + name) << text;
    }
    /// The daemon's row of a path of the LUN.
    static std::string row(const Path &p, int prio, const char *checker)
    {
        return p.dev.substr(5) + "|8:16|" + std::to_string(p.host) + ":0:0:2|" + wwid_of(kLun) +
               "|" + std::to_string(prio) + "|" + checker + "|active|mpatha\n";
    }
    static std::string maps(const char *sdb_group, const char *sdc_group)
    {
        return std::string(R"({"maps": [{"name": "mpatha", "path_groups": [{"dm_st": ")") +
               sdb_group + R"(", "paths": [{"dev": "sdb"}]}, {"dm_st": ")" + sdc_group +
               R"(", "paths": [{"dev": "sdc"}]}]}]})";
    }
    std::string daemon_;
};

std::string labels(const Path &p, const char *port)
{
    return "{wwid=\"" + wwid_of(kLun) + "\",alias=\"vol02\",port=\"" + port + "\",device=\"" +
           p.dev + "\",address=\"" + std::to_string(p.host) + ":0:0:2\"";
}

const std::string kB = labels(kSdb, "C0P0");
const std::string kC = labels(kSdc, "C0P1");
const std::string kLunLabels = "{wwid=\"" + wwid_of(kLun) + "\",alias=\"vol02\"}";

/// The stored view, which every case with a readable file has.
const std::map<std::string, std::string> kStored = {
    {"tald_path_priority" + kB + "}", "7"},  {"tald_path_priority" + kC + "}", "3"},
    {"tald_path_override" + kB + "}", "1"},  {"tald_path_override" + kC + "}", "0"},
    {"tald_preference_file_readable", "1"},
};

struct MetricsCase {
    const char *title;
    std::vector<std::string> files;  ///< the daemon's script: name, text, ...
    std::map<std::string, std::string> more;  ///< beyond kStored
};

// Which samples each view gives: the daemon's only when it answered, the
// preferred group only where a path's group is known active.
TEST_F(Metrics, SamplesFollowTheDaemonsView)
{
    const std::string agree = kHeader + row(kSdb, 7, "ready") + row(kSdc, 3, "ready");
    const std::string failed_over = kHeader + row(kSdb, 1, "faulty") + row(kSdc, 3, "ready");
    const MetricsCase cases[] = {
        {"agrees, on the preferred path",
         {"paths.0", agree, "maps.json", maps("active", "enabled")},
         {{"tald_multipathd_path_priority" + kB + "}", "7"},
          {"tald_multipathd_path_priority" + kC + "}", "3"},
          {"tald_multipathd_path_checker_state" + kB + ",state=\"ready\"}", "1"},
          {"tald_multipathd_path_checker_state" + kC + ",state=\"ready\"}", "1"},
          {"tald_multipathd_lun_preferred_group_active" + kLunLabels, "1"},
          {"tald_multipathd_lun_priorities_differ" + kLunLabels, "0"},
          {"tald_multipathd_reached", "1"},
          {"tald_multipathd_groups_read", "1"}}},
        {"override not taken up, I/O on the other path",
         {"paths.0", failed_over, "maps.json", maps("enabled", "active")},
         {{"tald_multipathd_path_priority" + kB + "}", "1"},
          {"tald_multipathd_path_priority" + kC + "}", "3"},
          {"tald_multipathd_path_checker_state" + kB + ",state=\"faulty\"}", "1"},
          {"tald_multipathd_path_checker_state" + kC + ",state=\"ready\"}", "1"},
          {"tald_multipathd_lun_preferred_group_active" + kLunLabels, "0"},
          {"tald_multipathd_lun_priorities_differ" + kLunLabels, "1"},
          {"tald_multipathd_reached", "1"},
          {"tald_multipathd_groups_read", "1"}}},
        {"no active group yet, sdc not held",
         {"paths.0", kHeader + row(kSdb, 7, "ready"), "maps.json", maps("enabled", "enabled")},
         {{"tald_multipathd_path_priority" + kB + "}", "7"},
          {"tald_multipathd_path_checker_state" + kB + ",state=\"ready\"}", "1"},
          {"tald_multipathd_lun_priorities_differ" + kLunLabels, "0"},
          {"tald_multipathd_reached", "1"},
          {"tald_multipathd_groups_read", "1"}}},
        {"no daemon listening", {"refuse", ""}, {{"tald_multipathd_reached", "0"}}},
    };
    for (const MetricsCase &c : cases) {
        std::filesystem::remove_all(daemon_);
        std::filesystem::create_directory(daemon_);
        for (std::size_t i = 0; i + 1 < c.files.size(); i += 2)
            put(c.files[i], c.files[i + 1]);
        Outcome o = run(kTald, {"--metrics"});
        EXPECT_EQ(o.status, 0) << c.title;
        EXPECT_EQ(o.err, "") << c.title;
        std::map<std::string, std::string> expected = kStored;
        expected.insert(c.more.begin(), c.more.end());
        EXPECT_EQ(samples(o.out), expected) << c.title << "\n" << o.out;
        EXPECT_TRUE(std::regex_search(
            o.out, std::regex("\ntald_collection_duration_seconds [0-9]+\\.[0-9]{6}\n$")))
            << o.out;
    }
}

// A file that cannot be read, or none: no path and no LUN, the file's
// metric says which, and the daemon is still asked.
TEST_F(Metrics, AFileThatCannotBeReadGivesOnlyWhatIsKnown)
{
    put("paths.0", kHeader + row(kSdb, 7, "ready"));
    put("maps.json", maps("active", "enabled"));
    const struct {
        const char *title;
        bool directory;  ///< tald.conf a directory; otherwise no tald.conf
        const char *readable;
    } cases[] = {{"a directory in its place", true, "0"}, {"no file yet", false, "1"}};
    for (const auto &c : cases) {
        std::filesystem::remove(state_path());
        if (c.directory)
            std::filesystem::create_directory(state_path());
        Outcome o = run(kTald, {"--metrics"});
        EXPECT_EQ(o.status, 0) << c.title;
        std::map<std::string, std::string> expected = {
            {"tald_multipathd_reached", "1"}, {"tald_multipathd_groups_read", "1"},
            {"tald_preference_file_readable", c.readable}};
        EXPECT_EQ(samples(o.out), expected) << c.title << "\n" << o.out;
        std::filesystem::remove_all(state_path());
    }
}

// "--metrics FILE": the file replaced whole, readable by the collector,
// nothing left beside it; a directory that is not there: status 1 and why.
TEST_F(Metrics, TheFileIsReplacedWhole)
{
    put("refuse", "");
    const std::string out_dir = dir_ + "/textfile";
    std::filesystem::create_directory(out_dir);
    const std::string file = out_dir + "/tald.prom";
    std::ofstream(file) << "old\n";
    Outcome o = run(kTald, {"--metrics", file});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    std::map<std::string, std::string> expected = kStored;
    expected["tald_multipathd_reached"] = "0";
    EXPECT_EQ(samples(read_file(file)), expected) << read_file(file);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    std::size_t entries = 0;
    for (const auto &entry : std::filesystem::directory_iterator(out_dir))
        entries += entry.path().filename() == "tald.prom" ? 1 : 100;
    EXPECT_EQ(entries, 1u);

    const std::string missing = dir_ + "/absent/tald.prom";
    o = run(kTald, {"--metrics", missing});
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, missing + ": cannot be written: No such file or directory\n");
}

}  // namespace
}  // namespace e2e

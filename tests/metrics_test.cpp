// `tald --metrics` under the simulated array, the daemon played by the
// scripted libmpathcmd.so.0 (fake_mpathcmd.cpp): the samples of each view
// the daemon and the preference file can give, and the file that is
// replaced whole.

#include "harness.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
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

// Every series once: two wwids that differ only in bytes that are no UTF-8,
// a third that spells such a byte out, and a LUN whose two slots of a port
// hold one device and address (published for its first slot).
TEST_F(Metrics, EverySeriesIsUnique)
{
    put("refuse", "");
    // The file writes those bytes as %FF and %FE.
    write_state(conf_line("3600a%FF", "vol%FE", {{0, 0, kSdb, 7}}) +
                conf_line("3600a%FE", "vol%FE", {{0, 0, kSdb, 7}}) +
                conf_line("3600a\\xff", "vol\\xfe", {{0, 0, kSdb, 7}}) +
                conf_line(wwid_of(kLun), kLun.alias, {{0, 0, kSdb, 7}, {0, 1, kSdb, 3}}));
    Outcome o = run(kTald, {"--metrics"});
    EXPECT_EQ(o.status, 0) << o.err;
    std::set<std::string> series;
    std::size_t priorities = 0;
    std::istringstream lines(o.out);
    for (std::string line; std::getline(lines, line);) {
        if (line[0] == '#')
            continue;
        EXPECT_TRUE(series.insert(line.substr(0, line.rfind(' '))).second) << line;
        priorities += line.rfind("tald_path_priority{", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(priorities, 4u) << o.out;
    for (const char *wwid : {"\"3600a\\\\xff\"", "\"3600a\\\\xfe\"", "\"3600a\\\\\\\\xff\""})
        EXPECT_NE(o.out.find(std::string("tald_path_priority{wwid=") + wwid), std::string::npos)
            << wwid << "\n" << o.out;
    EXPECT_NE(o.out.find("tald_path_priority" + kB + "} 7\n"), std::string::npos) << o.out;
}

// "--metrics FILE" and "--export FILE" as root: a symlink on the way is
// followed only where no user but root could have placed it; otherwise
// status 1, the link named, and nothing written. Root's own file behind
// the link keeps its content, and nothing is left beside it.
TEST_F(Metrics, RootWritesOnlyWhereNoOtherUserCanRedirect)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the ownership rules apply to runs as root";
    put("refuse", "");
    const std::string t = dir_ + "/t";
    const struct {
        const char *title;
        const char *way;      ///< the file's directory under t
        const char *refused;  ///< the link named, or nullptr: written
        const char *holder;   ///< its directory's owner and mode
    } cases[] = {
        {"a link in a directory of another user's", "collector/ne", "collector/ne",
         "65534's, mode 0755"},
        {"a link in root's directory that its group can write", "shared/ne", "shared/ne",
         "0's, mode 0775"},
        {"root's link to another user's link", "etc/ne", "collector/ne", "65534's, mode 0755"},
        {"root's link to root's directory", "etc/out", nullptr, nullptr},
        {"root's directory in another user's", "collector/real", nullptr, nullptr},
        {"the file itself a link another user planted", "collector/planted", nullptr, nullptr},
    };
    const struct {
        const char *dir;
        uid_t owner;
        mode_t mode;
    } dirs[] = {{"", 0, 0755},
                {"/secret", 0, 0700},
                {"/collector", 65534, 0755},
                {"/collector/real", 0, 0755},
                {"/collector/planted", 65534, 0755},
                {"/shared", 0, 0775},
                {"/etc", 0, 0755}};
    for (const char *option : {"--metrics", "--export"}) {
        const std::string name = option[2] == 'm' ? "/tald.prom" : "/prefs.json";
        for (const auto &c : cases) {
            std::filesystem::remove_all(t);
            for (const auto &d : dirs) {
                std::filesystem::create_directory(t + d.dir);
                const std::string dir = t + d.dir;
                ASSERT_EQ(chown(dir.c_str(), d.owner, 0) | chmod(dir.c_str(), d.mode), 0) << dir;
            }
            std::ofstream(t + "/secret" + name) << "root's\n";
            for (const char *link : {"/collector/ne", "/shared/ne"})
                std::filesystem::create_directory_symlink(t + "/secret", t + link);
            std::filesystem::create_directory_symlink(t + "/collector/ne", t + "/etc/ne");
            std::filesystem::create_directory_symlink("../secret", t + "/etc/out");
            std::filesystem::create_symlink(t + "/secret" + name, t + "/collector/planted" + name);
            const std::string file = t + "/" + c.way + name;
            Outcome o = run(kTald, {option, file});
            struct stat st {};
            if (c.refused != nullptr) {
                EXPECT_EQ(o.status, 1) << option << ": " << c.title;
                EXPECT_EQ(o.err, file + ": cannot be written: " + t + "/" + c.refused +
                                     " is a symlink that another user could have placed (in a "
                                     "directory of uid " + c.holder + ")\n")
                    << option << ": " << c.title;
            } else {
                EXPECT_EQ(o.status, 0) << option << ": " << c.title << "\n" << o.err;
                EXPECT_TRUE(lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) << c.title;
            }
            std::size_t entries = 0;
            for (const auto &entry : std::filesystem::directory_iterator(t + "/secret"))
                entries += entry.path().filename() == name.substr(1) ? 1 : 100;
            EXPECT_EQ(entries, 1u) << option << ": " << c.title;
            if (std::string(c.way) != "etc/out") {
                EXPECT_EQ(read_file(t + "/secret" + name), "root's\n")
                    << option << ": " << c.title;
            }
        }
    }
    std::filesystem::remove_all(t);
}

}  // namespace
}  // namespace e2e

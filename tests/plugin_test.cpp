// libpriotald.so loaded by a stand-in host (plugin_host) under the simulated
// array: the callout's answers and file, overrides from tald, the bound on
// the lock and on the commands, devices that are no array LUN, long runs,
// cancellation, and loading and unloading.

#include "harness.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <sstream>

namespace e2e {
namespace {

constexpr const char *kPlugin = PLUGIN_LIB;
constexpr const char *kHost = PLUGIN_HOST;
constexpr const char *kVersionedHost = PLUGIN_HOST_VERSIONED;
constexpr const char *kSteps = PLUGIN_STEPS;

const Lun kLun{1, 0x21, "vol01"};
const Lun kOther{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 1, 0};
const Path kSdc{"/dev/sdc", 3, 0, 1, 2, 3};

/// Every path of tools/simarray/scenarios/array8.scn, in the README's order.
std::vector<std::string> array8_paths()
{
    std::vector<std::string> names;
    for (char c = 'b'; c <= 'z'; ++c)
        names.push_back(std::string("sd") + c);
    for (char c = 'a'; c <= 'g'; ++c)
        names.push_back(std::string("sda") + c);
    return names;
}

using Results = std::vector<std::pair<std::string, int>>;

/// The host's lines "DEV RESULT MS" as DEV -> RESULT, in order.
Results results(const std::string &out)
{
    Results got;
    std::istringstream in(out);
    std::string dev;
    int result = 0;
    long ms = 0;
    while (in >> dev >> result >> ms) {
        got.emplace_back(dev, result);
    }
    return got;
}

/// Lines of `err` that are not what the host caught from syslog.
std::string not_syslog(const std::string &err)
{
    std::istringstream in(err);
    std::string other;
    for (std::string line; std::getline(in, line);) {
        // A traced text may hold its own line end.
        if (!line.empty() && line.rfind("syslog: ", 0) != 0) {
            other += line + "\n";
        }
    }
    return other;
}

/// The host's arguments: the plugin, then `args`.
std::vector<std::string> with_plugin(const std::vector<std::string> &args)
{
    std::vector<std::string> all = {kPlugin};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

class Plugin : public SimTest {
protected:
    Outcome host(const std::vector<std::string> &args) { return run(kHost, with_plugin(args)); }

    /// plugin_steps' file `name` in the test's directory.
    std::string flag(const std::string &name) const { return dir_ + "/" + name; }
    /// Waits (at most 20 s) for plugin_steps to create `name`.
    bool wait_for(const std::string &name) const
    {
        for (int i = 0; i < 20000 && !std::filesystem::exists(flag(name)); ++i) {
            usleep(1000);
        }
        return std::filesystem::exists(flag(name));
    }
    void create(const std::string &name) const { std::ofstream(flag(name)).put('\n'); }

    std::string array8() const { return read_file(ARRAY8_SCENARIO); }
};

TEST_F(Plugin, AnswersAndStoresAsTheCalloutOnEveryPath)
{
    scenario(array8());
    // Twice over every path: from an empty file, then with every path known.
    std::vector<std::string> expected;
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::string &dev : array8_paths()) {
            Outcome o = run(kCallout, {"/dev/" + dev});
            ASSERT_EQ(o.status, 0) << dev;
            expected.push_back(o.out);
        }
    }
    const std::string callout_file = state();
    std::filesystem::remove(state_path());

    std::vector<std::string> twice = array8_paths();
    for (const std::string &dev : array8_paths())
        twice.push_back(dev);
    Outcome o = host(twice);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    auto got = results(o.out);
    ASSERT_EQ(got.size(), expected.size()) << o.out;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(std::to_string(got[i].second) + "\n", expected[i]) << got[i].first;
    }
    EXPECT_EQ(state(), callout_file);
}

TEST_F(Plugin, HonoursTaldAndTracesToSyslog)
{
    scenario(node_text(kLun, kSdb));
    const int dflt = default_for(kSdb.cp, kLun.lunref);
    EXPECT_EQ(results(host({"sdb"}).out), (Results{{"sdb", dflt}}));
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdb", "7"}).status, 0);
    EXPECT_EQ(results(host({"sdb"}).out), (Results{{"sdb", 7}}));
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdb", "0"}).status, 0);

    // Debug traces go to syslog (daemon = 24, debug 7); the words not
    // understood get one warning (24 + 4) for the two calls.
    Outcome o = host({"-a", "  -x -v 3 junk", "sdb", "sdb"});
    EXPECT_EQ(results(o.out), (Results{{"sdb", dflt}, {"sdb", dflt}}));
    EXPECT_EQ(not_syslog(o.err), "");
    EXPECT_EQ(missing_line(o.err, {"syslog: 28 priotald: prio_args \"  -x -v 3 junk\": only "
                                   "\"-v 1\" to \"-v 3\" are understood, the rest is ignored",
                                   "syslog: 31 [61] ENTRY dev: /dev/sdb",
                                   "syslog: 31 [79] getPrio: " + std::to_string(dflt),
                                   "syslog: 31 [61] ENTRY dev: /dev/sdb"}),
              "")
        << o.err;
    EXPECT_EQ(o.err.find("syslog: 28 priotald: prio_args", 10), std::string::npos) << o.err;
    // Below -v 3 no debug line; without -v only errors, and there are none.
    o = host({"-a", "-v 2", "sdb"});
    EXPECT_EQ(o.err.find("[61]"), std::string::npos) << o.err;
    o = host({"sdb"});
    EXPECT_EQ(o.err, "");
}

TEST_F(Plugin, BoundsTheLockWaitAndTheCommands)
{
    scenario(node_text(kLun, kSdb) + node_text(kOther, kSdc) + "fault delay 3000\n");
    int fd = open((state_ + "/tald.lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);

    struct Case {
        const char *program;
        std::vector<std::string> args;
        long bound_ms;
    } const cases[] = {
        // Only a host older than 0.9.6 passes the third argument; one
        // without libmp_get_version is older than 0.8.6.
        {kVersionedHost, {"-R", "0.9.4", "-t", "1000"}, 1000},
        {kHost, {"-t", "1000"}, 1000},
        {kVersionedHost, {"-R", "0.9.6", "-t", "1000"}, 5000},
        {kVersionedHost, {"-R", "0.9.4", "-t", "0"}, 5000},
    };
    std::vector<Started> started;
    int index = 2000;
    for (const Case &c : cases) {
        std::vector<std::string> args = with_plugin(c.args);
        args.push_back("sdb");
        started.push_back(start(c.program, args, index++));
    }
    // Each call as the host timed it, without the start and the end of its
    // process, which a loaded machine may stretch by seconds: the bound and a
    // little more, far below the next bound of the table.
    auto call_ms = [](const std::string &out) {
        long ms = -1;
        return std::sscanf(out.c_str(), "%*s %*d %ld", &ms) == 1 ? ms : -1;
    };
    for (std::size_t i = 0; i < started.size(); ++i) {
        Outcome o = finish_within(started[i], 30000);
        auto got = results(o.out);
        ASSERT_EQ(got.size(), 1u) << o.out << o.err;
        EXPECT_EQ(got[0].second, -1) << i;
        EXPECT_GE(call_ms(o.out), cases[i].bound_ms - 5) << i;
        EXPECT_LE(call_ms(o.out), cases[i].bound_ms + 1000) << i;
        EXPECT_EQ(missing_line(o.err, {"syslog: 28 priotald: /dev/sdb: lock file "
                                       "/etc/lvm/cache/tald.lock still held by another run "
                                       "after " +
                                       std::to_string(cases[i].bound_ms) + " ms"}),
                  "")
            << o.err;
    }
    close(fd);
    EXPECT_FALSE(state_exists());

    // The commands of a dead path end with the bound: the failed probe's 0
    // (a probe that waited would answer the path's priority), before the 6 s
    // its two commands would take.
    Outcome o = finish_within(
        start(kVersionedHost, {kPlugin, "-R", "0.9.4", "-t", "500", "sdc"}, index++), 30000);
    EXPECT_EQ(results(o.out), (Results{{"sdc", 0}}));
    EXPECT_LT(call_ms(o.out), 6000);
}

// A call that waits for another thread's call to be done with the store
// gives up at its own bound, not when the other call gives up.
TEST_F(Plugin, TheWaitForAnotherThreadsCallEndsWithTheBound)
{
    scenario(node_text(kLun, kSdb) + node_text(kOther, kSdc));
    int fd = open((state_ + "/tald.lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    Outcome o = run(kSteps, {kPlugin, "=2000", "&sdb", "~200", "=300", "sdc"});
    close(fd);
    int sdb = 0, sdc = 0;
    long sdb_ms = -1, sdc_ms = -1;
    ASSERT_EQ(std::sscanf(o.out.c_str(), "sdc %d %ld\nsdb %d %ld\n", &sdc, &sdc_ms, &sdb, &sdb_ms),
              4)
        << o.out;
    EXPECT_EQ(sdc, -1);
    EXPECT_GE(sdc_ms, 290);
    EXPECT_LT(sdc_ms, 1500);
    EXPECT_EQ(sdb, -1);
    EXPECT_GE(sdb_ms, 1990);
    EXPECT_EQ(missing_line(o.err, {"syslog: 28 priotald: /dev/sdc: lock file "
                                   "/etc/lvm/cache/tald.lock still held by another run after "
                                   "300 ms"}),
              "")
        << o.err;
}

TEST_F(Plugin, DevicesThatAreNoArrayLunGetTheCalloutsZero)
{
    scenario(node_text(kLun, kSdb));
    // A missing node: tests/callout_test.cpp.
    EXPECT_EQ(run(kCallout, {"/dev/null"}).out, "0\n");
    Outcome o = host({"sdzz", "null", "", "../sdb", std::string(300, 'a')});
    EXPECT_EQ(o.status, 0);
    auto got = results(o.out);
    ASSERT_EQ(got.size(), 5u) << o.out;
    for (const auto &g : got) {
        EXPECT_EQ(g.second, 0) << g.first;
    }
    EXPECT_FALSE(state_exists());
}

TEST_F(Plugin, HundredThousandCallsStayFlat)
{
    use_memory_state();
    scenario(array8());
    Outcome o = host({"-n", "100000", "-m", "sdb"});
    // In the sanitizer build the leak check at the host's exit fails it.
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    long rss_growth_kb = -1;
    int fd_growth = -1;
    ASSERT_EQ(std::sscanf(o.out.c_str(), "sdb 1\nrss_growth_kb=%ld fd_growth=%d", &rss_growth_kb,
                          &fd_growth),
              2)
        << o.out;
    // The heap settles once (about 136 KiB on glibc, the same after 30,000
    // or 300,000 calls); a leak of 16 bytes a call would show 1.4 MiB.
    // The sanitizer keeps freed blocks in quarantine: there the leak check
    // stands in for the bound.
    if (!HOST_SANITIZED) {
        EXPECT_LE(rss_growth_kb, 256);
    }
    EXPECT_EQ(fd_growth, 0);
}

TEST_F(Plugin, ThreadsCancellationAndUnloading)
{
    use_memory_state();
    scenario(array8() + "node /dev/sdzz\naddr 9 0 0 1\ndesignator 3 61 62\nport 1 1\n"
                        "fault delay 300\n");
    // Four threads at once on four paths of two LUNs.
    Outcome o = host({"-n", "500", "-T", "4", "sdb", "sdj", "sdc", "sdk"});
    EXPECT_EQ(o.out, "sdb 1\nsdj 3\nsdc 3\nsdk 1\n");
    EXPECT_EQ(o.err, "");

    // A call cancelled while its commands run finishes, and the next call
    // finds the library free.
    long ms = 0;
    o = finish_within(start(kHost, {kPlugin, "-C", "100", "sdzz", "sdb"}, 3000), 10000, &ms);
    EXPECT_EQ(o.out.substr(0, o.out.find('\n')),
              "cancelled=Y result=" + std::to_string(default_for(0, 0x162)))
        << o.out;
    EXPECT_EQ(results(o.out.substr(o.out.find('\n') + 1)), (Results{{"sdb", 1}}));

    // multipath loads and unloads the plugin on every run.
    o = host({"-L", "200", "sdb"});
    EXPECT_EQ(o.out, "fd_growth=0\n");
}

TEST_F(Plugin, TheNextCallSeesEveryChangeOfTheFile)
{
    scenario(node_text(kLun, kSdb));
    const int dflt = default_for(kSdb.cp, kLun.lunref);
    Started steps = start(
        kSteps, {kPlugin, "sdb", "sdb", "@1", "sdb", "@2", "sdb", "@3", "sdb", "@4", "sdb"}, 3000);
    // An override set by tald between two calls.
    ASSERT_TRUE(wait_for("at.1"));
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdb", "7"}).status, 0);
    create("go.1");
    ASSERT_TRUE(wait_for("at.2"));
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdb", "6"}).status, 0);
    create("go.2");
    // A call well after the file was written: the plugin keeps it as read.
    ASSERT_TRUE(wait_for("at.3"));
    usleep(100000);
    create("go.3");
    // Then rewritten by hand, in place, to the same size and modification
    // time: only its change time tells.
    ASSERT_TRUE(wait_for("at.4"));
    std::string text = state();
    struct stat before {};
    ASSERT_EQ(stat(state_path().c_str(), &before), 0);
    text.replace(text.find(",6,"), 3, ",8,");
    int fd = open(state_path().c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    create("go.4");
    Outcome o = finish_within(steps, 30000);
    EXPECT_EQ(results(o.out), (Results{{"sdb", dflt}, {"sdb", dflt}, {"sdb", 7}, {"sdb", 6},
                                            {"sdb", 6}, {"sdb", 8}}))
        << o.out;
    EXPECT_EQ(o.err, "");
}

TEST_F(Plugin, ThreadsAnswerTheOldOrTheNewOverrideAndTheNewOnceTaldReturned)
{
    use_memory_state();
    scenario(array8());
    const int dflt = 1;  // sdb, as AnswersAndStoresAsTheCalloutOnEveryPath finds it
    Started steps = start(kSteps, {kPlugin, "sdb", "race=sdb,4,1,7"}, 3001);
    ASSERT_TRUE(wait_for("racing"));
    usleep(50000);
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdb", "7"}).status, 0);
    create("done");
    usleep(200000);
    create("stop");
    Outcome o = finish_within(steps, 30000);
    EXPECT_EQ(results(o.out), (Results{{"sdb", dflt}})) << o.out;
    EXPECT_NE(o.out.find("\nrace calls=some other=0 stale=0\n"), std::string::npos) << o.out;
    EXPECT_EQ(o.err, "");
}

TEST_F(Plugin, FailuresAreLoggedWhenTheyBeginAndEnd)
{
    scenario(node_text(kLun, kSdb));
    const int dflt = default_for(kSdb.cp, kLun.lunref);
    // A preference file that cannot be read: a directory in its place.
    ASSERT_TRUE(std::filesystem::create_directory(state_path()));
    Started steps =
        start(kSteps, {kPlugin, "sdb", "sdb", "@1", "sdb", "sdb", "@2", "sdb", "sdb"}, 3002);
    ASSERT_TRUE(wait_for("at.1"));
    std::filesystem::remove(state_path());
    create("go.1");
    ASSERT_TRUE(wait_for("at.2"));
    usleep(100000);
    create("go.2");
    Outcome o = finish_within(steps, 30000);
    EXPECT_EQ(results(o.out), (Results(6, {"sdb", dflt}))) << o.out;
    // Once at the start, once at the end; healthy calls, steady or not, log
    // nothing.
    EXPECT_EQ(o.err, "syslog: 28 priotald: /dev/sdb: preference file /etc/lvm/cache/tald.conf "
                     "cannot be read; nothing is stored\n"
                     "syslog: 29 priotald: /dev/sdb: answered again, priority " +
                         std::to_string(dflt) + "\n");
}

TEST_F(Plugin, AnAddressAbove255IsNoTextOnTheHostsDescriptors)
{
    scenario(node_text(kLun, kSdb) + node_text(kOther, kSdc));
    // LUN kOther stored with a hand-edited address; sdb not yet stored.
    write_state(conf_line(wwid_of(kOther), "vol02",
                          {{0, 0, {"/dev/sdx", 2, 0, 0, 300}, 6}, {3, 0, kSdc, 3}}));
    Outcome o = host({"sdb", "sdb"});
    EXPECT_EQ(results(o.out).size(), 2u) << o.out;
    EXPECT_EQ(not_syslog(o.err), "");
    // Once, by the call that wrote the file.
    EXPECT_EQ(o.err, "syslog: 28 !!! invalid scsi address (2:0:0:300\n");
    // The callout prints it only when it writes.
    std::filesystem::remove(state_path());
    write_state(conf_line(wwid_of(kOther), "vol02",
                          {{0, 0, {"/dev/sdx", 2, 0, 0, 300}, 6}, {3, 0, kSdc, 3}}));
    EXPECT_EQ(run(kCallout, {"/dev/sdb"}).err, "!!! invalid scsi address (2:0:0:300");
    EXPECT_EQ(run(kCallout, {"/dev/sdb"}).err, "");
}

TEST_F(Plugin, AHealthyPathDoesNotWaitForADeadOne)
{
    scenario(node_text(kLun, kSdb) + node_text(kOther, kSdc) + "fault delay 1000\n");
    // sdc's commands take 1 s each; sdb's call starts 200 ms after sdc's.
    Outcome o = run(kSteps, {kPlugin, "&sdc", "~200", "sdb"});
    long sdb_ms = -1;
    long sdc_ms = -1;
    int sdb = 0;
    int sdc = 0;
    ASSERT_EQ(std::sscanf(o.out.c_str(), "sdb %d %ld\nsdc %d %ld\n", &sdb, &sdb_ms, &sdc, &sdc_ms),
              4)
        << o.out;
    EXPECT_EQ(sdb, default_for(kSdb.cp, kLun.lunref));
    EXPECT_LT(sdb_ms, 1000);
    EXPECT_GE(sdc_ms, 2000);
    EXPECT_EQ(not_syslog(o.err), "");
}


/// The names in `dir`, sorted, or "absent".
std::string entries(const std::string &dir)
{
    std::error_code error;
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir, error))
        names.push_back(entry.path().filename().string());
    if (error)
        return "absent";
    std::sort(names.begin(), names.end());
    std::string all;
    for (const std::string &name : names)
        all += name + " ";
    return all;
}

// Where the state cannot be written (an initramfs's read-only copy, no
// directory), every path gets the override it can read or its default,
// nothing is written, and one syslog line says so for all the calls.
TEST_F(Plugin, AnswersFromWhatItCanReadWhereItCannotWrite)
{
    const Lun kThird{3, 0x23, "vol03"};
    const Path kSdd{"/dev/sdd", 4, 0, 0, 3, 2};
    const std::string nodes = node_text(kLun, kSdb) + node_text(kOther, kSdc) + node_text(kThird, kSdd);
    const std::string stored = conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}}) +
                               conf_line(wwid_of(kOther), "vol02", {{3, 0, kSdc, 4}});
    const int sdb = default_for(kSdb.cp, kLun.lunref);
    const int sdc = default_for(kSdc.cp, kOther.lunref);
    const int sdd = default_for(kSdd.cp, kThird.lunref);
    const std::string head = "syslog: 28 priotald: cannot write its state in /etc/lvm/cache (";
    const struct {
        const char *name;
        const char *faults;    ///< scenario lines
        bool no_dir;
        std::string file;      ///< tald.conf ("": none)
        Results want;
        std::string log;
    } cases[] = {
        {"no state directory", "", true, "", {{"sdb", sdb}, {"sdc", sdc}, {"sdd", sdd}, {"sdb", sdb}},
         head + "No such file or directory): no preference file /etc/lvm/cache/tald.conf, "
                "answers the default priorities, stores nothing\n"},
        {"read-only, override stored", "fail open /etc/lvm/cache/tald.lock EROFS\n", false, stored,
         {{"sdb", 7}, {"sdc", sdc}, {"sdd", sdd}, {"sdb", 7}},
         head + "Read-only file system): answers the overrides of /etc/lvm/cache/tald.conf and "
                "the default priorities, stores nothing\n"},
        {"no right to the lock file, override stored", "fail open /etc/lvm/cache/tald.lock EACCES\n",
         false, stored, {{"sdb", 7}, {"sdc", sdc}, {"sdd", sdd}, {"sdb", 7}},
         head + "Permission denied): answers the overrides of /etc/lvm/cache/tald.conf and the "
                "default priorities, stores nothing\n"},
        {"read-only, file unreadable",
         "fail open /etc/lvm/cache/tald.lock EROFS\nfail open /etc/lvm/cache/tald.conf EIO\n", false,
         stored, {{"sdb", sdb}, {"sdc", sdc}, {"sdd", sdd}, {"sdb", sdb}},
         head + "Read-only file system): preference file /etc/lvm/cache/tald.conf cannot be read "
                "(Input/output error), answers the default priorities, stores nothing\n"},
        {"read-only, file damaged", "fail open /etc/lvm/cache/tald.lock EROFS\n", false,
         conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}}) + "\x01garbage\n" +
             conf_line(wwid_of(kOther), "vol02", {{3, 0, kSdc, 5}}).substr(0, 40),
         {{"sdb", 7}, {"sdc", sdc}, {"sdd", sdd}, {"sdb", 7}},
         head + "Read-only file system): preference file /etc/lvm/cache/tald.conf is damaged, "
                "lines skipped or incomplete; answers the overrides it could read and the default "
                "priorities, stores nothing\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        scenario(nodes + c.faults);
        std::filesystem::remove_all(state_);
        if (!c.no_dir) {
            ASSERT_EQ(mkdir(state_.c_str(), 0755), 0);
            if (!c.file.empty())
                write_state(c.file);
        }
        const std::string before = entries(state_);
        Outcome o = host({"sdb", "sdc", "sdd", "sdb"});
        EXPECT_EQ(results(o.out), c.want) << o.out;
        EXPECT_EQ(o.err, c.log);
        EXPECT_EQ(entries(state_), before);
        if (!c.file.empty()) {
            EXPECT_EQ(state(), c.file);
        }
    }
}

// The condition is logged when it begins and once when it ends.
TEST_F(Plugin, RunningWithoutItsStateIsLoggedWhenItBeginsAndEnds)
{
    scenario(node_text(kLun, kSdb));
    const int dflt = default_for(kSdb.cp, kLun.lunref);
    ASSERT_TRUE(std::filesystem::remove(state_));
    Started steps = start(kSteps, {kPlugin, "sdb", "sdb", "@1", "sdb", "sdb"}, 3003);
    ASSERT_TRUE(wait_for("at.1"));
    ASSERT_EQ(mkdir(state_.c_str(), 0755), 0);
    create("go.1");
    Outcome o = finish_within(steps, 30000);
    EXPECT_EQ(results(o.out), (Results(4, {"sdb", dflt}))) << o.out;
    EXPECT_EQ(o.err, "syslog: 28 priotald: cannot write its state in /etc/lvm/cache (No such file "
                     "or directory): no preference file /etc/lvm/cache/tald.conf, answers the "
                     "default priorities, stores nothing\n"
                     "syslog: 29 priotald: writes its state in /etc/lvm/cache again\n");
    EXPECT_EQ(state(), conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, dflt}}));
}

// A state directory or preference file that a run as root refuses, a steady
// call refuses too, though the file it kept is unchanged.
TEST_F(Plugin, AKeptFileIsNotUsedOnceTheStateIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the ownership rules apply to runs as root";
    scenario(node_text(kLun, kSdb));
    const std::string base = state_;
    const struct {
        const char *entry;  ///< in the state directory; "" for the directory itself
        mode_t mode;
        uid_t owner;
        const char *why;  ///< the run lock's trace
    } cases[] = {
        {"", 0777, 0, "[356] ERROR: state directory /etc/lvm/cache is writable by group or others"},
        {"", 0700, 65534, "[354] ERROR: state directory /etc/lvm/cache is not owned by root"},
        {"/tald.conf", 0666, 0,
         "[360] ERROR: /etc/lvm/cache/tald.conf is writable by group or others"},
    };
    int index = 0;
    for (const auto &c : cases) {
        state_ = base + std::to_string(index++);
        ASSERT_EQ(mkdir(state_.c_str(), 0700), 0);
        write_state(conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}}));
        std::filesystem::remove(flag("at.1"));
        std::filesystem::remove(flag("go.1"));
        Started steps = start(kSteps, {kPlugin, "sdb", "~100", "sdb", "@1", "sdb"}, 3000 + index);
        ASSERT_TRUE(wait_for("at.1"));
        const std::string changed = state_ + c.entry;
        ASSERT_EQ(chmod(changed.c_str(), c.mode) | chown(changed.c_str(), c.owner, c.owner), 0);
        create("go.1");
        Outcome o = finish_within(steps, 30000);
        EXPECT_EQ(results(o.out), (Results{{"sdb", 7}, {"sdb", 7}, {"sdb", -1}})) << o.out;
        EXPECT_EQ(o.err, std::string("syslog: 27 ") + c.why +
                             "; not used\nsyslog: 28 priotald: /dev/sdb: lock file "
                             "/etc/lvm/cache/tald.lock cannot be used: Operation not permitted\n");
    }
}

// A refused state directory is a failure of every path: why is logged when
// it begins, not on each call.
TEST_F(Plugin, WhyTheStateIsRefusedIsLoggedOnce)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the ownership rules apply to runs as root";
    scenario(node_text(kLun, kSdb));
    write_state(conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}}));
    ASSERT_EQ(chmod(state_.c_str(), 0777), 0);
    Outcome o = host({"sdb", "sdb", "sdb"});
    EXPECT_EQ(results(o.out), (Results(3, {"sdb", -1}))) << o.out;
    EXPECT_EQ(o.err, "syslog: 27 [356] ERROR: state directory /etc/lvm/cache is writable by group "
                     "or others; not used\n"
                     "syslog: 28 priotald: /dev/sdb: lock file /etc/lvm/cache/tald.lock cannot be "
                     "used: Operation not permitted\n");
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

// Where a journal listens, the plugin's warnings go there with their fields
// and message ids, the text as syslog had it, and nothing to syslog; where
// none listens (the tests above), syslog has them as before.
TEST_F(Plugin, WarningsGoToTheJournalWithTheirFieldsWhereOneListens)
{
    scenario(node_text(kLun, kSdb));
    int journal = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    const std::string socket_path = state_ + "/journal.socket";
    std::memcpy(a.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ASSERT_EQ(bind(journal, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    struct Case {
        const char *title;
        void (*make)(const std::string &state, const std::string &conf);
        const char *id;
        std::string fields;  ///< the entry's fields after MESSAGE_ID and MESSAGE
        const char *message_start;
    } cases[] = {
        {"a file that cannot be read",
         [](const std::string &, const std::string &conf) { std::filesystem::create_directory(conf); },
         "07e2dbaa980b4de48ac0e56b3b92558f",
         "PRIORITY=4\nSYSLOG_FACILITY=3\nTALD_COMMAND=plugin\nTALD_DEVICE=/dev/sdb\n",
         "priotald: /dev/sdb: preference file /etc/lvm/cache/tald.conf cannot be read; nothing is stored"},
        {"a read-only state directory",
         [](const std::string &, const std::string &conf) { std::filesystem::remove(conf); },
         "366307987c914f4b9afdac4fa2634272",
         "PRIORITY=4\nSYSLOG_FACILITY=3\nTALD_COMMAND=plugin\nTALD_FILE=/etc/lvm/cache\n",
         "priotald: cannot write its state in /etc/lvm/cache (Read-only file system): no "
         "preference file /etc/lvm/cache/tald.conf, answers the default priorities, stores nothing"},
    };
    for (const Case &c : cases) {
        c.make(state_, state_path());
        if (std::string(c.id) == "366307987c914f4b9afdac4fa2634272")
            scenario(node_text(kLun, kSdb) + "fail open /etc/lvm/cache/tald.lock EROFS\n");
        Outcome o = host({"sdb"});
        EXPECT_EQ(o.err, "") << c.title;
        char buf[8192];
        ssize_t n = recv(journal, buf, sizeof buf, MSG_DONTWAIT);
        ASSERT_GT(n, 0) << c.title;
        std::string entry(buf, static_cast<std::size_t>(n));
        std::string head = std::string("MESSAGE_ID=") + c.id + "\nMESSAGE=" + c.message_start;
        EXPECT_EQ(entry.substr(0, head.size()), head) << c.title << "\n" << entry;
        EXPECT_NE(entry.find("\n" + c.fields), std::string::npos) << c.title << "\n" << entry;
        EXPECT_LT(recv(journal, buf, sizeof buf, MSG_DONTWAIT), 0) << c.title << ": one entry";
    }
    close(journal);
}

}  // namespace
}  // namespace e2e

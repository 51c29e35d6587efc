// What a stuck or hostile neighbour must not do to the host's priorities: a
// held lock, a dead path, a special file at the lock's place, a page that
// names no LUN, and names that would reach a terminal raw.

#include "harness.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace e2e {
namespace {

constexpr const char *kLockError = "Error:  Unable to obtain lock.\n";
// The programs' bounds, and what a loaded test machine may add to them.
constexpr long kCalloutBoundMs = 5000;
constexpr long kTaldBoundMs = 30000;
constexpr long kSlackMs = 4000;
constexpr uid_t kNobody = 65534;
constexpr const char *kStrace = "/usr/bin/strace";
// LeakSanitizer cannot work under ptrace (sanitizer build).
constexpr const char *kNoLeakCheck = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0";

const Lun kLun{1, 0x21, "vol01"};
const Lun kOther{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 1, 0};
const Path kSdc{"/dev/sdc", 3, 0, 1, 2, 3};

class Reliability : public SimTest {
protected:
    /// Takes the run lock the way another run would; -1 on failure.
    int hold_lock() const
    {
        int fd = open((state_ + "/tald.lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0 && flock(fd, LOCK_EX) != 0) {
            close(fd);
            fd = -1;
        }
        return fd;
    }
};

TEST_F(Reliability, HeldLockEndsInTheLockFailureWithinTheBound)
{
    scenario(node_text(kLun, kSdb));
    const std::string stored = conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 6}});
    write_state(stored);
    int fd = hold_lock();
    ASSERT_GE(fd, 0);
    struct stat lock_before = {};
    ASSERT_EQ(stat((state_ + "/tald.lock").c_str(), &lock_before), 0);

    // The callout and the listing start with SIGALRM blocked, as an older
    // multipath's callout runner leaves it: the bound must hold all the same.
    sigset_t alarm_set, saved;
    sigemptyset(&alarm_set);
    sigaddset(&alarm_set, SIGALRM);
    auto blocked = [&](const char *program, const std::vector<std::string> &args, int index) {
        pthread_sigmask(SIG_BLOCK, &alarm_set, &saved);
        Started s = start(program, args, index);
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        return s;
    };

    // Each run waits its program's bound (min_ms) and not much longer (max_ms).
    struct Case {
        Started run;
        long limit_ms, min_ms, max_ms;
        std::string out, trace;
    } const cases[] = {
        {blocked(kCallout, {"/dev/sdb"}, 1001), kCalloutBoundMs + kSlackMs,
         kCalloutBoundMs - 100, kCalloutBoundMs + kSlackMs - 100, kLockError, ""},
        {start(kTald, {"-v", "1", "--prio", "--set", "/dev/sdb", "8"}, 1002),
         kTaldBoundMs + kSlackMs, kTaldBoundMs - 100, kTaldBoundMs + kSlackMs,
         std::string(" Verbosity Level Set:1 \n") + kLockError,
         "[362] WARN: lock file still held by another run after 30000 ms"},
        {blocked(kTald, {"-l"}, 1003), kTaldBoundMs + kSlackMs, kTaldBoundMs - 100,
         kTaldBoundMs + kSlackMs - 100, kLockError, ""},
    };
    for (const Case &c : cases) {
        long ms = 0;
        Outcome o = finish_within(c.run, static_cast<int>(c.limit_ms), &ms);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.status, 255);
        EXPECT_GE(ms, c.min_ms) << c.out;
        EXPECT_LE(ms, c.max_ms) << c.out;
        if (!c.trace.empty()) {
            EXPECT_EQ(missing_line(o.err, {c.trace}), "") << o.err;
        }
    }
    close(fd);
    EXPECT_EQ(state(), stored);
    // Opened by every run, truncated by none: its times are as they were.
    struct stat lock_after = {};
    ASSERT_EQ(stat((state_ + "/tald.lock").c_str(), &lock_after), 0);
    EXPECT_EQ(lock_after.st_mtim.tv_sec, lock_before.st_mtim.tv_sec);
    EXPECT_EQ(lock_after.st_mtim.tv_nsec, lock_before.st_mtim.tv_nsec);
    EXPECT_EQ(lock_after.st_ctim.tv_nsec, lock_before.st_ctim.tv_nsec);
}

TEST_F(Reliability, InheritedAlarmStillFiresDuringTheLockWait)
{
    // A wrapper's limit (alarm, then exec) must end the run: the wait for the
    // lock neither replaces nor switches off the alarm it inherits.
    scenario(node_text(kLun, kSdb));
    int fd = hold_lock();
    ASSERT_GE(fd, 0);
    Started wrapped = start("/usr/bin/perl", {"-e", "alarm 2; exec @ARGV or die", kCallout, "/dev/sdb"},
                            1001);
    long ms = 0;
    Outcome o = finish_within(wrapped, kCalloutBoundMs + kSlackMs, &ms);
    close(fd);
    EXPECT_EQ(o.status, 1000 + SIGALRM) << o.out << o.err;
    EXPECT_GE(ms, 1900);
    // An alarm replaced by one of the lock's bound would end it at 5 s.
    EXPECT_LT(ms, kCalloutBoundMs);
}

TEST_F(Reliability, FreedLockIsTakenAtOnce)
{
    // Two runs wait for a held lock. Once it is freed, one of them takes it
    // before a run that starts only then can, as the lock's short back-off
    // promises: that run finds the change of one of them.
    scenario(node_text(kLun, kSdb) + node_text(kOther, kSdc));
    int fd = hold_lock();
    ASSERT_GE(fd, 0);
    Started callout = start(kCallout, {"/dev/sdc"}, 1001);
    Started set = start(kTald, {"--prio", "--set", "/dev/sdb", "7"}, 1002);
    // Each probes (two commands) before it waits for the lock.
    auto probed = [this](const std::string &dev) {
        const std::string log = sim_log(), command = "sgio " + dev + " ";
        int n = 0;
        for (std::size_t at = 0; (at = log.find(command, at)) != std::string::npos; ++at)
            ++n;
        return n >= 2;
    };
    for (int i = 0; i < 3000 && !(probed("/dev/sdb") && probed("/dev/sdc")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(probed("/dev/sdb") && probed("/dev/sdc")) << sim_log();
    // Long enough for their pauses between attempts to reach the longest.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    close(fd);
    // A waiter tries again within 10 ms; the listing starts 25 times later,
    // room for a busy machine to wake it. A back-off grown past that leaves
    // the freed lock to the listing.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    Outcome listing = run(kTald, {"-l"});
    EXPECT_EQ(listing.status, 0);
    EXPECT_TRUE(listing.out.find("[priority=7] [/dev/sdb]") != std::string::npos ||
                listing.out.find("[/dev/sdc]") != std::string::npos)
        << "a run that started after the lock was freed took it first:\n" << listing.out;

    Outcome o = finish_within(callout, kTaldBoundMs);
    EXPECT_EQ(o.out, std::to_string(default_for(kSdc.cp, kOther.lunref)) + "\n");
    EXPECT_EQ(o.status, 0);
    o = finish_within(set, kTaldBoundMs);
    EXPECT_NE(o.out.find(" /dev/sdb:7("), std::string::npos) << o.out;
    EXPECT_EQ(o.status, 0);
}

TEST_F(Reliability, DeadPathDoesNotDelayAHealthyPath)
{
    // Two commands of 3 s each: the dead path's probe takes 6 s.
    scenario(node_text(kLun, kSdb) + node_text(kOther, kSdc) + "fault delay 3000\n");
    Started dead = start(kCallout, {"/dev/sdc"}, 1001);
    for (int i = 0; i < 500 && sim_log().find("sgio /dev/sdc") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(sim_log().find("sgio /dev/sdc"), std::string::npos);

    Started healthy = start(kCallout, {"/dev/sdb"}, 1002);
    long ms = 0;
    Outcome o = finish_within(healthy, kCalloutBoundMs + kSlackMs, &ms);
    EXPECT_EQ(o.out, std::to_string(default_for(kSdb.cp, kLun.lunref)) + "\n");
    // Answered while the dead path's probe still runs, however slow the
    // machine: that probe sleeps its 6 s.
    siginfo_t info = {};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(dead.pid), &info, WEXITED | WNOHANG | WNOWAIT), 0);
    EXPECT_EQ(info.si_pid, 0) << "the healthy path answered after the dead one, in " << ms << " ms";

    o = finish_within(dead, 6000 + kCalloutBoundMs + kSlackMs, &ms);
    EXPECT_EQ(o.out, std::to_string(default_for(kSdc.cp, kOther.lunref)) + "\n");
    EXPECT_EQ(o.status, 0);
    std::vector<ConfRecord> records;
    ASSERT_TRUE(parse_conf(state(), &records)) << state();
    ASSERT_EQ(records.size(), 2u);
}

TEST_F(Reliability, SpecialFileAtTheLockAnswersAtOnce)
{
    scenario(node_text(kLun, kSdb));
    const std::string lock = state_ + "/tald.lock";
    const std::string outside = dir_ + "/precious";
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int fifo_reader = -1;

    struct Case {
        const char *what;
        std::function<int()> plant;  // 0 planted, 1 not possible here
    } const cases[] = {
        {"fifo", [&] { return mkfifo(lock.c_str(), 0600); }},
        {"fifo with a reader",
         [&] {
             if (mkfifo(lock.c_str(), 0600) == 0)
                 fifo_reader = open(lock.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
             return fifo_reader >= 0 ? 0 : -1;
         }},
        {"device node",
         [&] {
             return mknod(lock.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0 ? 0
                    : errno == EPERM                                       ? 1
                                                                           : -1;
         }},
        {"link to a file", [&] { return symlink(outside.c_str(), lock.c_str()); }},
        {"link to a fifo", [&] { return symlink(fifo.c_str(), lock.c_str()); }},
        {"directory", [&] { return mkdir(lock.c_str(), 0700); }},
    };
    for (const Case &c : cases) {
        std::filesystem::remove(lock);
        std::ofstream(outside, std::ios::trunc) << "keep me\n";
        chmod(outside.c_str(), 0604);
        int planted = c.plant();
        ASSERT_GE(planted, 0) << c.what << ": " << std::strerror(errno);
        if (planted == 1) {
            continue;
        }
        clear_log();
        for (const char *program : {kCallout, kTald}) {
            const bool callout = program == kCallout;
            // A run stuck in the open is killed here (status 1009). That no
            // run waited for the lock shows in the log: a run probes its
            // device before it waits.
            Outcome o = finish_within(
                start(program, callout ? std::vector<std::string>{"/dev/sdb"}
                                       : std::vector<std::string>{"--prio", "--get", "/dev/sdb"},
                      1001),
                kTaldBoundMs + kSlackMs);
            EXPECT_EQ(o.out, kLockError) << c.what;
            EXPECT_EQ(o.status, 255) << c.what;
        }
        EXPECT_EQ(sim_log().find("/dev/sdb"), std::string::npos) << c.what;
        EXPECT_EQ(read_file(outside), "keep me\n") << c.what;
        struct stat st = {};
        ASSERT_EQ(stat(outside.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0604u) << c.what;
        if (fifo_reader >= 0) {
            close(fifo_reader);
            fifo_reader = -1;
        }
    }
    EXPECT_FALSE(state_exists());
}

TEST_F(Reliability, PageWithoutDesignatorBytesIsAFailedProbe)
{
    // Page length 0; a page that ends before the designator; a designator of
    // length 0 followed by an alias descriptor. Without the rule all three
    // would share one stored LUN.
    scenario("node /dev/sdb\naddr 2 0 0 1\npage83 00 83 00 00\nport 1 1\n"
             "node /dev/sdc\naddr 2 0 0 2\npage83 00 83 00 04 01 03 00 08 61 23\nport 1 2\n"
             "node /dev/sdd\naddr 2 0 0 3\npage83 00 83 00 0a 01 03 00 00 02 00 00 02 41 42\n"
             "port 2 1\n");
    for (const char *dev : {"/dev/sdb", "/dev/sdc", "/dev/sdd"}) {
        Outcome o = run(kCallout, {dev});
        EXPECT_EQ(o.out, "0\n") << dev;
        EXPECT_EQ(o.status, 0) << dev;
        o = run(kTald, {"-v", "1", "--prio", "--get", dev});
        EXPECT_EQ(o.out, std::string(" Verbosity Level Set:1 \n0\n")) << dev;
        EXPECT_EQ(missing_line(o.err, {std::string("[286] ERROR[-1] getting wwid; dev: ") + dev}),
                  "")
            << o.err;
        o = run(kTald, {"--prio", "--set", dev, "8"});
        EXPECT_EQ(o.out, "") << dev;
        EXPECT_EQ(o.status, 255) << dev;
    }
    EXPECT_FALSE(state_exists());
}

TEST_F(Reliability, ListingShowsUnprintableNameBytesAsQuestionMarks)
{
    // ESC sequences, a BEL, DEL and UTF-8 bytes, percent-encoded in the file.
    const Path odd{"/dev/%1B]0;owned%07", 2, 0, 0, 1, 0};
    const std::string stored =
        conf_line("3600a%1Bb", "%1B[2Jevil%7F%C3%A9", {{0, 0, odd, 6}, {2, 1, kSdb, 3}});
    write_state(stored);
    Outcome o = run(kTald, {"-l"});
    EXPECT_EQ(o.out, "\n?[2Jevil??? (3600a?b)\n"
                     "\\_ C0P0 [2:0:0:1] [priority=6] [/dev/?]0;owned?]\n"
                     "\\_ C1P0 [2:0:0:1] [priority=3] [/dev/sdb]\n"
                     "\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(state(), stored);
}

TEST_F(Reliability, UnreadListingDoesNotHoldTheLock)
{
    // A listing far larger than a pipe holds, written into a pipe that
    // nobody reads, as into a stopped pager.
    std::string stored;
    for (int i = 0; i < 160; ++i) {
        std::vector<Slot> slots;
        for (int k = 0; k < 16; ++k) {
            Path p{"/dev/sdq" + std::to_string(k), 2 + k / 4, 0, k % 2, i, 0};
            slots.push_back({k % 4, k / 4, p, 1 + k % 4});
        }
        stored += conf_line("3f00d" + std::to_string(1000 + i), "lun" + std::to_string(i), slots);
    }
    write_state(stored);
    scenario(node_text(kLun, kSdb));
    const std::string pager = dir_ + "/pager";
    ASSERT_EQ(mkfifo(pager.c_str(), 0600), 0);
    int reader = open(pager.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    stdout_target_ = pager;
    Started list = start(kTald, {"-l"}, 1001);
    stdout_target_.clear();
    // The pipe fills up and the listing stops.
    for (int i = 0; i < 500; ++i) {
        int queued = 0;
        if (ioctl(reader, FIONREAD, &queued) == 0 && queued >= 65536) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    long ms = 0;
    Outcome o = finish_within(start(kCallout, {"/dev/sdb"}, 1002), kCalloutBoundMs + kSlackMs, &ms);
    // Under a held lock it would have ended in the lock failure at its bound.
    EXPECT_EQ(o.out, std::to_string(default_for(kSdb.cp, kLun.lunref)) + "\n");
    EXPECT_LT(ms, kCalloutBoundMs);

    std::string listing;
    fcntl(reader, F_SETFL, 0);
    char buffer[65536];
    for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;) {
        listing.append(buffer, static_cast<std::size_t>(n));
    }
    close(reader);
    o = finish_within(list, kTaldBoundMs);
    EXPECT_EQ(o.status, 0);
    EXPECT_GT(listing.size(), 100000u);
    EXPECT_EQ(listing.substr(0, 10), "\nlun159 (3");
}

/// Every entry of `dir` with its owner, mode, size, times and bytes: what a
/// refused run must leave exactly as it found it.
std::string snapshot(const std::string &dir)
{
    std::string all;
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        struct stat st = {};
        std::string path = dir + "/" + name;
        lstat(path.c_str(), &st);
        all += name + " " + std::to_string(st.st_uid) + " " + std::to_string(st.st_mode) + " " +
               std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_nsec) + " " +
               std::to_string(st.st_ctim.tv_nsec) + "\n" + read_file(path);
    }
    return all;
}

TEST_F(Reliability, StateThatOthersCouldChangeIsNotUsedByRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the ownership rules apply to runs as root";
    scenario(node_text(kLun, kSdb));
    const std::string stored = conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}});
    const std::string base = state_;
    const std::string lock = "/etc/lvm/cache/tald.lock";
    struct Case {
        const char *what;
        std::function<void(const std::string &)> spoil;  ///< given the state directory
        std::string trace;  ///< why, as the plugin traces it at -v 3
    } const cases[] = {
        {"directory 0777", [](const std::string &d) { chmod(d.c_str(), 0777); },
         "[356] ERROR: state directory /etc/lvm/cache is writable by group or others; not used"},
        {"directory 1777", [](const std::string &d) { chmod(d.c_str(), 01777); },
         "[356] ERROR: state directory /etc/lvm/cache is writable by group or others; not used"},
        {"directory 0775", [](const std::string &d) { chmod(d.c_str(), 0775); },
         "[356] ERROR: state directory /etc/lvm/cache is writable by group or others; not used"},
        {"directory of nobody",
         [](const std::string &d) { EXPECT_EQ(chown(d.c_str(), kNobody, kNobody), 0); },
         "[354] ERROR: state directory /etc/lvm/cache is not owned by root; not used"},
        {"lock file of nobody",
         [](const std::string &d) {
             close(open((d + "/tald.lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0640));
             EXPECT_EQ(chown((d + "/tald.lock").c_str(), kNobody, kNobody), 0);
         },
         "[358] ERROR: " + lock + " is not owned by root; not used"},
        {"preference file of nobody",
         [](const std::string &d) {
             EXPECT_EQ(chown((d + "/tald.conf").c_str(), kNobody, kNobody), 0);
         },
         "[358] ERROR: /etc/lvm/cache/tald.conf is not owned by root; not used"},
        {"preference file 0666", [](const std::string &d) { chmod((d + "/tald.conf").c_str(), 0666); },
         "[360] ERROR: /etc/lvm/cache/tald.conf is writable by group or others; not used"},
        {"preference file 0620 of nobody's group",
         [](const std::string &d) {
             chmod((d + "/tald.conf").c_str(), 0620);
             EXPECT_EQ(chown((d + "/tald.conf").c_str(), 0, kNobody), 0);
         },
         "[360] ERROR: /etc/lvm/cache/tald.conf is writable by group or others; not used"},
    };
    int index = 0;
    for (const Case &c : cases) {
        state_ = base + std::to_string(index);
        ASSERT_EQ(mkdir(state_.c_str(), 0755), 0);
        write_state(stored);
        c.spoil(state_);
        const std::string before = snapshot(state_);
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"/dev/sdb"}, std::vector<std::string>{"--help"}}) {
            Outcome o = run(kCallout, args);
            EXPECT_EQ(o.out, kLockError) << c.what;
            EXPECT_EQ(o.status, 255) << c.what;
        }
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"--prio", "--set", "/dev/sdb", "5"},
              std::vector<std::string>{"-l"}, std::vector<std::string>{"-F"}}) {
            Outcome o = run(kTald, args);
            EXPECT_EQ(o.out, kLockError) << c.what << " " << args[0];
            EXPECT_EQ(o.status, 255) << c.what;
        }
        Outcome plugin = run(PLUGIN_HOST, {PLUGIN_LIB, "-a", "-v 3", "sdb"});
        EXPECT_NE(plugin.err.find("syslog: 27 " + c.trace + "\n"), std::string::npos)
            << c.what << "\n" << plugin.err;
        EXPECT_EQ(snapshot(state_), before) << c.what;
        ++index;
    }

    // A preference file that others may only read, and the mode older
    // versions made, are used.
    state_ = base + "-modes";
    ASSERT_EQ(mkdir(state_.c_str(), 0755), 0);
    write_state(stored);
    for (mode_t mode : {0644u, 0640u}) {
        ASSERT_EQ(chmod(state_path().c_str(), mode), 0);
        EXPECT_EQ(run(kCallout, {"/dev/sdb"}).out, "7\n") << std::oct << mode;
    }

    // A symbolic link an administrator made in the directory's place is
    // followed, and the directory it names is judged.
    const std::string target = base + "-target";
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    state_ = base + "-link";
    ASSERT_EQ(symlink(target.c_str(), state_.c_str()), 0);
    write_state(stored);
    Outcome o = run(kCallout, {"/dev/sdb"});
    EXPECT_EQ(o.out, "7\n");
    EXPECT_EQ(o.status, 0);
}

TEST_F(Reliability, HostsTwoAndTwoHundredFiftyEightKeepSeparateOverrides)
{
    // The packed address keeps a host number's low byte only: 258 is 2 there.
    const Path on2{"/dev/sdb", 2, 0, 0, 1, 0};
    const Path on258{"/dev/sdc", 258, 0, 0, 1, 0};
    scenario(node_text(kLun, on2) + node_text(kLun, on258));
    for (const auto &[dev, prio] : {std::pair<std::string, int>{"/dev/sdb", 8}, {"/dev/sdc", 6}}) {
        Outcome o = run(kTald, {"--prio", "--set", dev, std::to_string(prio)});
        EXPECT_EQ(o.status, 0) << o.out;
        EXPECT_EQ(o.err, "");
    }
    EXPECT_EQ(run(kCallout, {"/dev/sdb"}).out, "8\n");
    EXPECT_EQ(run(kCallout, {"/dev/sdc"}).out, "6\n");
    EXPECT_EQ(state(), conf_line(wwid_of(kLun), "vol01", {{0, 0, on2, 8}, {0, 1, on258, 6}}));
    Outcome listing = run(kTald, {"-l"});
    EXPECT_NE(listing.out.find("/dev/sdc"), std::string::npos) << listing.out;
}

/// A process of user nobody (and of its group alone) that opens `path` for
/// reading, and takes its flock when the test asks; it answers each step
/// with its errno (0: done) and keeps what it opened until it is destroyed.
class Nobody {
public:
    explicit Nobody(const std::string &path)
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            char c = 0;
            if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
                _exit(1);
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            c = static_cast<char>(fd < 0 ? errno : 0);
            if (write(ends[1], &c, 1) == 1 && read(ends[1], &c, 1) == 1) {
                c = static_cast<char>(flock(fd, LOCK_EX) == 0 ? 0 : errno);
                if (write(ends[1], &c, 1) == 1)
                    pause();
            }
            _exit(0);
        }
        channel_ = ends[0];
        close(ends[1]);
        opened_ = answer();
    }
    Nobody(const Nobody &) = delete;
    Nobody &operator=(const Nobody &) = delete;
    ~Nobody()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        close(channel_);
    }
    int opened() const { return opened_; }
    int lock()
    {
        char c = 0;
        return write(channel_, &c, 1) == 1 ? answer() : -1;
    }

private:
    int answer()
    {
        char c = 0;
        return read(channel_, &c, 1) == 1 ? static_cast<unsigned char>(c) : -1;
    }
    pid_t pid_ = -1;
    int channel_ = -1;
    int opened_ = -1;
};

// A lock file that others could open (0644 as `touch` leaves it, or a group
// of theirs) let them hold every run of the host. A root run replaces it by
// one only root can open, so a descriptor opened before, locked before or
// after, holds nothing that counts.
TEST_F(Reliability, LockFileThatOthersCouldOpenIsReplacedByRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a run as root replaces the lock file";
    scenario(node_text(kLun, kSdb));
    ASSERT_NO_FATAL_FAILURE(use_reachable_state());
    write_state(conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}}));
    const std::string lock = state_ + "/tald.lock";
    const struct {
        mode_t mode;
        gid_t group;
        bool locked_first;  ///< nobody locks before root's first run, else after it
    } cases[] = {{0644, 0, true}, {0644, 0, false}, {0640, kNobody, true}};
    for (const auto &c : cases) {
        std::filesystem::remove(lock);
        close(open(lock.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_EQ(chmod(lock.c_str(), c.mode) | chown(lock.c_str(), 0, c.group), 0);
        Nobody nobody(lock);
        ASSERT_EQ(nobody.opened(), 0) << std::oct << c.mode;
        ASSERT_EQ(c.locked_first ? nobody.lock() : 0, 0);
        for (int round = 0; round < 2; ++round) {
            // Its answer, not the lock failure at its bound: nobody's lock
            // held it up. A loaded machine may stretch the run; only a run
            // that hangs is killed here.
            Outcome o = finish_within(start(kCallout, {"/dev/sdb"}, 1001), kTaldBoundMs);
            EXPECT_EQ(o.out, "7\n") << std::oct << c.mode << " " << c.locked_first;
            ASSERT_EQ(c.locked_first || round > 0 ? 0 : nobody.lock(), 0);
        }
        Outcome o = finish_within(start(PLUGIN_HOST, {PLUGIN_LIB, "sdb"}, 1002), kTaldBoundMs);
        EXPECT_EQ(o.out.rfind("sdb 7 ", 0), 0u) << o.out;
        struct stat st = {};
        ASSERT_EQ(lstat(lock.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(Nobody(lock).opened(), EACCES);
    }
    EXPECT_FALSE(std::filesystem::exists(lock + ".new"));
}

// A run that waited on a lock file that was replaced meanwhile (by another
// run, as above) waits for the new file's lock: one run at a time still.
TEST_F(Reliability, RunThatWaitedOnAReplacedLockFileWaitsForTheNewOne)
{
    scenario(node_text(kLun, kSdb));
    const std::string lock = state_ + "/tald.lock";
    int old_fd = hold_lock();
    ASSERT_GE(old_fd, 0);
    Started callout = start(kCallout, {"/dev/sdb"}, 1001);
    // The lock file is opened before the device is probed.
    for (int i = 0; i < 500 && sim_log().find("sgio /dev/sdb") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int new_fd = open((lock + ".new").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(new_fd, 0);
    ASSERT_EQ(flock(new_fd, LOCK_EX), 0);
    ASSERT_EQ(rename((lock + ".new").c_str(), lock.c_str()), 0);
    close(old_fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    siginfo_t info = {};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(callout.pid), &info, WEXITED | WNOHANG | WNOWAIT), 0);
    EXPECT_EQ(info.si_pid, 0) << "the callout ended while another run held the lock";
    close(new_fd);
    Outcome o = finish_within(callout, kCalloutBoundMs + kSlackMs);
    EXPECT_EQ(o.out, std::to_string(default_for(kSdb.cp, kLun.lunref)) + "\n");
    EXPECT_EQ(o.status, 0);
}

// tald.lock widened while a run is inside it (an admin's chmod, a restore
// with umask 022): the run as root that then replaces it waits for the one
// inside first, so the second override is made on the first one's file and
// both are kept.
TEST_F(Reliability, LockFileWidenedDuringARunStillLetsOneRunInAtATime)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a run as root replaces the lock file";
    if (access(kStrace, X_OK) != 0)
        GTEST_SKIP() << "strace is not installed (tools/setup.sh installs it)";
    scenario(node_text(kLun, kSdb) + node_text(kLun, kSdc));
    const std::string lock = state_ + "/tald.lock";
    // The first run's save stalls 2 s in its rename, inside the lock.
    Started first = start(kStrace,
                          {"-qq", "-o", "/dev/null", "-E", kNoLeakCheck, "-e",
                           "trace=rename,renameat,renameat2", "-e",
                           "inject=rename,renameat,renameat2:delay_enter=2000000", kTald,
                           "--prio", "--set", "/dev/sdb", "8"},
                          1001);
    const std::string saving = state_path() + ".tmp";
    for (int i = 0; i < 1000 && access(saving.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(access(saving.c_str(), F_OK), 0) << "the first run never saved";
    ASSERT_EQ(chmod(lock.c_str(), 0644), 0);
    Outcome second = finish_within(start(kTald, {"--prio", "--set", "/dev/sdc", "6"}, 1002),
                                   kTaldBoundMs + kSlackMs);
    EXPECT_EQ(second.status, 0) << second.out;
    EXPECT_EQ(finish_within(first, kTaldBoundMs + kSlackMs).status, 0);
    EXPECT_EQ(run(kCallout, {"/dev/sdb"}).out, "8\n");
    EXPECT_EQ(run(kCallout, {"/dev/sdc"}).out, "6\n") << "the second run's confirmed override";
    struct stat st = {};
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// tald.lock removed, renamed or replaced by hand while a run is inside it:
// the next run makes a fresh lock file and comes in beside it. The first
// run, stopped after it read the file and before it writes, must then not
// put back what it read over the second one's confirmed override.
TEST_F(Reliability, LockFileRemovedOrReplacedDuringARunLosesNoConfirmedOverride)
{
    if (access(kStrace, X_OK) != 0)
        GTEST_SKIP() << "strace is not installed (tools/setup.sh installs it)";
    scenario(node_text(kLun, kSdb) + node_text(kOther, kSdc));
    const std::string lock = state_ + "/tald.lock";
    const std::string temp = state_path() + ".tmp";
    const std::function<int()> actions[] = {
        [&] { return unlink(lock.c_str()); },
        [&] { return rename(lock.c_str(), (lock + ".moved").c_str()); },
        [&] {
            close(open((lock + ".fresh").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
            return rename((lock + ".fresh").c_str(), lock.c_str());
        },
    };
    for (bool first_sets : {true, false}) {
        for (std::size_t a = 0; a < std::size(actions); ++a) {
            SCOPED_TRACE(std::string(first_sets ? "tald --set" : "callout") + ", action " +
                         std::to_string(a));
            write_state(conf_line(wwid_of(kOther), "vol02",
                                  {{kSdc.cp, 0, kSdc, default_for(kSdc.cp, kOther.lunref)}}));
            std::filesystem::remove(lock + ".moved");
            // The first run stops for 2 s once it has removed what stood at
            // the temporary name (a file of the test's): it has read the
            // file and is about to write.
            std::ofstream(temp) << "x";
            std::vector<std::string> first_args = {
                "-qq", "-o", "/dev/null", "-E", kNoLeakCheck, "-e", "trace=unlink,unlinkat", "-e",
                "inject=unlink,unlinkat:delay_exit=2000000:when=1"};
            std::vector<std::string> program =
                first_sets ? std::vector<std::string>{kTald, "--prio", "--set", "/dev/sdb", "8"}
                           : std::vector<std::string>{kCallout, "/dev/sdb"};
            first_args.insert(first_args.end(), program.begin(), program.end());
            Started first = start(kStrace, first_args, 1001);
            for (int i = 0; i < 1000 && access(temp.c_str(), F_OK) == 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_NE(access(temp.c_str(), F_OK), 0) << "the first run never saved";
            ASSERT_EQ(actions[a](), 0) << strerror(errno);
            Outcome second = finish_within(start(kTald, {"--prio", "--set", "/dev/sdc", "6"}, 1002),
                                           kTaldBoundMs + kSlackMs);
            ASSERT_EQ(second.status, 0) << second.out << second.err;
            Outcome one = finish_within(first, kTaldBoundMs + kSlackMs);
            EXPECT_EQ(run(kCallout, {"/dev/sdc"}).out, "6\n") << "the second run's, confirmed";
            // The first run's change is not confirmed, and not written.
            EXPECT_EQ(run(kCallout, {"/dev/sdb"}).out,
                      std::to_string(default_for(kSdb.cp, kLun.lunref)) + "\n");
            if (first_sets) {
                EXPECT_EQ(one.status, 255);
                EXPECT_EQ(one.out.find("/dev/sdb:"), std::string::npos) << one.out;
                EXPECT_EQ(missing_line(one.err, {"[296] ERROR: lock file /etc/lvm/cache/tald.lock "
                                                 "was removed or replaced during the run; "
                                                 "/etc/lvm/cache/tald.conf not rewritten",
                                                 "[102] WARNING: Problem saving path priority"}),
                          "")
                    << one.err;
            } else {
                EXPECT_EQ(one.status, 0);
                EXPECT_EQ(one.out, std::to_string(default_for(kSdb.cp, kLun.lunref)) + "\n");
            }
            EXPECT_FALSE(std::filesystem::exists(temp));
        }
    }
}

}  // namespace
}  // namespace e2e

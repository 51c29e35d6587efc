// What a stuck or hostile neighbour must not do to the host's priorities: a
// held lock, a dead path, a special file at the lock's place, a page that
// names no LUN, and names that would reach a terminal raw.

#include "harness.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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

const Lun kLun{1, 0x21, "vol01"};
const Lun kOther{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 1, 0};
const Path kSdc{"/dev/sdc", 3, 0, 1, 2, 3};

class Reliability : public SimTest {
protected:
    /// Takes the run lock the way another run would; -1 on failure.
    int hold_lock() const
    {
        int fd = open((state_ + "/tald.lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0640);
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

    // Each run waits its program's bound (min_ms) and not much longer (max_ms).
    struct Case {
        Started run;
        long limit_ms, min_ms, max_ms;
        std::string out, trace;
    } const cases[] = {
        {start(kCallout, {"/dev/sdb"}, 1001), kCalloutBoundMs + kSlackMs, kCalloutBoundMs - 100,
         kCalloutBoundMs + kSlackMs - 100, kLockError, ""},
        {start(kTald, {"-v", "1", "--prio", "--set", "/dev/sdb", "8"}, 1002),
         kTaldBoundMs + kSlackMs, kTaldBoundMs - 100, kTaldBoundMs + kSlackMs,
         std::string(" Verbosity Level Set:1 \n") + kLockError,
         "[362] WARN: lock file still held by another run after 30000 ms"},
        {start(kTald, {"-l"}, 1003), kTaldBoundMs + kSlackMs, 0, kTaldBoundMs + kSlackMs - 100,
         kLockError, ""},
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
}

TEST_F(Reliability, FreedLockIsTakenAtOnce)
{
    scenario(node_text(kLun, kSdb));
    int fd = hold_lock();
    ASSERT_GE(fd, 0);
    Started callout = start(kCallout, {"/dev/sdb"}, 1001);
    Started get = start(kTald, {"--prio", "--get", "/dev/sdb"}, 1002);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    close(fd);
    const std::string prio = std::to_string(default_for(kSdb.cp, kLun.lunref)) + "\n";
    for (const Started &s : {callout, get}) {
        long ms = 0;
        Outcome o = finish_within(s, 1000 + kSlackMs, &ms);
        EXPECT_EQ(o.out, prio);
        EXPECT_EQ(o.status, 0);
        EXPECT_LE(ms, 2500);
    }
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
    EXPECT_LE(ms, 2000);

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
            Outcome o = finish_within(
                start(program, callout ? std::vector<std::string>{"/dev/sdb"}
                                       : std::vector<std::string>{"--prio", "--get", "/dev/sdb"},
                      1001),
                3000);
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
    EXPECT_EQ(o.out, std::to_string(default_for(kSdb.cp, kLun.lunref)) + "\n");
    EXPECT_LE(ms, 2000);

    std::string listing;
    fcntl(reader, F_SETFL, 0);
    char buffer[65536];
    for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;) {
        listing.append(buffer, static_cast<std::size_t>(n));
    }
    close(reader);
    o = finish_within(list, 5000);
    EXPECT_EQ(o.status, 0);
    EXPECT_GT(listing.size(), 100000u);
    EXPECT_EQ(listing.substr(0, 10), "\nlun159 (3");
}

}  // namespace
}  // namespace e2e

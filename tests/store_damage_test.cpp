// The programs under the simulated array with a state directory that an
// accident or a hostile admin has damaged: what they answer, how soon, and
// what they leave behind.

#include "harness.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace e2e {
namespace {

const Lun kLun{1, 0x11, "vol01"};
const Lun kOther{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 1, 0};

constexpr auto kAnswerBound = std::chrono::seconds(10);

class StoreDamage : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scenario(node_text(kLun, kSdb));
        stored_ = conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}}) +
                  conf_line(wwid_of(kOther), "vol02", {});
    }

    /// Runs the callout on /dev/sdb, killed if it has not ended within the
    /// bound; *in_time tells which.
    Outcome callout_within_bound(bool *in_time)
    {
        static int counter = 5000;
        Started started = start(kCallout, {"/dev/sdb"}, counter++);
        auto deadline = std::chrono::steady_clock::now() + kAnswerBound;
        *in_time = false;
        while (std::chrono::steady_clock::now() < deadline) {
            // WNOWAIT: finish() reaps it.
            siginfo_t info{};
            if (waitid(P_PID, started.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == started.pid) {
                *in_time = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (!*in_time)
            kill(started.pid, SIGKILL);
        return finish(started);
    }

    std::string path(const char *name) const { return state_ + "/" + name; }

    std::string stored_;
};

TEST_F(StoreDamage, UnreadableFileIsAnsweredAroundAndKeptWhole)
{
    write_state(stored_);
    scenario(node_text(kLun, kSdb) + "fail open /etc/lvm/cache/tald.conf EACCES\n");
    Outcome o = run(kCallout, {"/dev/sdb"});
    EXPECT_EQ(o.out, std::to_string(default_for(0, 1)) + "\n");
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(state(), stored_);

    o = run(kTald, {"-v", "1", "--prio", "--set", "/dev/sdb", "8"});
    EXPECT_EQ(o.status, 255);
    // The load's own traces come before "-v" is read; the save's show.
    EXPECT_EQ(missing_line(o.err, {"[217] Configuration file was not read whole; not rewritten",
                                   "[102] WARNING: Problem saving path priority"}),
              "")
        << o.err;
    EXPECT_EQ(state(), stored_);

    // Readable again: the stored override is back.
    scenario(node_text(kLun, kSdb));
    EXPECT_EQ(run(kCallout, {"/dev/sdb"}).out, "7\n");
}

TEST_F(StoreDamage, SpecialFilesAreAnsweredWithinSeconds)
{
    const std::string outside = dir_ + "/outside";
    struct Case {
        const char *name;
        const char *at;  // "tald.conf" or "tald.conf.tmp"
        int kind;        // 0 FIFO, 1 symlink to a FIFO, 2 device node
    } const cases[] = {
        {"FIFO as the file", "tald.conf", 0},
        {"symlink to a FIFO as the file", "tald.conf", 1},
        {"device node as the file", "tald.conf", 2},
        {"FIFO as the temporary file", "tald.conf.tmp", 0},
        {"symlink to a FIFO as the temporary file", "tald.conf.tmp", 1},
        {"device node as the temporary file", "tald.conf.tmp", 2},
    };
    for (const Case &c : cases) {
        std::filesystem::remove_all(path("tald.conf"));
        std::filesystem::remove_all(path("tald.conf.tmp"));
        std::filesystem::remove_all(outside);
        const bool at_file = std::string(c.at) == "tald.conf";
        // Without /dev/sdb's LUN, so that the run has something to save.
        if (!at_file)
            write_state(conf_line(wwid_of(kOther), "vol02", {}));
        const std::string at = path(c.at);
        int made = -1;
        if (c.kind == 0)
            made = mkfifo(at.c_str(), 0600);
        else if (c.kind == 1)
            made = mkfifo(outside.c_str(), 0600) == 0 ? symlink(outside.c_str(), at.c_str()) : -1;
        else
            made = mknod(at.c_str(), S_IFCHR | 0600, makedev(1, 3));
        ASSERT_EQ(made, 0) << c.name;
        struct stat before {};
        ASSERT_EQ(lstat(at.c_str(), &before), 0);

        bool in_time = false;
        Outcome o = callout_within_bound(&in_time);
        ASSERT_TRUE(in_time) << c.name;
        EXPECT_EQ(o.status, 0) << c.name;
        if (at_file) {
            // Not read, so not replaced: the run answers as without a file.
            EXPECT_EQ(o.out, std::to_string(default_for(0, 1)) + "\n") << c.name;
            struct stat after {};
            ASSERT_EQ(lstat(at.c_str(), &after), 0) << c.name;
            EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
            EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
        } else {
            const int d = default_for(0, 1);
            EXPECT_EQ(o.out, std::to_string(d) + "\n") << c.name;
            EXPECT_TRUE(std::filesystem::is_regular_file(
                std::filesystem::symlink_status(state_path())))
                << c.name;
            EXPECT_EQ(state(), conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, d}}) +
                                   conf_line(wwid_of(kOther), "vol02", {}))
                << c.name;
        }
    }
}

TEST_F(StoreDamage, PlantedSymlinksChangeNoOutsideFile)
{
    const std::string outside = dir_ + "/outside";
    const std::string precious = "precious\n";
    auto plant = [&](const char *name) {
        std::filesystem::remove_all(path("tald.conf"));
        std::filesystem::remove_all(path("tald.conf.tmp"));
        std::ofstream(outside, std::ios::trunc) << precious;
        ASSERT_EQ(chmod(outside.c_str(), 0600), 0);
        ASSERT_EQ(symlink(outside.c_str(), path(name).c_str()), 0);
    };

    plant("tald.conf.tmp");
    write_state(stored_);
    EXPECT_EQ(run(kTald, {"--prio", "--set", "/dev/sdb", "8"}).status, 0);
    EXPECT_EQ(run(kCallout, {"/dev/sdb"}).out, "8\n");
    EXPECT_EQ(read_file(outside), precious);
    struct stat st {};
    ASSERT_EQ(stat(outside.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(state_path())));

    plant("tald.conf");
    Outcome o = run(kTald, {"--prio", "--set", "/dev/sdb", "8"});
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(read_file(outside), precious);
    EXPECT_TRUE(std::filesystem::is_symlink(state_path()));
}

}  // namespace
}  // namespace e2e

// The programs under the simulated array with a state directory that an
// accident or a hostile admin has damaged: what they answer, how soon, and
// what they leave behind.

#include "harness.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace e2e {
namespace {

const Lun kLun{1, 0x11, "vol01"};
const Lun kOther{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 1, 0};

constexpr int kAnswerBoundMs = 10000;  // a run still going then is killed (status 1009)

class StoreDamage : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scenario(node_text(kLun, kSdb));
        stored_ = conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}}) +
                  conf_line(wwid_of(kOther), "vol02", {});
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
    const char *const kinds[] = {"FIFO", "symlink to a FIFO", "device node"};
    int index = 5000;
    for (int i = 0; i < 6; ++i) {
        const char *at_name = i < 3 ? "tald.conf" : "tald.conf.tmp";
        const int kind = i % 3;
        const std::string name = std::string(kinds[kind]) + " as " + at_name;
        for (const std::string &p : {path("tald.conf"), path("tald.conf.tmp"), outside})
            std::filesystem::remove_all(p);
        const bool at_file = std::string(at_name) == "tald.conf";
        // Without /dev/sdb's LUN, so that the run has something to save.
        if (!at_file)
            write_state(conf_line(wwid_of(kOther), "vol02", {}));
        const std::string at = path(at_name);
        int made = -1;
        if (kind == 0)
            made = mkfifo(at.c_str(), 0600);
        else if (kind == 1)
            made = mkfifo(outside.c_str(), 0600) == 0 ? symlink(outside.c_str(), at.c_str()) : -1;
        else
            made = mknod(at.c_str(), S_IFCHR | 0600, makedev(1, 3));
        ASSERT_EQ(made, 0) << name;
        struct stat before {};
        ASSERT_EQ(lstat(at.c_str(), &before), 0);

        Outcome o = finish_within(start(kCallout, {"/dev/sdb"}, index++), kAnswerBoundMs);
        ASSERT_NE(o.status, 1009) << name << ": not answered within the bound";
        EXPECT_EQ(o.status, 0) << name;
        // No priority of /dev/sdb is stored either way: the default answers.
        const int d = default_for(0, 1);
        EXPECT_EQ(o.out, std::to_string(d) + "\n") << name;
        if (at_file) {
            // Not read, so not replaced: the run answers as without a file.
            struct stat after {};
            ASSERT_EQ(lstat(at.c_str(), &after), 0) << name;
            EXPECT_EQ(after.st_ino, before.st_ino) << name;
            EXPECT_EQ(after.st_mode, before.st_mode) << name;
        } else {
            EXPECT_TRUE(std::filesystem::is_regular_file(
                std::filesystem::symlink_status(state_path())))
                << name;
            EXPECT_EQ(state(), conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, d}}) +
                                   conf_line(wwid_of(kOther), "vol02", {}))
                << name;
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

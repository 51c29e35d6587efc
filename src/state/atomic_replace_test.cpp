#include "state/atomic_replace.hpp"

#include "state/lock_file.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The one replace that the preference file (a path from the working
// directory, the run lock looked at) and tald's written files (a walked
// directory's descriptor and a bare name) both take: the new content in
// place and the directory synced, or the old content kept and nothing left
// beside it.
TEST(AtomicReplace, RenamesAfterTheLockCheckAndSyncsTheDirectory)
{
    const LockFile lost;  // closed: no longer the run's lock
    const struct {
        const char *name;
        bool walked;           ///< through the directory's O_PATH descriptor
        const LockFile *held;
        bool dir_in_the_way;   ///< a directory stands at the name
        ReplaceStep step;
        int error;
    } cases[] = {
        {"path, no lock looked at", false, nullptr, false, kReplaceDone, 0},
        {"walked directory", true, nullptr, false, kReplaceDone, 0},
        {"lock lost", false, &lost, false, kReplaceLockLost, -ENOLCK},
        {"rename refused", true, nullptr, true, kReplaceRename, -EISDIR},
    };
    const char *tmp = std::getenv("TEST_TMPDIR");
    for (const auto &c : cases) {
        std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/atomic_replace_XXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        std::string name = dir + "/file";
        if (c.dir_in_the_way) {
            std::filesystem::create_directories(name + "/inside");
        } else {
            std::ofstream(name) << "old\n";
        }
        int dir_fd = c.walked ? open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC) : AT_FDCWD;
        std::string temp = c.walked ? ".file.new" : name + ".tmp";
        std::string base = c.walked ? "file" : name;
        int fd = openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << c.name;
        ASSERT_EQ(write(fd, "new\n", 4), 4);

        ReplaceResult r = replace_commit(dir_fd, temp.c_str(), base.c_str(), fd, c.held);
        EXPECT_EQ(r.step, c.step) << c.name;
        EXPECT_EQ(r.error, c.error) << c.name;
        EXPECT_EQ(r.dir_opened, c.step == kReplaceDone) << c.name;
        EXPECT_EQ(r.dir_error, 0) << c.name;
        if (!c.dir_in_the_way) {
            EXPECT_EQ(read_text(name), c.step == kReplaceDone ? "new\n" : "old\n") << c.name;
        }
        EXPECT_FALSE(std::filesystem::exists(dir + "/" + (c.walked ? temp : "file.tmp"))) << c.name;
        if (dir_fd >= 0)
            close(dir_fd);
        std::filesystem::remove_all(dir);
    }
}

// A run that lost the lock may share the temporary name with the run that
// holds it now: what stands there when it gives up is the other run's file,
// and stays.
TEST(AtomicReplace, LostLockLeavesAnotherRunsFileAtTheTemporaryName)
{
    const char *tmp = std::getenv("TEST_TMPDIR");
    std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/atomic_replace_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    std::string name = dir + "/file";
    std::string temp = name + ".tmp";
    std::ofstream(name) << "old\n";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "new\n", 4), 4);
    ASSERT_EQ(unlink(temp.c_str()), 0);
    std::ofstream(temp) << "other\n";
    const LockFile lost;
    ReplaceResult r = replace_commit(AT_FDCWD, temp.c_str(), name.c_str(), fd, &lost);
    EXPECT_EQ(r.step, kReplaceLockLost);
    EXPECT_EQ(read_text(name), "old\n");
    EXPECT_EQ(read_text(temp), "other\n");
    std::filesystem::remove_all(dir);
}

}  // namespace

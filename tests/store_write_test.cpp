// The preference file across runs of the programs: a run that changes
// nothing in it leaves it alone, and says so nowhere but on the disk.

#include "harness.hpp"

#include <fcntl.h>
#include <sys/stat.h>

namespace e2e {
namespace {

const Lun kLun{1, 0x11, "vol01"};
const Lun kOther{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 1, 0};

using StoreWrite = SimTest;

TEST_F(StoreWrite, UnchangedRunsLeaveTheFileAlone)
{
    scenario(node_text(kLun, kSdb));
    const std::string lun = conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}});
    const std::string other = conf_line(wwid_of(kOther), "vol02", {});
    struct Case {
        const char *name;
        std::string content;
        bool written;
    } const cases[] = {
        {"as written", lun + other, false},
        {"CRLF ends", lun.substr(0, lun.size() - 1) + "\r\n" + other, true},
    };
    std::string first_err;
    for (const Case &c : cases) {
        for (const char *program : {kCallout, kTald}) {
            write_state(c.content);
            const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, state_path().c_str(), old_times, 0), 0);
            struct stat before {};
            ASSERT_EQ(stat(state_path().c_str(), &before), 0);

            bool callout = program == kCallout;
            Outcome o = callout ? run(program, {"/dev/sdb"})
                                : run(program, {"-v", "3", "--prio", "--get", "/dev/sdb"});
            EXPECT_EQ(o.status, 0) << c.name;
            struct stat after {};
            ASSERT_EQ(stat(state_path().c_str(), &after), 0);
            EXPECT_EQ(after.st_ino != before.st_ino, c.written) << c.name;
            EXPECT_EQ(after.st_mtim.tv_sec != before.st_mtim.tv_sec, c.written) << c.name;
            EXPECT_EQ(state(), c.written ? other + lun : c.content) << c.name;
            if (callout) {
                EXPECT_EQ(o.out, "7\n") << c.name;
                continue;
            }
            // Every trace of the run, the save's included, as when it writes.
            if (first_err.empty())
                first_err = o.err;
            EXPECT_EQ(o.err, first_err) << c.name;
            const std::string first_line = other.substr(0, other.size() - 1);
            EXPECT_EQ(missing_line(o.err, {"[212] ENTRY", "[291] " + first_line}), "") << o.err;
        }
    }
}

}  // namespace
}  // namespace e2e

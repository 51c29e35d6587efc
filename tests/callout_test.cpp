// mpath_prio_tald under the simulated array: its command line, its lock
// file fallbacks, and what it leaves in the preference file.

#include "harness.hpp"

#include <unistd.h>

namespace e2e {
namespace {

constexpr std::string_view kHelp =
    "\n Usage: mpath_prio_tald -[PATH] \n"
    "               example:  mpath_prio_tald /dev/sdb \n \n";

const Lun kLun{1, 0x11, "vol01"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 1, 0};
const Path kSdc{"/dev/sdc", 2, 0, 1, 1, 2};

class Callout : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scenario(node_text(kLun, kSdb) + node_text(kLun, kSdc));
    }
};

TEST_F(Callout, CommandLineWords)
{
    const std::string must = std::string("Must enter a path \n") + std::string(kUsage);
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{}, must},
        {{"--help"}, std::string(kHelp)},
        {{"-help"}, std::string(kHelp)},
        {{"--help", "/dev/sdb"}, std::string(kHelp)},
        // Not help words: handed over as device nodes, which cannot be probed.
        {{"--helpx"}, "0\n"},
        {{"--HELP"}, "0\n"},
        {{"-Help"}, "0\n"},
        {{"help"}, "0\n"},
        {{"/dev/nonexistent"}, "0\n"},
    };
    for (const Case &c : cases) {
        std::string label = c.args.empty() ? "(none)" : c.args[0];
        Outcome o = run(kCallout, c.args);
        EXPECT_EQ(o.out, c.out) << label;
        EXPECT_EQ(o.err, "") << label;
        EXPECT_EQ(o.status, 0) << label;
        EXPECT_FALSE(state_exists()) << label;
    }
    // The lock file was created even where no device was asked.
    EXPECT_EQ(access((state_ + "/tald.lock").c_str(), F_OK), 0);
}

TEST_F(Callout, AnswersForTheFirstOfTwoNodes)
{
    clear_log();
    Outcome o = run(kCallout, {"/dev/sdc", "/dev/sdb"});
    EXPECT_EQ(o.out, std::to_string(default_for(2, 1)) + "\n");
    EXPECT_EQ(o.status, 0);
    std::string log = sim_log();
    EXPECT_NE(log.find("/dev/sdc"), std::string::npos) << log;
    EXPECT_EQ(log.find("/dev/sdb"), std::string::npos) << log;
    EXPECT_EQ(state(), conf_line(wwid_of(kLun), "vol01", {{2, 0, kSdc, default_for(2, 1)}}));
}

TEST_F(Callout, UnprobeableDevicesAnswerZeroAndLeaveTheFileAlone)
{
    const std::string stored =
        conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}, {2, 0, kSdc, default_for(2, 1)}});
    struct Case {
        const char *name;
        std::string node;
    } cases[] = {
        {"open fails", "node /dev/sdd\nfault open EACCES\n"},
        {"no address", "node /dev/sdd\naddr 2 0 0 2\nfault idlun EINVAL\n"},
        {"SG_IO fails", "node /dev/sdd\naddr 2 0 0 2\nfault sgio EIO\n"},
        {"inquiry refused", "node /dev/sdd\naddr 2 0 0 2\ndesignator 3 00 01 02\n"
                            "fault inquiry check\n"},
        {"read buffer refused", "node /dev/sdd\naddr 2 0 0 2\ndesignator 3 00 01 02\n"
                                "fault readbuffer check\n"},
        {"unknown controller", "node /dev/sdd\naddr 2 0 0 2\ndesignator 3 00 01 02\n"
                               "reply 00 00 00 00 01 03 f1 f1\n"},
        {"marker missing", "node /dev/sdd\naddr 2 0 0 2\ndesignator 3 00 01 02\n"
                           "reply 00 00 00 00 01 02 f1 00\n"},
    };
    for (const Case &c : cases) {
        scenario(node_text(kLun, kSdb) + node_text(kLun, kSdc) + c.node);
        write_state(stored);
        Outcome o = run(kCallout, {"/dev/sdd"});
        EXPECT_EQ(o.out, "0\n") << c.name;
        EXPECT_EQ(o.status, 0) << c.name;
        EXPECT_EQ(state(), stored) << c.name;
    }
}

TEST_F(Callout, ReadOnlyLockFileAnswersOneWithoutTouchingDevices)
{
    const std::string fail = "fail open /etc/lvm/cache/tald.lock EROFS\n";
    scenario(fail + node_text(kLun, kSdb));
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"/dev/sdb"}, "1\n"},
        {{"/dev/nonexistent"}, "1\n"},
        {{}, std::string("Must enter a path \n") + std::string(kUsage)},
        {{"--help"}, std::string(kHelp)},
    };
    for (const Case &c : cases) {
        clear_log();
        Outcome o = run(kCallout, c.args);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(sim_log().find("/dev/sdb"), std::string::npos) << sim_log();
        EXPECT_FALSE(state_exists());
    }
}

TEST_F(Callout, UnopenableLockFileFails)
{
    const std::string stored = conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}});
    for (const char *err : {"EACCES", "ENOENT", "EPERM"}) {
        scenario(std::string("fail open /etc/lvm/cache/tald.lock ") + err + "\n" +
                 node_text(kLun, kSdb));
        write_state(stored);
        clear_log();
        Outcome o = run(kCallout, {"/dev/sdb"});
        EXPECT_EQ(o.out, "Error:  Unable to obtain lock.\n") << err;
        EXPECT_EQ(o.status, 255) << err;
        EXPECT_EQ(sim_log().find("/dev/sdb"), std::string::npos) << err << ": " << sim_log();
        EXPECT_EQ(state(), stored) << err;
    }
}

TEST_F(Callout, LostAnswerIsAFailure)
{
    stdout_target_ = "/dev/full";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"/dev/sdb"}, {"--help"}, {}}) {
        EXPECT_EQ(run(kCallout, args).status, 255) << (args.empty() ? "(none)" : args[0]);
    }
}

}  // namespace
}  // namespace e2e

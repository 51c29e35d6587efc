// tald under the simulated array: the option scan, its messages and exit
// statuses, flush, listing, alias, and the traces that "-v" lets through.

#include "harness.hpp"

namespace e2e {
namespace {

const std::string kUsageText(kUsage);

const std::string kHelp =
    "\n Usage: tald -[OPTION] [LEVEL] -[OPTION] \n"
    "\n Usage: tald --[OPTION] --[CONDITION] [PATH] \n"
    "\n Usage: tald --[OPTION] --[CONDITION] [PATH] [PREFERENCE] \n\n"
    " Allows user to Get Quelvane Path Manager information and Set path preferences \n\n"
    "    -v level -option   Control output verbosity level where level is 0-3 and option is "
    "-F/-l/-V  \n"
    "                 example:  tald -v 3 -F  \n\n"
    "    -F                 Flush current path preferences and allow Quelvane Path Manager to "
    "determine path preferences \n\n"
    "    -l                 Show current multipath configuration \n\n"
    "    -V                 Display current version of Quelvane Path Manager \n\n"
    "    --alias --get path  Get alias for Logical Drive  \n"
    "                 example:  tald --alias --get /dev/sdb \n\n"
    "    --prio --get path   Get path preference \n"
    "                 example:  tald --prio --get /dev/sdb \n\n"
    "    --prio --set path preference   Set path preference \n"
    "                 example:  tald --prio --set /dev/sdb 8 \n \n";

std::string level(int n) { return " Verbosity Level Set:" + std::to_string(n) + " \n"; }

/// The listing of an empty LUN list.
const std::string kEmptyListing = "\n\n";

const Lun kLun{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 2, 0};
const Path kSdc{"/dev/sdc", 3, 0, 0, 2, 1};

struct Case {
    std::vector<std::string> args;
    std::string out;
    int status;
    std::string err = "";
};

std::string show(const std::vector<std::string> &args)
{
    std::string text;
    for (const std::string &a : args) {
        text += "'" + a + "' ";
    }
    return text;
}

class Command : public SimTest {
protected:
    void check(const Case &c)
    {
        Outcome o = run(kTald, c.args);
        EXPECT_EQ(o.out, c.out) << show(c.args);
        EXPECT_EQ(o.status, c.status) << show(c.args);
        EXPECT_EQ(o.err, c.err) << show(c.args);
    }
};

// Cases that need no device and no preference file.
TEST_F(Command, OptionScanWithoutState)
{
    const Case cases[] = {
        {{}, kUsageText, 1},
        {{"bogus"}, kUsageText, 1},
        {{"-x", "--LIST", "--FLUSH", "-f", "--Version"}, kUsageText, 1},
        {{"-v", "2"}, level(2), 0},
        {{"-v", "2", "junk"}, level(2), 0},
        {{"-v"}, "Must Enter A Verbosity Level \n", 0},
        {{"-v", "1", "-v"}, level(1) + "Must Enter A Verbosity Level \n", 0},
        {{"-V"}, "Version: tald-dm 0.3.2\n", 0},
        {{"--version"}, "Version: tald-dm 0.3.2\n", 0},
        {{"-V", "-l"}, "Version: tald-dm 0.3.2\n", 0},
        {{"--help"}, kHelp, 0},
        {{"-help"}, kHelp, 0},
        {{"--helpx"}, kUsageText, 1},
        {{"-l"}, kEmptyListing, 0},
        {{"--list"}, kEmptyListing, 0},
        {{"word", "-l"}, kEmptyListing, 0},
        // The level is converted like strtol and then examined as an argument.
        {{"-v", "-l"}, level(0) + kEmptyListing, 0},
        {{"-v", "9", "-l"}, level(9) + kEmptyListing, 0},
        {{"-v", " +2", "-V"}, level(2) + "Version: tald-dm 0.3.2\n", 0},
        {{"-v", "3x", "-l"}, level(3) + kEmptyListing, 0, "[363] ENTRY\n"},
        {{"-v", "-7", "-V"}, level(-7) + "Version: tald-dm 0.3.2\n", 0},
        {{"-v", "99999999999", "-V"}, level(2147483647) + "Version: tald-dm 0.3.2\n", 0},
        // The later "-v" wins: level 1 writes no level-7 trace of the listing.
        {{"-v", "3", "-v", "1", "-l"}, level(3) + level(1) + kEmptyListing, 0},
        {{"-v", "3", "--help"}, level(3) + kHelp, 0, "[187] ENTRY\n"},
        {{"-F"}, "Error Flushing Configuration\n" + kUsageText, 1},
        {{"--flush"}, "Error Flushing Configuration\n" + kUsageText, 1},
        {{"-v", "2", "-F"}, level(2) + "Error Flushing Configuration\n" + kUsageText, 1},
        {{"--alias", "--set", "/dev/sdb"}, "", 255},
        {{"--alias", "--get"}, "Must Enter an operation and a path \n" + kUsageText, 1},
        {{"-v", "1", "--alias", "--get"}, level(1) + "Must Enter an operation and a path \n", 0},
        {{"--prio"}, "Must Enter an operation and a path and or a preference \n" + kUsageText, 1},
        {{"-v", "0", "--prio"},
         level(0) + "Must Enter an operation and a path and or a preference \n",
         0},
        {{"--prio", "--set", "/dev/sdb"},
         "Must Enter an operation a path and a preference \n" + kUsageText,
         1},
        {{"--prio", "--get"}, "Must enter an operation and a path \n" + kUsageText, 1},
        {{"--prio", "--bogus", "/dev/sdb"}, "Missing argument \n" + kUsageText, 1},
        // Neither the drain nor the restore has a dry run: refused, nothing carried out.
        {{"--drain", "C1", "--dry-run"}, "The drain and the restore have no --dry-run \n" + kUsageText, 1},
        {{"--restore", "--wait", "--dry-run"},
         "The drain and the restore have no --dry-run \n" + kUsageText, 1},
        {{"--prio", "--SET", "/dev/sdb"}, "Missing argument \n" + kUsageText, 1},
        {{"--alias"}, "Must Enter an operation and a path \n" + kUsageText, 1},
        {{"-v", "1", "--prio", "--get"}, level(1) + "Must enter an operation and a path \n", 0},
        {{"-v", "1", "--prio", "--set", "/dev/sdb"},
         level(1) + "Must Enter an operation a path and a preference \n",
         0},
        // An alias operation ends the run at once: no finish step after a "-v".
        {{"-v", "1", "--alias", "--set", "/dev/sdb"}, level(1), 255},
        {{"-v", "-v", "3"}, level(0) + level(3), 0},
        {{"-v", "1", "--prio", "--bogus", "/dev/sdb"},
         level(1) + "Missing argument \n" + kUsageText,
         1},
        // A path that cannot be probed has priority 0.
        {{"--prio", "--get", "/dev/nonexistent"}, "0\n", 0},
    };
    for (const Case &c : cases) {
        check(c);
        EXPECT_FALSE(state_exists()) << show(c.args);
    }
}

TEST_F(Command, FlushRemovesThePreferenceFile)
{
    const std::string stored = conf_line(wwid_of(kLun), "vol02", {{0, 0, kSdb, 6}});
    const Case cases[] = {
        {{"-F"}, "", 0},
        {{"--flush"}, "", 0},
        {{"--Flush"}, "", 0},
        {{"-v", "3", "-F"}, level(3), 0},
        // The flush ends the run: the "-v" after it is never examined.
        {{"-F", "-v", "3"}, "", 0},
    };
    for (const Case &c : cases) {
        write_state(stored);
        check(c);
        EXPECT_FALSE(state_exists()) << show(c.args);
    }
    write_state(stored);
    check({{"-FF"}, kUsageText, 1});
    EXPECT_EQ(state(), stored);
}

TEST_F(Command, LockFileThatCannotBeOpened)
{
    const std::string stored = conf_line(wwid_of(kLun), "vol02", {{0, 0, kSdb, 6}});
    for (const char *err : {"EROFS", "EACCES"}) {
        scenario(std::string("fail open /etc/lvm/cache/tald.lock ") + err + "\n" +
                 node_text(kLun, kSdb));
        write_state(stored);
        for (const std::vector<std::string> &args :
             {std::vector<std::string>{"-V"}, {"-F"}, {"--prio", "--set", "/dev/sdb", "8"}}) {
            clear_log();
            check({args, "Error:  Unable to obtain lock.\n", 255});
            EXPECT_EQ(state(), stored) << err;
            EXPECT_EQ(sim_log().find("/dev/sdb"), std::string::npos) << err;
        }
    }
}

// Whatever the output, a full standard output is status 255 and said.
TEST_F(Command, LostOutputIsAFailure)
{
    stdout_target_ = "/dev/full";
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-V"}, {"-l"}, {"--help"}, {"--metrics"},
          {"--prio", "--get", "/dev/nonexistent"}}) {
        Outcome o = run(kTald, args);
        EXPECT_EQ(o.status, 255) << show(args);
        EXPECT_TRUE(
            o.err.ends_with("standard output: cannot be written: No space left on device\n"))
            << show(args) << o.err;
    }
}

TEST_F(Command, Alias)
{
    const Lun no_alias{3, 0x33, ""};
    const Path sdd{"/dev/sdd", 2, 0, 1, 3, 2};
    scenario(node_text(kLun, kSdb) + node_text(no_alias, sdd) +
             "node /dev/sde\naddr 2 0 0 4\ndesignator 3 00 05 60 0a 0b 80 00 44\n"
             "reply 00 00 00 00 01 02 f1 00\n");
    const std::string line = "vol02 " + wwid_of(kLun) + "\n";
    check({{"--alias", "--get", "/dev/sdb"}, line, 0});
    check({{"--aliases", "--get", "/dev/sdb"}, line, 0});
    Outcome o = run(kTald, {"-v", "2", "--alias", "--get", "/dev/sdb"});
    EXPECT_EQ(o.out, level(2) + line);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(missing_line(o.err, {"[47] (1) dev: /dev/sdb, wwid: " + wwid_of(kLun) +
                                       " alias: \"vol02\""}),
              "")
        << o.err;
    // getAlias reads neither the list nor the file.
    EXPECT_FALSE(state_exists());

    // No alias on the page, and a port reply that leaves cp undetermined: the
    // trace names the path that was asked for.
    o = run(kTald, {"-v", "1", "--alias", "--get", "/dev/sdd"});
    EXPECT_EQ(o.out, level(1));
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(missing_line(o.err, {"[43] Problem getting alias(0) dev: /dev/sdd"}), "") << o.err;

    o = run(kTald, {"-v", "1", "--alias", "--get", "/dev/sde"});
    EXPECT_EQ(o.out, level(1));
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(missing_line(o.err, {"[43] Problem getting alias(-1) dev: /dev/sde"}), "")
        << o.err;

    o = run(kTald, {"--alias", "--get", "/dev/nonexistent"});
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.status, 255);
    EXPECT_FALSE(state_exists());
}

TEST_F(Command, ListingGolden)
{
    const Lun other{4, 0x44, "LUN_04"};
    const Path b{"/dev/sdb", 2, 0, 0, 2, 0}, c{"/dev/sdc", 2, 0, 1, 2, 2},
        d{"/dev/sdd", 3, 0, 0, 2, 1}, e{"/dev/sde", 3, 0, 1, 2, 3};
    const Path f{"/dev/sdf", 2, 0, 0, 4, 0}, g{"/dev/sdg", 3, 0, 1, 4, 3};
    scenario(node_text(kLun, b) + node_text(kLun, c) + node_text(kLun, d) + node_text(kLun, e) +
             node_text(other, f) + node_text(other, g));
    for (const char *dev : {"/dev/sdb", "/dev/sdc", "/dev/sdd", "/dev/sde"}) {
        ASSERT_EQ(run(kCallout, {dev}).status, 0);
    }
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdc", "8"}).status, 0);
    for (const char *dev : {"/dev/sdf", "/dev/sdg"}) {
        ASSERT_EQ(run(kCallout, {dev}).status, 0);
    }
    // Every load reverses the file and every new LUN goes first: after the
    // two runs on LUN 4 the file reads LUN 2, LUN 4, and the listing, loaded
    // once more, shows LUN 4 first.
    const std::string lun2 = "vol02 (" + wwid_of(kLun) + ")\n"
                             "\\_ C0P0 [2:0:0:2] [priority=2] [/dev/sdb]\n"
                             "\\_ C0P1 [3:0:0:2] [priority=3] [/dev/sdd]\n"
                             "\\_ C1P0 [2:0:1:2] [priority=8] [/dev/sdc]\n"
                             "\\_ C1P1 [3:0:1:2] [priority=1] [/dev/sde]\n";
    const std::string lun4 = "LUN_04 (" + wwid_of(other) + ")\n"
                             "\\_ C0P0 [2:0:0:4] [priority=1] [/dev/sdf]\n"
                             "\\_ C1P1 [3:0:1:4] [priority=4] [/dev/sdg]\n";
    check({{"-l"}, "\n" + lun4 + lun2 + "\n", 0});
    // The listing does not rewrite the file: a second one shows the same.
    check({{"--list", "-V"}, "\n" + lun4 + lun2 + "\n", 0});
}

}  // namespace
}  // namespace e2e

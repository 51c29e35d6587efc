// Priorities through both programs: defaults rotated by lunref, overrides,
// resets and refusals, the alias refresh, unprobeable paths, and the traces
// of the path operations.

#include "harness.hpp"

namespace e2e {
namespace {

/// Four paths of one LUN, one per controller port, named from `first`
/// ("/dev/sdb" ... ) on; hosts 2 and 3 as a two-adapter host sees them.
std::vector<Path> four_paths(char first, int lun)
{
    std::vector<Path> paths;
    for (int cp = 0; cp < 4; ++cp) {
        Path p;
        p.dev = std::string("/dev/sd") + static_cast<char>(first + cp);
        p.host = 2 + cp % 2;
        p.id = cp / 2;
        p.lun = lun;
        p.cp = cp;
        paths.push_back(p);
    }
    return paths;
}

std::string refusal(const std::string &dev)
{
    return "Priority for " + dev + " must be between 5 & 8 or equal to 0\n";
}

std::string confirmation(const Lun &lun, const Path &p, int prio)
{
    static const char *labels[] = {"C0P0", "C0P1", "C1P0", "C1P1"};
    return wwid_of(lun) + " " + p.dev + ":" + std::to_string(prio) + "(" + labels[p.cp] +
           ", host port " + std::to_string(p.host) + ")\n";
}

class Priority : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        paths_ = four_paths('b', 1);
        set_alias("vol01");
    }
    void set_alias(const std::string &alias)
    {
        lun_.alias = alias;
        std::string text;
        for (const Path &p : paths_) {
            text += node_text(lun_, p);
        }
        scenario(text + "node /dev/sdz\naddr 4 0 0 9\ndesignator 3 00 05 60 0a 0b 80 00 99\n"
                        "reply 00 00 00 00 01 02 f1 00\n");
    }
    std::string callout(const Path &p) { return run(kCallout, {p.dev}).out; }
    void discover()
    {
        for (const Path &p : paths_) {
            ASSERT_EQ(callout(p), std::to_string(default_for(p.cp, lun_.lunref)) + "\n");
        }
    }
    /// The file's line for the LUN with its four paths at their defaults but
    /// for `overrides` (by cp).
    std::string line(std::vector<std::pair<int, int>> overrides = {})
    {
        std::vector<Slot> slots;
        for (const Path &p : paths_) {
            int prio = default_for(p.cp, lun_.lunref);
            for (auto [cp, value] : overrides) {
                if (cp == p.cp) {
                    prio = value;
                }
            }
            slots.push_back({p.cp, 0, p, prio});
        }
        return conf_line(wwid_of(lun_), lun_.alias, slots);
    }

    Lun lun_{1, 0x11, "vol01"};
    std::vector<Path> paths_;
};

TEST_F(Priority, FourPortsReceiveOneToFourRotatedByLunref)
{
    const Lun luns[] = {{0, 1, "L0"}, {1, 2, "L1"}, {2, 3, "L2"}, {3, 4, "L3"},
                        {4, 5, "L4"}, {1023, 6, "L1023"}};
    std::string text;
    std::vector<std::vector<Path>> paths;
    char name = 'b';
    for (const Lun &lun : luns) {
        paths.push_back(four_paths(name, lun.lunref % 256));
        name = static_cast<char>(name + 4);
        for (const Path &p : paths.back()) {
            text += node_text(lun, p);
        }
    }
    scenario(text);
    for (std::size_t i = 0; i < std::size(luns); ++i) {
        // Ports in a scrambled order: the answer depends on the port alone.
        for (int cp : {2, 0, 3, 1}) {
            const Path &p = paths[i][cp];
            Outcome o = run(kCallout, {p.dev});
            EXPECT_EQ(o.out, std::to_string(default_for(cp, luns[i].lunref)) + "\n")
                << "lunref " << luns[i].lunref << " cp " << cp;
            EXPECT_EQ(o.status, 0);
        }
    }
    std::vector<ConfRecord> records;
    ASSERT_TRUE(parse_conf(state(), &records)) << state();
    ASSERT_EQ(records.size(), std::size(luns));
    for (std::size_t i = 0; i < std::size(luns); ++i) {
        const ConfRecord *rec = nullptr;
        for (const ConfRecord &r : records) {
            if (r.wwid == wwid_of(luns[i])) {
                rec = &r;
            }
        }
        ASSERT_NE(rec, nullptr) << luns[i].alias;
        EXPECT_EQ(rec->alias, luns[i].alias);
        bool seen[5] = {};
        for (int cp = 0; cp < 4; ++cp) {
            EXPECT_EQ(rec->dev[cp][0], paths[i][cp].dev);
            EXPECT_EQ(rec->prio[cp][0], default_for(cp, luns[i].lunref));
            seen[rec->prio[cp][0]] = true;
            for (int slot = 1; slot < 4; ++slot) {
                EXPECT_EQ(rec->prio[cp][slot], 0);
            }
        }
        EXPECT_TRUE(seen[1] && seen[2] && seen[3] && seen[4]) << luns[i].alias;
    }
}

TEST_F(Priority, FirstCalloutStoresOneLine)
{
    EXPECT_EQ(callout(paths_[3]), "2\n");
    EXPECT_EQ(state(), conf_line(wwid_of(lun_), "vol01", {{3, 0, paths_[3], 2}}));
    discover();
    EXPECT_EQ(state(), line());
}

TEST_F(Priority, OverrideSurvivesCalloutsAndResetReturnsTheDefault)
{
    discover();
    const Path &sdb = paths_[0];
    Outcome o = run(kTald, {"--prio", "--set", sdb.dev, "7"});
    EXPECT_EQ(o.out, confirmation(lun_, sdb, 7));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(state(), line({{0, 7}}));
    for (int round = 0; round < 2; ++round) {
        for (const Path &p : paths_) {
            EXPECT_EQ(callout(p), std::to_string(p.cp == 0 ? 7 : default_for(p.cp, 1)) + "\n");
        }
    }
    EXPECT_EQ(run(kTald, {"--prio", "--get", sdb.dev}).out, "7\n");
    EXPECT_EQ(state(), line({{0, 7}}));

    // Texts read by the atoi rule; no digits is a reset.
    const int def = default_for(0, 1);
    const struct {
        const char *text;
        int applied;
    } cases[] = {{"8", 8}, {"0", def}, {"5", 5}, {"", def}, {"6x", 6}, {"abc", def},
                 {" +7", 7}, {"-0", def}, {"7", 7}};
    for (const auto &c : cases) {
        o = run(kTald, {"--prio", "--set", sdb.dev, c.text});
        EXPECT_EQ(o.out, confirmation(lun_, sdb, c.applied)) << "'" << c.text << "'";
        EXPECT_EQ(o.status, 0) << "'" << c.text << "'";
        EXPECT_EQ(callout(sdb), std::to_string(c.applied) + "\n") << "'" << c.text << "'";
        EXPECT_EQ(state(), line({{0, c.applied}})) << "'" << c.text << "'";
    }
    // An override on another port leaves the first one alone.
    o = run(kTald, {"-v", "1", "--prio", "--set", paths_[3].dev, "5"});
    EXPECT_EQ(o.out, " Verbosity Level Set:1 \n" + confirmation(lun_, paths_[3], 5));
    EXPECT_EQ(state(), line({{0, 7}, {3, 5}}));
}

TEST_F(Priority, RenamedNodesTakeTheirSlotsNewNamesAndTheOverrideStaysWithThePort)
{
    discover();
    ASSERT_EQ(run(kTald, {"--prio", "--set", paths_[0].dev, "7"}).status, 0);
    // After a reboot the kernel names C0P0's node /dev/sdc and C0P1's /dev/sdb,
    // and C1P0's node moved to another target address.
    std::swap(paths_[0].dev, paths_[1].dev);
    paths_[2].id = 5;
    paths_[2].lun = 9;
    set_alias(lun_.alias);
    for (const Path &p : paths_) {
        EXPECT_EQ(callout(p), std::to_string(p.cp == 0 ? 7 : default_for(p.cp, 1)) + "\n");
    }
    EXPECT_EQ(state(), line({{0, 7}}));
    std::string listing = run(kTald, {"-l"}).out;
    for (const char *shown : {"C0P0 [2:0:0:1] [priority=7] [/dev/sdc]",
                              "C0P1 [3:0:0:1] [priority=4] [/dev/sdb]",
                              "C1P0 [2:0:5:9] [priority=1] [/dev/sdd]"}) {
        EXPECT_NE(listing.find(shown), std::string::npos) << shown << "\n" << listing;
    }
    // Acting on the listing now resets the path it names.
    EXPECT_EQ(run(kTald, {"--prio", "--set", "/dev/sdc", "0"}).out,
              confirmation(lun_, paths_[0], default_for(0, 1)));
    EXPECT_EQ(state(), line());
}

TEST_F(Priority, RefusedValuesLeaveTheFileByteIdentical)
{
    const char *refused[] = {"1", "4", "9", "-1", "-5", "2147483648", "99999999999", "12"};
    // A LUN not stored yet: nothing is written, not even the file.
    for (const char *text : refused) {
        Outcome o = run(kTald, {"--prio", "--set", "/dev/sdc", text});
        EXPECT_EQ(o.out, refusal("/dev/sdc")) << text;
        EXPECT_EQ(o.status, 255) << text;
        EXPECT_FALSE(state_exists()) << text;
    }
    discover();
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdc", "6"}).status, 0);
    const std::string stored = state();
    for (const char *text : refused) {
        Outcome o = run(kTald, {"--prio", "--set", "/dev/sdc", text});
        EXPECT_EQ(o.out, refusal("/dev/sdc")) << text;
        EXPECT_EQ(o.status, 255) << text;
        EXPECT_EQ(state(), stored) << text;
    }
    EXPECT_EQ(callout(paths_[1]), "6\n");
}

TEST_F(Priority, NewLunTakesAnOverrideAtOnce)
{
    Outcome o = run(kTald, {"--prio", "--set", "/dev/sde", "8"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out.rfind(wwid_of(lun_) + " /dev/sde:8(", 0), 0u) << o.out;
    EXPECT_EQ(state(), conf_line(wwid_of(lun_), "vol01", {{3, 0, paths_[3], 8}}));
    EXPECT_EQ(callout(paths_[3]), "8\n");
}

TEST_F(Priority, AliasRefreshedByGetButNotBySet)
{
    discover();
    set_alias("vol01_new");
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdb", "6"}).status, 0);
    lun_.alias = "vol01";
    EXPECT_EQ(state(), line({{0, 6}}));

    Outcome o = run(kTald, {"--prio", "--get", "/dev/sdb"});
    EXPECT_EQ(o.out, "6\n");
    lun_.alias = "vol01_new";
    EXPECT_EQ(state(), line({{0, 6}}));

    // A page without alias stores the probe's placeholder, and still gives
    // the priority.
    set_alias("");
    EXPECT_EQ(callout(paths_[1]), std::to_string(default_for(1, 1)) + "\n");
    lun_.alias = "???";
    EXPECT_EQ(state(), line({{0, 6}}));
}

TEST_F(Priority, UnprobeablePathGivesZeroAndLeavesTheFileAlone)
{
    discover();
    ASSERT_EQ(run(kTald, {"--prio", "--set", "/dev/sdd", "8"}).status, 0);
    const std::string stored = state();
    for (const char *dev : {"/dev/sdz", "/dev/nonexistent"}) {
        EXPECT_EQ(callout({dev}), "0\n");
        Outcome o = run(kTald, {"--prio", "--get", dev});
        EXPECT_EQ(o.out, "0\n");
        EXPECT_EQ(o.status, 0);
        o = run(kTald, {"--prio", "--set", dev, "8"});
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.status, 255);
        EXPECT_EQ(state(), stored) << dev;
    }
    // The traces name the path that was asked for even though the probe
    // left no controller port.
    Outcome o = run(kTald, {"-v", "3", "--prio", "--get", "/dev/sdz"});
    EXPECT_EQ(o.out, " Verbosity Level Set:3 \n0\n");
    EXPECT_EQ(missing_line(o.err, {"[157] ENTRY", "[61] ENTRY dev: /dev/sdz",
                                   "[67] (-1) dev: /dev/sdz, CP: -1, lunref: 5",
                                   "[79] getPrio: 0"}),
              "")
        << o.err;
    o = run(kTald, {"-v", "1", "--prio", "--set", "/dev/sdz", "8"});
    EXPECT_EQ(o.out, " Verbosity Level Set:1 \n");
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(missing_line(o.err, {"[95] ERROR: Problem getting Path Info"}), "") << o.err;
    EXPECT_EQ(state(), stored);
}

// The device text of the traces at lines 67 and 43 is slot 0 of the probed
// row: empty when the probe failed before it entered the path, and the path
// that was asked for only when no controller port was decoded.
TEST_F(Priority, TracesOfAFailedProbeShowSlotZeroOfItsRow)
{
    scenario("node /dev/sdx\naddr 2 0 0 2\ndesignator 3 00 01 02\nfault inquiry check\n"
             "node /dev/sdy\naddr 2 0 0 2\ndesignator 3 00 01 02\nfault readbuffer check\n"
             "node /dev/sdz\naddr 4 0 0 9\ndesignator 3 00 05 60 0a 0b 80 00 99\n"
             "reply 00 00 00 00 01 02 f1 00\n");
    const struct {
        const char *dev;
        int rc, cp, lunref;
        std::string text;
    } cases[] = {
        {"/dev/nonexistent", -1, 0, 0, ""},
        {"/dev/sdx", -2, 0, 0, ""},
        {"/dev/sdy", -2, 0, 1, ""},
        {"/dev/sdz", -1, -1, 5, "/dev/sdz"},
    };
    for (const auto &c : cases) {
        const std::string rc = std::to_string(c.rc);
        Outcome o = run(kTald, {"-v", "3", "--prio", "--get", c.dev});
        EXPECT_EQ(o.out, " Verbosity Level Set:3 \n0\n") << c.dev;
        EXPECT_EQ(missing_line(o.err, {"[61] ENTRY dev: " + std::string(c.dev),
                                       "[67] (" + rc + ") dev: " + c.text +
                                           ", CP: " + std::to_string(c.cp) +
                                           ", lunref: " + std::to_string(c.lunref),
                                       "[79] getPrio: 0"}),
                  "")
            << o.err;
        o = run(kTald, {"-v", "1", "--alias", "--get", c.dev});
        EXPECT_EQ(o.out, " Verbosity Level Set:1 \n") << c.dev;
        EXPECT_EQ(o.status, 255) << c.dev;
        EXPECT_EQ(missing_line(o.err, {"[43] Problem getting alias(" + rc + ") dev: " + c.text}),
                  "")
            << o.err;
    }
    EXPECT_FALSE(state_exists());
}

TEST_F(Priority, OverrideThatCannotBeSavedFails)
{
    discover();
    const std::string stored = state();
    std::string text;
    for (const Path &p : paths_) {
        text += node_text(lun_, p);
    }
    scenario(text + "fail write /etc/lvm/cache/tald.conf EIO\n"
                    "fail rename /etc/lvm/cache/tald.conf EIO\n");
    Outcome o = run(kTald, {"-v", "1", "--prio", "--set", "/dev/sdb", "8"});
    EXPECT_EQ(o.out, " Verbosity Level Set:1 \n");
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(missing_line(o.err, {"[102] WARNING: Problem saving path priority"}), "") << o.err;
    EXPECT_EQ(state(), stored);
    // The callout still answers; the priority just is not stored.
    EXPECT_EQ(callout(paths_[0]), std::to_string(default_for(0, 1)) + "\n");
}

TEST_F(Priority, OverrideStoredWhenOnlyTheDirectorySyncFails)
{
    std::string text;
    for (const Path &p : paths_) {
        text += node_text(lun_, p);
    }
    scenario(text + "fail open /etc/lvm/cache EIO\n");
    Outcome o = run(kTald, {"-v", "1", "--prio", "--set", "/dev/sdb", "8"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(missing_line(o.err, {"[299] Could not sync configuration directory: "
                                   "Input/output error"}),
              "")
        << o.err;
    EXPECT_EQ(callout(paths_[0]), "8\n");
}

TEST_F(Priority, TracesOfTheOperations)
{
    const std::string wwid = wwid_of(lun_);
    Outcome o = run(kTald, {"-v", "3", "--prio", "--get", "/dev/sdb"});
    EXPECT_EQ(o.out, " Verbosity Level Set:3 \n3\n");
    EXPECT_EQ(missing_line(o.err,
                           {"[157] ENTRY", "[61] ENTRY dev: /dev/sdb",
                            "[67] (1) dev: /dev/sdb, CP: 0, lunref: 1", "[27] defaultPrio: 3",
                            "[426] ENTRY",
                            "[466] conf_getPrio called for new LUN (/dev/sdb).  Setting prio to "
                            "default 3.",
                            "[72] conf_getPrio: /dev/sdb:3", "[27] defaultPrio: 3",
                            "[79] getPrio: 3"}),
              "")
        << o.err;

    o = run(kTald, {"-v", "3", "--prio", "--set", "/dev/sdb", "8"});
    EXPECT_EQ(o.out, " Verbosity Level Set:3 \n" + confirmation(lun_, paths_[0], 8));
    EXPECT_EQ(missing_line(o.err, {"[157] ENTRY", "[88] ENTRY dev: /dev/sdb; prio: 8",
                                   "[482] ENTRY", "[505] Updating /dev/sdb on C0P0, host port 2",
                                   "[516] Prio     C0P0, host port 2  (/dev/sdb):8; setting to "
                                   "user override."}),
              "")
        << o.err;

    o = run(kTald, {"-v", "3", "--prio", "--get", "/dev/sdb"});
    EXPECT_EQ(o.out, " Verbosity Level Set:3 \n8\n");
    EXPECT_EQ(missing_line(o.err, {"[61] ENTRY dev: /dev/sdb",
                                   "[67] (1) dev: /dev/sdb, CP: 0, lunref: 1",
                                   "[448] Adding /dev/sdb to C0P0",
                                   "[451] Updating vol01 (" + wwid + ")",
                                   "[459] Prio     C0P0(/dev/sdb):8",
                                   "[72] conf_getPrio: /dev/sdb:8",
                                   "[79] getPrio: 8"}),
              "")
        << o.err;
    // Level 1 lets through warnings and errors only: of a sound run, the
    // command lengths of the two SCSI commands.
    o = run(kTald, {"-v", "1", "--prio", "--get", "/dev/sdb"});
    EXPECT_EQ(o.out, " Verbosity Level Set:1 \n8\n");
    EXPECT_EQ(o.err, "[84] 6 4\n[84] 16 4\n");
}

}  // namespace
}  // namespace e2e

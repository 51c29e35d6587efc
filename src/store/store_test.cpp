// LUN list and priority resolution.
#include "store/test_util.hpp"

#include <climits>
#include <functional>

namespace conf_test {
namespace {

using ConfPrio = StoreTest;
using ConfList = StoreTest;

/// The example line with C0P0's slot 0 at `prio` and `extra` as its entries
/// from slot 1 on (file order).
std::string example_with(int prio, std::vector<std::string> extra = {},
                         const std::string &alias = "vol_db01")
{
    std::vector<std::string> entries = {"/dev/sdb,2:0:0:1," + std::to_string(prio) + ",",
                                        "/dev/sdd,3:0:0:1,4,", "/dev/sdc,2:0:1:1,1,",
                                        "/dev/sde,3:0:1:1,2,"};
    entries.insert(entries.end(), extra.begin(), extra.end());
    return make_line(kExampleWwid, entries, alias);
}

// --- list --------------------------------------------------------------------

TEST_F(ConfList, AddPutsRecordsInFrontAndClearsLunref)
{
    pathinfo *a = new_record();
    a->lunref = 17;
    EXPECT_EQ(traced_stderr(3, [&] { EXPECT_EQ(add_confNode(store_, a), -1); }),
              "[194] Error: conf == NULL!\n");
    EXPECT_EQ(a->lunref, 17);
    EXPECT_FALSE(list_holds(store_, a));

    new_list();
    EXPECT_FALSE(list_holds(store_, a));  // empty list
    pathinfo *b = new_record();
    b->lunref = 3;
    EXPECT_EQ(add_confNode(store_, a), 0);
    EXPECT_EQ(add_confNode(store_, b), 0);
    EXPECT_EQ(a->lunref, 0);
    EXPECT_EQ(b->lunref, 0);
    EXPECT_EQ(records(store_), (std::vector<pathinfo *>{b, a}));
    EXPECT_TRUE(list_holds(store_, a));
    EXPECT_TRUE(list_holds(store_, b));
    pathinfo other{};
    EXPECT_FALSE(list_holds(store_, &other));
}

// --- priority resolution -----------------------------------------------------

TEST_F(ConfPrio, NewLunJoinsTheListWithItsDefault)
{
    const std::string other = make_line("600bb", {}, "B");
    ASSERT_EQ(load(other), 0);
    Probe p;
    p.wwid = "600cc";
    p.dev = "/dev/sdc";
    p.cp = 2;
    p.lunref = 5;  // default 1
    p.host = 3;
    p.id = 1;
    pathinfo *probed = probed_record(p);
    EXPECT_EQ(conf_getPrio(store_, probed), 1);
    EXPECT_TRUE(holds_copy_of(store_, probed));
    EXPECT_EQ(probed->lunref, 5);
    EXPECT_EQ(probed->cp, 2);
    EXPECT_EQ(read_file(file_),
              make_line("600cc", {"", "", "/dev/sdc,3:0:1:1,1,"}, "vol_db01") + other);
    release(store_, probed);
}

TEST_F(ConfPrio, NoFileYetCreatesItWithOneLine)
{
    ASSERT_EQ(load_config(store_, file_.c_str()), -1);
    pathinfo *probed = probed_record({});  // cp 0, lunref 1: default 3
    std::string err = traced_stderr(7, [&] { EXPECT_EQ(conf_getPrio(store_, probed), 3); });
    std::string expected = make_line(kExampleWwid, {"/dev/sdb,2:0:0:1,3,"}, "vol_db01");
    EXPECT_EQ(read_file(file_), expected);
    EXPECT_EQ(file_mode(file_), 0640u);
    EXPECT_EQ(err, "[27] defaultPrio: 3\n"
                   "[426] ENTRY\n"
                   "[466] conf_getPrio called for new LUN (/dev/sdb).  Setting prio to default 3.\n"
                   "[212] ENTRY\n"
                   "[291] " + expected + "\n");
    release(store_, probed);
}

TEST_F(ConfPrio, GetKeepsOverridesAndReplacesEverythingElse)
{
    struct Case {
        int stored, expected;
    } const cases[] = {
        {5, 5}, {6, 6}, {7, 7}, {8, 8},  // overrides stay
        {0, 4}, {1, 4}, {2, 4}, {4, 4}, {9, 4}, {-1, 4}, {1000, 4},
    };
    for (const Case &k : cases) {
        store_reset(store_);
        ASSERT_EQ(load(example_with(k.stored)), 0);
        Probe p;
        p.lunref = 3;  // default of C0P0: 4
        pathinfo *probed = probed_record(p);
        EXPECT_EQ(conf_getPrio(store_, probed), k.expected) << k.stored;
        EXPECT_FALSE(list_holds(store_, probed));
        EXPECT_EQ(read_file(file_), example_with(k.expected)) << k.stored;
        release(store_, probed);
    }
}

TEST_F(ConfPrio, GetTracesItsResolution)
{
    struct Case {
        int stored;
        std::string traces;
    } const cases[] = {
        {8, "[27] defaultPrio: 3\n"
            "[426] ENTRY\n"
            "[564] addDevToPathInfo: Match found.\n"
            "[448] Adding /dev/sdb to C0P0\n"
            "[451] Updating vol_new (360a1b2c3d4e5f60718293a4b5c6d7e8f)\n"
            "[459] Prio     C0P0(/dev/sdb):8\n"
            "[212] ENTRY\n"
            "[291] " + example_with(8, {}, "vol_new") + "\n"},
        // A free slot: the path is entered again and the rule traces twice.
        {0, "[27] defaultPrio: 3\n"
            "[426] ENTRY\n"
            "[448] Adding /dev/sdb to C0P0\n"
            "[451] Updating vol_new (360a1b2c3d4e5f60718293a4b5c6d7e8f)\n"
            "[27] defaultPrio: 3\n"
            "[459] Prio     C0P0(/dev/sdb):3\n"
            "[212] ENTRY\n"
            "[291] " + example_with(3, {}, "vol_new") + "\n"},
    };
    for (const Case &k : cases) {
        store_reset(store_);
        ASSERT_EQ(load(example_with(k.stored)), 0);
        Probe p;
        p.alias = "vol_new";
        pathinfo *probed = probed_record(p);
        std::string err = traced_stderr(7, [&] { conf_getPrio(store_, probed); });
        EXPECT_EQ(err, k.traces) << k.stored;
        release(store_, probed);
    }
}

TEST_F(ConfPrio, NewHostOfARowTakesTheNextFreeSlot)
{
    ASSERT_EQ(load(kExampleLine), 0);
    Probe p;
    p.dev = "/dev/sdx";
    p.host = 5;
    p.lunref = 0;  // default of C0P0: 1
    pathinfo *probed = probed_record(p);
    EXPECT_EQ(conf_getPrio(store_, probed), 1);
    EXPECT_EQ(read_file(file_), example_with(8, {"/dev/sdx,5:0:0:1,1,"}));
    release(store_, probed);
}

TEST_F(ConfPrio, FullRowStoresNothing)
{
    std::vector<std::string> full(16);
    for (int slot = 0; slot < 4; ++slot)
        full[slot * 4] = "/dev/f" + std::to_string(slot) + "," + std::to_string(10 + slot) +
                         ":0:0:1,5,";
    const std::string stored = make_line(kExampleWwid, full, "vol_db01");
    const std::string other = make_line("600bb", {}, "B");
    ASSERT_EQ(load(stored + other), 0);
    pathinfo *probed = probed_record({});
    // Nothing in the file changes, so it is not rewritten either.
    EXPECT_EQ(conf_getPrio(store_, probed), 3);
    EXPECT_EQ(read_file(file_), stored + other);
    EXPECT_EQ(conf_setPrio(store_, probed, 6), 6);
    EXPECT_EQ(read_file(file_), stored + other);
    release(store_, probed);
}

TEST_F(ConfPrio, OnlyGetRefreshesTheAlias)
{
    ASSERT_EQ(load(kExampleLine), 0);
    Probe p;
    p.alias = "vol_renamed";
    pathinfo *probed = probed_record(p);
    EXPECT_EQ(conf_setPrio(store_, probed, 7), 7);
    EXPECT_EQ(read_file(file_), example_with(7));
    EXPECT_EQ(conf_getPrio(store_, probed), 7);
    EXPECT_EQ(read_file(file_), example_with(7, {}, "vol_renamed"));
    release(store_, probed);
}

TEST_F(ConfPrio, SetAppliesOverridesAndResetsRefusesTheRest)
{
    struct Case {
        int requested, applied;
    } const cases[] = {
        {5, 5}, {6, 6}, {7, 7}, {8, 8}, {0, 3},  // 0: default of C0P0 at lunref 1
        {1, 0}, {4, 0}, {9, 0}, {-1, 0}, {INT_MIN, 0},
    };
    const std::string other = make_line("600bb", {}, "B");
    const std::string third = make_line("600cc", {}, "C");
    for (const Case &k : cases) {
        for (bool stored : {true, false}) {
            store_reset(store_);
            const std::string before = stored ? kExampleLine + other : other + third;
            ASSERT_EQ(load(before), 0);
            std::size_t count = records(store_).size();
            pathinfo *probed = probed_record({});
            EXPECT_EQ(conf_setPrio(store_, probed, k.requested), k.applied) << k.requested;
            if (k.applied == 0) {
                EXPECT_EQ(read_file(file_), before) << k.requested;
                EXPECT_EQ(records(store_).size(), count);
                EXPECT_FALSE(list_holds(store_, probed));
            } else if (stored) {
                // 8 is what the file holds already: then it is not rewritten.
                EXPECT_EQ(read_file(file_),
                          k.applied == 8 ? before : other + example_with(k.applied))
                    << k.requested;
            } else {
                EXPECT_TRUE(holds_copy_of(store_, probed));
                EXPECT_EQ(probed->cp, 0);
                EXPECT_EQ(read_file(file_),
                          make_line(kExampleWwid,
                                    {"/dev/sdb,2:0:0:1," + std::to_string(k.applied) + ","},
                                    "vol_db01") +
                              third + other)
                    << k.requested;
            }
            release(store_, probed);
        }
    }
}

TEST_F(ConfPrio, SetOnANewLunKeepsTheProbedPort)
{
    ASSERT_EQ(load_config(store_, file_.c_str()), -1);
    Probe p;
    p.cp = 3;
    p.host = 4;
    pathinfo *probed = probed_record(p);
    EXPECT_EQ(conf_setPrio(store_, probed, 6), 6);
    EXPECT_EQ(probed->cp, 3);
    EXPECT_EQ(read_file(file_),
              make_line(kExampleWwid, {"", "", "", "/dev/sdb,4:0:0:1,6,"}, "vol_db01"));
    release(store_, probed);
}

TEST_F(ConfPrio, SetTracesItsResolution)
{
    ASSERT_EQ(load(kExampleLine), 0);
    pathinfo *probed = probed_record({});
    struct Case {
        int requested;
        std::string traces;
    } const cases[] = {
        {7, "[516] Prio     C0P0, host port 2  (/dev/sdb):7; setting to user override.\n"},
        {0, "[27] defaultPrio: 3\n[513] Prio     C0P0(/dev/sdb):3; resetting to defaults\n"},
        {9, "[508] Prio     C0P0(/dev/sdb):9; out of range.\n"},
    };
    for (const Case &k : cases) {
        std::string err = traced_stderr(7, [&] { conf_setPrio(store_, probed, k.requested); });
        std::string head = "[482] ENTRY\n[564] addDevToPathInfo: Match found.\n"
                           "[505] Updating /dev/sdb on C0P0, host port 2\n" + k.traces;
        EXPECT_EQ(err.substr(0, head.size()), head) << k.requested;
    }
    release(store_, probed);
}

TEST_F(ConfPrio, WithoutListOrWritableFile)
{
    pathinfo *probed = probed_record({});
    EXPECT_EQ(traced_stderr(7, [&] { EXPECT_EQ(conf_getPrio(store_, probed), 3); }),
              "[27] defaultPrio: 3\n[426] ENTRY\n[428] Null Conf\n");
    EXPECT_EQ(traced_stderr(7, [&] { EXPECT_EQ(conf_setPrio(store_, probed, 7), -1); }),
              "[482] ENTRY\n[484] Null Conf\n");
    EXPECT_FALSE(exists(file_));

    const std::string unwritable = dir_ + "/missing/tald.conf";
    use_file(unwritable.c_str());
    new_list();
    EXPECT_LT(conf_setPrio(store_, probed, 7), 0);  // adds the LUN, cannot save it
    EXPECT_TRUE(holds_copy_of(store_, probed));
    pathinfo *again = probed_record({});
    EXPECT_EQ(conf_getPrio(store_, again), 7);
    EXPECT_LT(conf_setPrio(store_, again, 0), 0);
    release(store_, again);
    release(store_, probed);
}


}  // namespace
}  // namespace conf_test

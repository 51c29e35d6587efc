// Slot table, LUN list, listing and priority resolution.
#include "store/test_util.hpp"

#include "command/listing.hpp"

#include <climits>
#include <functional>

#include <unistd.h>

namespace conf_test {
namespace {

using ConfPrio = StoreTest;

class ConfList : public StoreTest {
protected:
    std::string listing()
    {
        testing::internal::CaptureStdout();
        int rc = dump_config(store_);
        std::string out = testing::internal::GetCapturedStdout();
        return std::to_string(rc) + ":" + out;
    }
};

const std::string kExampleListing =
    "\n"
    "vol_db01 (360a1b2c3d4e5f60718293a4b5c6d7e8f)\n"
    "\\_ C0P0 [2:0:0:1] [priority=8] [/dev/sdb]\n"
    "\\_ C0P1 [3:0:0:1] [priority=4] [/dev/sdd]\n"
    "\\_ C1P0 [2:0:1:1] [priority=1] [/dev/sdc]\n"
    "\\_ C1P1 [3:0:1:1] [priority=2] [/dev/sde]\n"
    "\n";

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

std::string traced_stderr(int verbosity, const std::function<void()> &fn)
{
    int saved = log_verbosity;
    log_verbosity = verbosity;
    testing::internal::CaptureStderr();
    fn();
    log_verbosity = saved;
    return testing::internal::GetCapturedStderr();
}

// --- slot table --------------------------------------------------------------

TEST(SlotTable, FirstSlotWithTheHostWinsInUseOrFree)
{
    pathinfo *rec = new_record();
    set_slot(rec, 1, 0, "", 0, 0, 0, 0, 0);          // free, host 0
    set_slot(rec, 1, 1, "/dev/sdc", 0, 0, 0, 1, 6);  // in use, host 0
    set_slot(rec, 1, 2, "/dev/sdd", 4, 0, 1, 1, 7);
    EXPECT_EQ(getPathPrio(rec, 0, 1), 0);
    EXPECT_EQ(getPathPrio(rec, 4, 1), 7);
    EXPECT_EQ(setPathPrio(rec, 0, 1, 5), 5);
    EXPECT_EQ(rec->prio[1][0], 5);
    EXPECT_EQ(rec->prio[1][1], 6);

    pathinfo before;
    std::memcpy(&before, rec, sizeof before);
    EXPECT_EQ(getPathPrio(rec, 9, 1), -1);
    EXPECT_EQ(setPathPrio(rec, 9, 1, 8), -1);
    EXPECT_EQ(setPathPrio(rec, 4, 2, 8), -1);  // the host is in another row
    EXPECT_EQ(std::memcmp(&before, rec, sizeof before), 0);
    std::free(rec);
}

TEST(SlotTable, AddDevFillsTheFirstFreeSlotOfTheRow)
{
    pathinfo *rec = new_record();
    EXPECT_EQ(addDevToPathInfo(rec, "/dev/sdb", 2, 0, 1, 3, 2), 0);
    EXPECT_STREQ(rec->slot_dev[2][0], "/dev/sdb");
    EXPECT_EQ(rec->slot_host[2][0], 2);
    EXPECT_EQ(rec->slot_id[2][0], 1);
    EXPECT_EQ(rec->slot_lun[2][0], 3);
    EXPECT_EQ(rec->prio[2][0], 0);
    EXPECT_EQ(setPathPrio(rec, 2, 2, 3), 3);
    EXPECT_EQ(rec->prio[2][0], 3);

    // A free slot between in-use ones is taken before the later free ones.
    set_slot(rec, 2, 2, "/dev/sdz", 7, 0, 0, 0, 4);
    addDevToPathInfo(rec, "/dev/sde", 3, 0, 0, 3, 2);
    EXPECT_STREQ(rec->slot_dev[2][1], "/dev/sde");
    addDevToPathInfo(rec, "/dev/sdf", 5, 0, 0, 3, 2);
    EXPECT_STREQ(rec->slot_dev[2][1], "/dev/sdf");  // slot 1 still had prio 0
    std::free(rec);

    rec = new_record();
    std::string long_name(300, 'n');
    addDevToPathInfo(rec, long_name.c_str(), 1, 0, 0, 0, 0);
    EXPECT_EQ(std::string(rec->slot_dev[0][0]), long_name.substr(0, 255));
    std::free(rec);
}

TEST(SlotTable, AddDevNeverRecordsAHostTwiceNorOverfillsARow)
{
    struct Case {
        const char *name;
        int hosts[4], prios[4];
        int host;
        const char *traces;
        int renamed;  ///< the slot that takes the new name and address, or -1
    } const cases[] = {
        {"held once", {2, 3, 0, 0}, {5, 1, 0, 0}, 2,
         "[564] addDevToPathInfo: Match found.\n", 0},
        {"held twice", {2, 3, 2, 0}, {5, 1, 6, 0}, 2,
         "[564] addDevToPathInfo: Match found.\n[564] addDevToPathInfo: Match found.\n", 0},
        {"full row", {4, 5, 6, 7}, {1, 2, 3, 4}, 2, "", -1},
    };
    for (const Case &k : cases) {
        pathinfo *rec = new_record();
        for (int slot = 0; slot < 4; ++slot)
            set_slot(rec, 3, slot, "/dev/old", k.hosts[slot], 0, 0, 1, k.prios[slot]);
        pathinfo before;
        std::memcpy(&before, rec, sizeof before);
        int rc = 1;
        std::string err = traced_stderr(
            7, [&] { rc = addDevToPathInfo(rec, "/dev/new", k.host, 1, 1, 9, 3); });
        EXPECT_EQ(rc, 0) << k.name;
        // A host already held keeps its slot and priority; only the slot's
        // name and address follow the path.
        if (k.renamed >= 0)
            set_slot(&before, 3, k.renamed, "/dev/new", k.host, 1, 1, 9, k.prios[k.renamed]);
        EXPECT_EQ(std::memcmp(&before, rec, sizeof before), 0) << k.name;
        EXPECT_EQ(err, k.traces) << k.name;
        std::free(rec);
    }
}

// --- list and listing --------------------------------------------------------

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

TEST_F(ConfList, Listings)
{
    EXPECT_EQ(listing(), "-1:");

    new_list();
    EXPECT_EQ(listing(), "0:\n\n");

    add_confNode(store_, example_record());
    EXPECT_EQ(listing(), "0:" + kExampleListing);

    store_reset(store_);
    new_list();
    pathinfo *unnamed = new_record();
    copy_field(unnamed->text_name, kTextNameSize, "ghost");
    add_confNode(store_, unnamed);
    EXPECT_EQ(listing(), "0:\nNo valid entry found in /etc/lvm/cache/tald \n \n"
                         "Check if discovered device type exists in /etc/multipath.conf file \n \n"
                         "\n");

    store_reset(store_);
    new_list();
    pathinfo *rec = example_record();
    rec->prio[0][0] = 0;   // free
    rec->prio[1][0] = -2;  // not shown either
    set_slot(rec, 0, 3, "/dev/sdq", 9, 0, 0, 1, 7);
    add_confNode(store_, rec);
    pathinfo *idle = new_record();
    copy_field(idle->wwid, kWwidSize, "600aa");
    add_confNode(store_, idle);
    EXPECT_EQ(listing(), "0:\n"
                         " (600aa)\n"
                         "vol_db01 (360a1b2c3d4e5f60718293a4b5c6d7e8f)\n"
                         "\\_ C0P0 [9:0:0:1] [priority=7] [/dev/sdq]\n"
                         "\\_ C1P0 [2:0:1:1] [priority=1] [/dev/sdc]\n"
                         "\\_ C1P1 [3:0:1:1] [priority=2] [/dev/sde]\n"
                         "\n");
}

TEST_F(ConfList, ListingAfterLoadingTheExample)
{
    ASSERT_EQ(load(kExampleLine), 0);
    EXPECT_EQ(listing(), "0:" + kExampleListing);
}

TEST_F(ConfList, NodeWithoutRecordEndsEveryWalk)
{
    // dlist refuses to insert NULL; blank the front node's record instead.
    new_list();
    add_confNode(store_, example_record());
    pathinfo *blanked = example_record();
    add_confNode(store_, blanked);
    store_->luns->head->next->data = nullptr;
    std::free(blanked);

    std::string out;
    std::string err = traced_stderr(7, [&] { out = listing(); });
    EXPECT_EQ(out, "0:\n\n");
    EXPECT_EQ(err, "[363] ENTRY\n[374] List Null\n");

    EXPECT_EQ(traced_stderr(7, [&] { EXPECT_EQ(save_config(store_, file_.c_str()), 0); }),
              "[212] ENTRY\n[237] List Null\n");
    EXPECT_EQ(read_file(file_), "");
    ASSERT_EQ(unlink(file_.c_str()), 0);

    pathinfo *probed = probed_record({});
    EXPECT_EQ(traced_stderr(7, [&] { EXPECT_EQ(conf_getPrio(store_, probed), 3); }),
              "[27] defaultPrio: 3\n[426] ENTRY\n[436] List Null\n");
    EXPECT_EQ(traced_stderr(7, [&] { EXPECT_EQ(conf_setPrio(store_, probed, 7), -1); }),
              "[482] ENTRY\n[492] List Null\n");
    EXPECT_FALSE(exists(file_));  // neither writes the file
    EXPECT_FALSE(list_holds(store_, probed));
    std::free(probed);
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

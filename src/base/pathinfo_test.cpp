// The slot table of a record: the first slot of a row with the host, and
// where a new path goes.
#include "base/pathinfo.hpp"

#include "base/test_records.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

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

}  // namespace

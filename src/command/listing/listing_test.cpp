// The text listing (`tald -l`) of the store: what each record shows, and the
// walk over a whole load, an indexed one and a list cut short.
#include "command/listing/listing.hpp"

#include "store/test_util.hpp"

#include <cstdio>
#include <functional>

#include <unistd.h>

namespace conf_test {
namespace {

class Listing : public StoreTest {
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

const std::string kLineB = make_line("600bb", {"/dev/sdf,4:0:0:2,1,", "/dev/sdg,5:0:0:2,3,"}, "B");
const std::string kLineC =
    make_line("600cc", {"/dev/sdh,4:0:0:3,6,", "", "", "/dev/sdi,5:0:1:3,2,"}, "C");

TEST_F(Listing, Listings)
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

TEST_F(Listing, ListingAfterLoadingTheExample)
{
    ASSERT_EQ(load(kExampleLine), 0);
    EXPECT_EQ(listing(), "0:" + kExampleListing);
}

TEST_F(Listing, NodeWithoutRecordEndsEveryWalk)
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

std::string listing_of(Store *store_, const std::string &path, const char *wwid)
{
    store_reset(store_);
    file_load(store_, path.c_str(), wwid);
    char *text = nullptr;
    std::size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    dump_config(store_, out);
    std::fclose(out);
    std::string listing(text, len);
    std::free(text);
    return listing;
}

TEST_F(Listing, TheListingAndAnotherLunSeeEveryRecord)
{
    write_file(file_, kExampleLine + kLineB + kLineC);
    EXPECT_EQ(listing_of(store_, file_, "600bb"), listing_of(store_, file_, nullptr));
    store_reset(store_);
    ASSERT_EQ(file_load(store_, file_.c_str(), "600bb"), 0);
    EXPECT_EQ(records(store_).size(), 1u);
    // Another LUN resolved: the whole list, in the order of a whole load.
    Probe other;
    other.wwid = "600cc";
    other.dev = "/dev/sdh";
    other.host = 4;
    other.lun = 3;
    other.lunref = 3;
    pathinfo *probed = probed_record(other);
    EXPECT_EQ(conf_getPrio(store_, probed), 6);
    release(store_, probed);
    std::vector<std::string> wwids;
    for (pathinfo *rec : records(store_))
        wwids.push_back(rec->wwid);
    EXPECT_EQ(wwids, (std::vector<std::string>{"600cc", "600bb", kExampleWwid}));
}

}  // namespace
}  // namespace conf_test

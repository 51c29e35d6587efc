// The preference file: format, reader, atomic writer.
#include "store/test_util.hpp"

#include <algorithm>
#include <climits>
#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace conf_test {
namespace {

using ConfFile = StoreTest;

TEST_F(ConfFile, ExampleLineReadsIntoTheExampleRecordAndWritesBackUnchanged)
{
    ASSERT_EQ(load(kExampleLine), 0);
    std::vector<pathinfo *> recs = records(store_);
    ASSERT_EQ(recs.size(), 1u);
    pathinfo *expected = example_record();
    for (int slot = 1; slot < kSlotsPerPort; ++slot)
        for (int cp = 0; cp < kControllerPorts; ++cp)
            copy_field(expected->slot_dev[cp][slot], kDevSize, "x");
    EXPECT_EQ(std::memcmp(recs[0], expected, sizeof(pathinfo)), 0);
    std::free(expected);

    const std::string out = dir_ + "/out.conf";
    ASSERT_EQ(save_config(store_, out.c_str()), 0);
    EXPECT_EQ(read_file(out), kExampleLine);
}

TEST_F(ConfFile, LoadTraces)
{
    const std::string free_row = "[169] pathinfo->prio[0-3]: x:0 x:0 x:0 x:0\n";
    log_verbosity = 7;
    testing::internal::CaptureStderr();
    ASSERT_EQ(load(kExampleLine), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[88] readline: " + kExampleLine.substr(0, kExampleLine.size() - 1) + "\n" +
                  "[158] pathinfo->wwid: " + kExampleWwid + "\n" +
                  "[169] pathinfo->prio[0-3]: /dev/sdb:8 /dev/sdd:4 /dev/sdc:1 /dev/sde:2\n" +
                  free_row + free_row + free_row);

    store_reset(store_);
    log_verbosity = 4;
    testing::internal::CaptureStderr();
    EXPECT_EQ(load_config(store_, (dir_ + "/none").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[317] Could not open configuration file\n");
}

TEST_F(ConfFile, OrdinaryFileRewritesUnchangedButForTheOrder)
{
    // Text without separators, "%" or control bytes is never encoded; free
    // slots keep whatever address they hold; every number is kept as read.
    const std::string a = make_line(
        std::string(63, 'f'),
        {"/dev/sdaa,2:0:0:17,5,", "x,3:0:0:2,0,", "/dev/sdab,-1:0:0:0,9,", "x,4:0:0:0,5,", "",
         "/dev/sdac,255:255:255:255,-7,"},
        "Vol 01-a.b_c/d(e)[f]{g}#h!~@$^&*");
    const std::string c =
        make_line("600cc", {"", "/dev/disk/by-id/" + std::string(200, 'q') + ",3:0:1:1,3,"}, "");
    ASSERT_EQ(load(a + kExampleLine + c), 0);
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    EXPECT_EQ(read_file(file_), c + kExampleLine + a);
}

TEST_F(ConfFile, LoadSplitsLinesWhateverTheirEnds)
{
    const std::string a = make_line("aa", {"/dev/sda,1:0:0:0,5,"}, "A");
    const std::string b = make_line("bb", {}, "B");
    const std::string c = make_line("cc", {}, "C");
    auto crlf = [](std::string s) { return s.insert(s.size() - 1, "\r"); };
    auto bare = [](std::string s) { return s.substr(0, s.size() - 1); };
    struct Case {
        const char *name;
        std::string content;
        std::vector<std::string> wwids;  // in list order
    } const cases[] = {
        {"empty file", "", {""}},
        {"one line without line end", bare(a), {"aa"}},
        {"last line without line end", a + b + bare(c), {"cc", "bb", "aa"}},
        {"CRLF ends", crlf(a) + crlf(b) + crlf(c), {"cc", "bb", "aa"}},
        {"empty lines", "\n" + a + "\n\n" + b + "\r\r\n" + c + "\n", {"cc", "bb", "aa"}},
        {"only empty lines", "\n\r\n\n", {""}},
    };
    for (const Case &k : cases) {
        store_reset(store_);
        ASSERT_EQ(load(k.content), 0) << k.name;
        std::vector<std::string> got;
        for (pathinfo *rec : records(store_))
            got.push_back(rec->wwid);
        EXPECT_EQ(got, k.wwids) << k.name;
    }
}

TEST_F(ConfFile, LoadAndSaveReverseTheLines)
{
    const std::string a = make_line("aa", {}, "A");
    const std::string b = make_line("bb", {}, "B");
    const std::string c = make_line("cc", {}, "C");
    ASSERT_EQ(load(a + b + c), 0);
    records(store_)[1]->prio[0][0] = 5;  // bb: a save without a change writes nothing
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    EXPECT_EQ(read_file(file_), c + make_line("bb", {"x,0:0:0:0,5,"}, "B") + a);
}

TEST_F(ConfFile, CrlfFileKeepsEveryLunAcrossASave)
{
    const std::string a = make_line("aa", {}, "A");
    const std::string b = make_line("bb", {}, "B");
    std::string crlf = a.substr(0, a.size() - 1) + "\r\n" + b.substr(0, b.size() - 1) + "\r\n";
    ASSERT_EQ(load(crlf), 0);
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    EXPECT_EQ(read_file(file_), b + a);
}

TEST_F(ConfFile, TokenRules)
{
    struct Case {
        const char *name;
        std::string line;
        int host, prio;           // of C0P0 slot 0
        std::string alias;
        bool incomplete;
    } const cases[] = {
        {"extra tokens ignored", kExampleLine.substr(0, kExampleLine.size() - 1) + ",more,9:9\n",
         2, 8, "vol_db01", false},
        {"digits then letters", make_line("w", {"d,12ab:0:0:0,6ab,"}, "al"), 12, 6, "al", false},
        {"letters only", make_line("w", {"d,ab:0:0:0,zz,"}, "al"), 0, 0, "al", false},
        {"blank and sign", make_line("w", {"d, +7:0:0:0,-3,"}, "al"), 7, -3, "al", false},
        {"above int", make_line("w", {"d,99999999999:0:0:0,2147483648,"}, "al"), INT_MAX,
         INT_MAX, "al", false},
        {"below int", make_line("w", {"d,-99999999999999999999999:0:0:0,-2147483649,"}, "al"),
         INT_MIN, INT_MIN, "al", false},
        {"missing alias", make_line("w", {"d,1:0:0:0,5,"}, ""), 1, 5, "", true},
        {"runs of separators", "w,,d::1:0:0:0,,5," + kFreeEntry + "\n", 1, 5, "", true},
    };
    for (const Case &k : cases) {
        store_reset(store_);
        log_verbosity = 4;
        testing::internal::CaptureStderr();
        ASSERT_EQ(load(k.line), 0) << k.name;
        std::string err = testing::internal::GetCapturedStderr();
        std::vector<pathinfo *> recs = records(store_);
        ASSERT_EQ(recs.size(), 1u) << k.name;
        EXPECT_EQ(recs[0]->slot_host[0][0], k.host) << k.name;
        EXPECT_EQ(recs[0]->prio[0][0], k.prio) << k.name;
        EXPECT_STREQ(recs[0]->text_name, k.alias.c_str()) << k.name;
        EXPECT_EQ(err, k.incomplete ? "[174] Incomplete configuration file line encountered\n" : "")
            << k.name;
    }
}

TEST_F(ConfFile, IncompleteLineIsLoadedAndWrittenInFullForm)
{
    log_verbosity = 7;
    testing::internal::CaptureStderr();
    ASSERT_EQ(load("w1,/dev/sdb,2:0:0:1,8,/dev/sdd,3:0\n"), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "[88] readline: w1,/dev/sdb,2:0:0:1,8,/dev/sdd,3:0\n"
              "[174] Incomplete configuration file line encountered\n"
              "[175] pathinfo->wwid: w1\n"
              "[186] pathinfo->prio[0-3]: /dev/sdb:8 /dev/sdd:0 :0 :0\n"
              "[186] pathinfo->prio[0-3]: :0 :0 :0 :0\n"
              "[186] pathinfo->prio[0-3]: :0 :0 :0 :0\n"
              "[186] pathinfo->prio[0-3]: :0 :0 :0 :0\n");
    log_verbosity = 0;
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    EXPECT_EQ(read_file(file_),
              make_line("w1", {"/dev/sdb,2:0:0:1,8,", "/dev/sdd,3:0:0:0,0,"}, ""));
}

TEST_F(ConfFile, EveryTruncationOfTheExampleLoadsOneRecord)
{
    for (std::size_t len = 1; len < kExampleLine.size(); ++len) {
        store_reset(store_);
        ASSERT_EQ(load(kExampleLine.substr(0, len)), 0) << len;
        std::vector<pathinfo *> recs = records(store_);
        ASSERT_EQ(recs.size(), 1u) << len;
        EXPECT_EQ(kExampleWwid.compare(0, std::strlen(recs[0]->wwid), recs[0]->wwid), 0) << len;
    }
}

TEST_F(ConfFile, MissingFileThenSaveCreatesItWithMode0640)
{
    ASSERT_EQ(load_config(store_, file_.c_str()), -1);
    ASSERT_NE(store_->luns, nullptr);
    EXPECT_TRUE(records(store_).empty());
    add_confNode(store_, example_record());
    mode_t old_mask = umask(077);
    int rc = save_config(store_, file_.c_str());
    umask(old_mask);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(read_file(file_), kExampleLine);
    EXPECT_EQ(file_mode(file_), 0640u);
    EXPECT_FALSE(exists(file_ + ".tmp"));
}

TEST_F(ConfFile, ExistingFileKeepsItsMode)
{
    // 0200: a file its owner may not read keeps its mode all the same.
    for (mode_t mode : {0600u, 0644u, 0400u, 0200u}) {
        store_reset(store_);
        ASSERT_EQ(load(kExampleLine), 0);
        ASSERT_EQ(chmod(file_.c_str(), mode), 0);
        ASSERT_EQ(save_config(store_, file_.c_str()), 0) << std::oct << mode;
        EXPECT_EQ(file_mode(file_), mode) << std::oct << mode;
        ASSERT_EQ(chmod(file_.c_str(), 0600), 0);
        EXPECT_EQ(read_file(file_), kExampleLine);
    }
}

TEST_F(ConfFile, StaleTemporaryFileIsReplaced)
{
    write_file(file_ + ".tmp", std::string(100000, 'z'));
    ASSERT_EQ(chmod((file_ + ".tmp").c_str(), 0777), 0);
    new_list();
    add_confNode(store_, example_record());
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    EXPECT_EQ(read_file(file_), kExampleLine);
    EXPECT_EQ(file_mode(file_), 0640u);
    EXPECT_FALSE(exists(file_ + ".tmp"));
}

TEST_F(ConfFile, OnlyRecordsWithWwidAreWritten)
{
    ASSERT_EQ(load(""), 0);
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    EXPECT_EQ(read_file(file_), "");
}

TEST_F(ConfFile, SaveWithoutListTouchesNothing)
{
    write_file(file_, "keep");
    log_verbosity = 7;
    testing::internal::CaptureStderr();
    EXPECT_EQ(save_config(store_, file_.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[212] ENTRY\n[215] Null Conf\n");
    EXPECT_EQ(read_file(file_), "keep");
}

TEST_F(ConfFile, FailedSaveLeavesTheOldFileAsItWas)
{
    ASSERT_EQ(load(kExampleLine), 0);
    pathinfo *rec = records(store_)[0];
    rec->prio[0][0] = 6;  // something to write that differs from the file
    const std::string tmp = file_ + ".tmp";

    {  // the temporary file cannot be created
        ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
        log_verbosity = 4;
        testing::internal::CaptureStderr();
        EXPECT_LT(save_config(store_, file_.c_str()), 0);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "[221] Could not open configuration file\n");
        EXPECT_EQ(read_file(file_), kExampleLine);
        ASSERT_EQ(rmdir(tmp.c_str()), 0);
    }
    {  // the disk fills up mid-write
        struct rlimit saved {};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        struct rlimit small = saved;
        small.rlim_cur = 100;
        auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        int rc = save_config(store_, file_.c_str());
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, old_handler);
        EXPECT_LT(rc, 0);
        EXPECT_EQ(read_file(file_), kExampleLine);
        EXPECT_FALSE(exists(tmp));
    }
    {  // the target cannot be replaced
        const std::string blocked = dir_ + "/blocked";
        ASSERT_EQ(mkdir(blocked.c_str(), 0700), 0);
        write_file(blocked + "/inside", "x");
        EXPECT_LT(save_config(store_, blocked.c_str()), 0);
        EXPECT_FALSE(exists(blocked + ".tmp"));
    }
    {  // no directory to write into
        EXPECT_LT(save_config(store_, (dir_ + "/missing/tald.conf").c_str()), 0);
    }
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    EXPECT_NE(read_file(file_), kExampleLine);
}

TEST_F(ConfFile, InvalidAddressIsWarnedOnStandardErrorAndWrittenAsIs)
{
    new_list();
    pathinfo *rec = example_record();
    set_slot(rec, 1, 0, "/dev/sdd", 2, 300, 0, 1, 4);
    set_slot(rec, 2, 0, "/dev/sdc", -5, 0, 0, 1, 1);
    add_confNode(store_, rec);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(err, "!!! invalid scsi address (2:300:0:1");
    EXPECT_NE(read_file(file_).find(",/dev/sdd,2:300:0:1,4,/dev/sdc,-5:0:0:1,1,"),
              std::string::npos);
}

TEST_F(ConfFile, NamesWithSeparatorsSurviveARoundTrip)
{
    struct Case {
        std::string dev, alias, wwid, written;  // written: the encoded device name
    } const cases[] = {
        {"/dev/disk/by-path/pci-0000:00:1f.2-scsi-0:0:0:1", "db,log:1", "w1",
         "/dev/disk/by-path/pci-0000%3A00%3A1f.2-scsi-0%3A0%3A0%3A1"},
        {"/dev/100%", "tab\there", "w%2", "/dev/100%25"},
        {"/dev/\xc3\xa9t\xc3\xa9 x", "new\nline\r", "w,3", "/dev/%C3%A9t%C3%A9 x"},
        {"/dev/%41", "%zz%", "w:4", "/dev/%2541"},
    };
    new_list();
    for (const Case &k : cases) {
        pathinfo *rec = new_record();
        copy_field(rec->wwid, kWwidSize, k.wwid.c_str());
        copy_field(rec->text_name, kTextNameSize, k.alias.c_str());
        set_slot(rec, 3, 2, k.dev.c_str(), 4, 0, 1, 7, 6);
        add_confNode(store_, rec);
    }
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    std::string written = read_file(file_);
    for (const Case &k : cases)
        EXPECT_NE(written.find("," + k.written + ",4:0:1:7,6,"), std::string::npos) << k.dev;
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 4);

    store_reset(store_);
    ASSERT_EQ(load_config(store_, file_.c_str()), 0);
    std::vector<pathinfo *> recs = records(store_);
    ASSERT_EQ(recs.size(), std::size(cases));
    for (std::size_t i = 0; i < recs.size(); ++i) {
        const Case &k = cases[i];  // two reversals: back in the order added
        EXPECT_EQ(recs[i]->wwid, k.wwid);
        EXPECT_EQ(recs[i]->text_name, k.alias);
        EXPECT_EQ(recs[i]->slot_dev[3][2], k.dev);
        EXPECT_EQ(recs[i]->slot_lun[3][2], 7);
        EXPECT_EQ(recs[i]->prio[3][2], 6);
    }
}

TEST_F(ConfFile, LargestRecordIsNeverCut)
{
    new_list();
    pathinfo *rec = new_record();
    std::memset(rec->wwid, ',', kWwidSize - 1);
    std::memset(rec->text_name, ':', kTextNameSize - 1);
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            std::memset(rec->slot_dev[cp][slot], '%', kDevSize - 1);
            rec->slot_host[cp][slot] = INT_MIN;
            rec->slot_channel[cp][slot] = INT_MIN;
            rec->slot_id[cp][slot] = INT_MIN;
            rec->slot_lun[cp][slot] = INT_MIN;
            rec->prio[cp][slot] = INT_MIN;
        }
    }
    pathinfo copy;
    std::memcpy(&copy, rec, sizeof copy);
    add_confNode(store_, rec);
    add_confNode(store_, example_record());
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    EXPECT_GT(read_file(file_).size(), 13000u);

    store_reset(store_);
    ASSERT_EQ(load_config(store_, file_.c_str()), 0);
    std::vector<pathinfo *> recs = records(store_);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(std::memcmp(recs[0], &copy, sizeof copy), 0);
    EXPECT_EQ(recs[1]->wwid, kExampleWwid);
}

TEST_F(ConfFile, OverlongLineIsSkippedNotSplit)
{
    const std::string a = make_line("aa", {}, "A");
    const std::string b = make_line("bb", {}, "B");
    std::string junk;
    while (junk.size() < 20000)
        junk += "junk,1:2:3:4,5,";
    log_verbosity = 4;
    testing::internal::CaptureStderr();
    ASSERT_EQ(load(a + junk + "\n" + b + junk), 0);
    std::string err = testing::internal::GetCapturedStderr();
    std::vector<std::string> got;
    for (pathinfo *rec : records(store_))
        got.push_back(rec->wwid);
    EXPECT_EQ(got, (std::vector<std::string>{"bb", "aa"}));
    EXPECT_EQ(err,
              "[90] Configuration file line longer than 13503 characters skipped\n"
              "[90] Configuration file line longer than 13503 characters skipped\n");
}

}  // namespace
}  // namespace conf_test

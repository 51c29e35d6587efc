// The preference file when it is damaged or not a file at all: what the
// store reads of it, and that it never rewrites what it could not read.
#include "store/conf_test_util.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace conf_test {
namespace {

using ConfDamage = StoreTest;

std::vector<std::string> wwids()
{
    std::vector<std::string> out;
    for (pathinfo *rec : records())
        out.push_back(rec->wwid);
    return out;
}

// FIFOs and device nodes in place of the files: tests/store_damage_test.cpp,
// where a run that hangs can be told from one that answers.
TEST_F(ConfDamage, FileThatCannotBeReadIsNeverRewritten)
{
    const std::string target = dir_ + "/target";
    const std::string stored = kExampleLine + make_line("600bb", {}, "B");
    struct Case {
        const char *name;
        void (*make)(const std::string &file, const std::string &target);
        const char *reason;
    } const cases[] = {
        {"directory", [](const std::string &f, const std::string &) { mkdir(f.c_str(), 0700); },
         "not a regular file"},
        {"symlink to the file",
         [](const std::string &f, const std::string &t) { symlink(t.c_str(), f.c_str()); },
         "not a regular file"},
    };
    for (const Case &k : cases) {
        conf_reset();
        std::filesystem::remove_all(file_);
        std::filesystem::remove_all(target);
        write_file(target, stored);
        k.make(file_, target);
        struct stat before {};
        ASSERT_EQ(lstat(file_.c_str(), &before), 0) << k.name;

        log_verbosity = 4;
        testing::internal::CaptureStderr();
        EXPECT_EQ(load_config(file_.c_str()), -1) << k.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("[317] Could not open configuration file\n"
                              "[319] Configuration file could not be read, it will not be "
                              "rewritten: ") +
                      k.reason + "\n")
            << k.name;
        log_verbosity = 0;
        ASSERT_NE(conf, nullptr) << k.name;
        EXPECT_TRUE(records().empty()) << k.name;

        // Answered as without a file: the stored override 8 is not seen.
        pathinfo *probed = probed_record({});
        EXPECT_EQ(conf_getPrio(probed), 3) << k.name;
        release(probed);
        probed = probed_record({});
        EXPECT_EQ(conf_setPrio(probed, 7), -1) << k.name;
        release(probed);
        EXPECT_EQ(save_config(file_.c_str()), -1) << k.name;

        struct stat after {};
        ASSERT_EQ(lstat(file_.c_str(), &after), 0) << k.name;
        EXPECT_EQ(after.st_ino, before.st_ino) << k.name;
        EXPECT_EQ(after.st_mode, before.st_mode) << k.name;
        if (std::filesystem::is_regular_file(target)) {
            EXPECT_EQ(read_file(target), stored) << k.name;
        }
        EXPECT_FALSE(exists(file_ + ".tmp")) << k.name;
    }
    // A later load of a readable file saves again.
    conf_reset();
    std::filesystem::remove_all(file_);
    ASSERT_EQ(load(stored), 0);
    EXPECT_EQ(save_config(file_.c_str()), 0);
}

TEST_F(ConfDamage, FirstLineOfAWwidWins)
{
    const std::string first = make_line("600aa", {"/dev/sdb,2:0:0:1,7,"}, "first");
    const std::string second = make_line("600aa", {"/dev/sdb,2:0:0:1,5,"}, "second");
    const std::string other = make_line("600bb", {}, "B");
    log_verbosity = 4;
    testing::internal::CaptureStderr();
    ASSERT_EQ(load(first + other + second + second), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[345] Configuration file line repeating LUN 600aa skipped\n"
              "[345] Configuration file line repeating LUN 600aa skipped\n");
    log_verbosity = 0;
    EXPECT_EQ(wwids(), (std::vector<std::string>{"600bb", "600aa"}));
    EXPECT_STREQ(records()[1]->text_name, "first");
    EXPECT_EQ(records()[1]->prio[0][0], 7);

    // Run after run the answer stays, though each save reverses the lines.
    for (int run = 0; run < 3; ++run) {
        conf_reset();
        ASSERT_EQ(load_config(file_.c_str()), 0);
        pathinfo *probed = probed_record({"600aa", "first", "/dev/sdb", 2, 0, 0, 1, 0, 1});
        EXPECT_EQ(conf_getPrio(probed), 7) << run;
        release(probed);
    }
    EXPECT_EQ(read_file(file_), other + first);
}

TEST_F(ConfDamage, LineHoldingANulIsSkippedWhole)
{
    const std::string a = make_line("600aa", {}, "A");
    const std::string b = make_line("600bb", {"/dev/sdb,2:0:0:1,7,"}, "B");
    const std::string c = make_line("600cc", {}, "C");
    auto with_nul = [](std::string s, std::size_t at) { return s.insert(at, 1, '\0'); };
    auto bare = [](std::string s) { return s.substr(0, s.size() - 1); };
    struct Case {
        const char *name;
        std::string content;
        std::vector<std::string> wwids;  // in list order
    } const cases[] = {
        {"NUL inside", a + with_nul(b, 20) + c, {"600cc", "600aa"}},
        {"NUL first", a + with_nul(b, 0) + c, {"600cc", "600aa"}},
        {"NUL last", a + with_nul(b, b.size() - 1) + c, {"600cc", "600aa"}},
        {"NUL line alone", a + std::string(1, '\0') + "\n" + c, {"600cc", "600aa"}},
        {"NUL in the last line", a + c + bare(with_nul(b, 7)), {"600cc", "600aa"}},
        {"NUL after CR", a + "\r" + std::string(1, '\0') + b, {"600aa"}},
    };
    for (const Case &k : cases) {
        conf_reset();
        log_verbosity = 4;
        testing::internal::CaptureStderr();
        ASSERT_EQ(load(k.content), 0) << k.name;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "[91] Configuration file line holding a NUL byte skipped\n")
            << k.name;
        log_verbosity = 0;
        EXPECT_EQ(wwids(), k.wwids) << k.name;
    }
}

TEST_F(ConfDamage, LoadResetCyclesStartAfresh)
{
    // A failed load must not leave the next one unable to save, nor a
    // record of one cycle reach the next.
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (int cycle = 0; cycle < 3; ++cycle) {
        conf_reset();
        EXPECT_EQ(load_config(fifo.c_str()), -1);
        conf_reset();
        ASSERT_EQ(load(kExampleLine), 0);
        EXPECT_EQ(records().size(), 1u);
        EXPECT_EQ(save_config(file_.c_str()), 0) << cycle;
    }
    conf_reset();
    EXPECT_EQ(conf, nullptr);
}

TEST_F(ConfDamage, LargeStoreLoadsResolvesAndResetsInEveryCycle)
{
    // Enough LUNs for the records to come from one mapping of their own;
    // a repeated line reuses a record, a new LUN adds the probe's heap record,
    // and a reset must give back both kinds (the sanitizer build checks it).
    constexpr int kLuns = 600;
    std::string text;
    for (int n = 0; n < kLuns; ++n) {
        char wwid[40];
        std::snprintf(wwid, sizeof wwid, "3600a%027d", n);
        text += make_line(wwid, {"/dev/sdb,2:0:0:1,6,"}, "vol");
        if (n == 7)
            text += make_line(wwid, {"/dev/sdb,2:0:0:1,5,"}, "vol");
    }
    for (int cycle = 0; cycle < 2; ++cycle) {
        conf_reset();
        ASSERT_EQ(load(text), 0);
        ASSERT_EQ(records().size(), static_cast<std::size_t>(kLuns));
        Probe p;
        p.wwid = "3600b" + std::to_string(cycle);
        pathinfo *rec = probed_record(p);
        EXPECT_GE(conf_getPrio(rec), 1);
        release(rec);
        EXPECT_EQ(records().size(), static_cast<std::size_t>(kLuns + 1));
        int repeated = 0;
        for (const pathinfo *r : records())
            repeated += std::strcmp(r->wwid, "3600a000000000000000000000000007") == 0
                            ? r->prio[0][0]
                            : 0;
        EXPECT_EQ(repeated, 6) << "the first line of the repeated LUN, once";
    }
}

}  // namespace
}  // namespace conf_test

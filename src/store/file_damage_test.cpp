// The preference file when it is damaged or not a file at all: what the
// store reads of it, and that it never rewrites what it could not read.
#include "store/test_util.hpp"

#include <sys/stat.h>
#include <unistd.h>

namespace conf_test {
namespace {

class ConfDamage : public StoreTest {
protected:
    std::vector<std::string> wwids()
    {
        std::vector<std::string> out;
        for (pathinfo *rec : records(store_))
            out.push_back(rec->wwid);
        return out;
    }

    /// Loads `path` with warnings traced; *traces receives them.
    int load_traced(const std::string &path, std::string *traces)
    {
        log_verbosity = 4;
        testing::internal::CaptureStderr();
        int rc = load_config(store_, path.c_str());
        *traces = testing::internal::GetCapturedStderr();
        log_verbosity = 0;
        return rc;
    }

    /// conf_getPrio of a fresh probe of the example's /dev/sdb.
    int get_prio(const Probe &p = {})
    {
        pathinfo *probed = probed_record(p);
        int prio = conf_getPrio(store_, probed);
        release(store_, probed);
        return prio;
    }
};

// What FIFOs and device nodes in place of the files are answered with:
// tests/store_damage_test.cpp, where a run that hangs can be told from one
// that answers. Here a FIFO only serves as a load that fails.

TEST_F(ConfDamage, FileThatCannotBeReadIsNeverRewritten)
{
    const std::string target = dir_ + "/target";
    const std::string stored = kExampleLine + make_line("600bb", {}, "B");
    struct Case {
        const char *name;
        void (*make)(const std::string &file, const std::string &target);
    } const cases[] = {
        {"directory",
         [](const std::string &f, const std::string &) { EXPECT_EQ(mkdir(f.c_str(), 0700), 0); }},
        {"symlink to the file",
         [](const std::string &f, const std::string &t) {
             EXPECT_EQ(symlink(t.c_str(), f.c_str()), 0);
         }},
    };
    for (const Case &k : cases) {
        store_reset(store_);
        std::filesystem::remove_all(file_);
        write_file(target, stored);
        k.make(file_, target);
        struct stat before {};
        ASSERT_EQ(lstat(file_.c_str(), &before), 0) << k.name;

        std::string traces;
        EXPECT_EQ(load_traced(file_, &traces), -1) << k.name;
        EXPECT_EQ(traces, "[317] Could not open configuration file\n"
                          "[319] Configuration file could not be read, it will not be "
                          "rewritten: not a regular file\n")
            << k.name;
        ASSERT_NE(store_->luns, nullptr) << k.name;
        EXPECT_TRUE(records(store_).empty()) << k.name;

        // Answered as without a file: the stored override 8 is not seen.
        EXPECT_EQ(get_prio(), 3) << k.name;
        pathinfo *probed = probed_record({});
        EXPECT_EQ(conf_setPrio(store_, probed, 7), -1) << k.name;
        release(store_, probed);
        EXPECT_EQ(save_config(store_, file_.c_str()), -1) << k.name;

        struct stat after {};
        ASSERT_EQ(lstat(file_.c_str(), &after), 0) << k.name;
        EXPECT_EQ(after.st_ino, before.st_ino) << k.name;
        EXPECT_EQ(after.st_mode, before.st_mode) << k.name;
        EXPECT_EQ(read_file(target), stored) << k.name;
        EXPECT_FALSE(exists(file_ + ".tmp")) << k.name;
    }

    // A failed load leaves the next one able to save, and no record of
    // one cycle reaches the next.
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::remove_all(file_);
    for (int cycle = 0; cycle < 3; ++cycle) {
        store_reset(store_);
        EXPECT_EQ(load_config(store_, fifo.c_str()), -1);
        store_reset(store_);
        ASSERT_EQ(load(stored), 0);
        EXPECT_EQ(records(store_).size(), 2u);
        EXPECT_EQ(save_config(store_, file_.c_str()), 0) << cycle;
    }
    store_reset(store_);
    EXPECT_EQ(store_->luns, nullptr);
}

TEST_F(ConfDamage, FirstLineOfAWwidWins)
{
    const std::string first = make_line("600aa", {"/dev/sdb,2:0:0:1,7,"}, "first");
    const std::string second = make_line("600aa", {"/dev/sdb,2:0:0:1,5,"}, "second");
    const std::string other = make_line("600bb", {}, "B");
    write_file(file_, first + other + second + second);
    std::string traces;
    ASSERT_EQ(load_traced(file_, &traces), 0);
    EXPECT_EQ(traces, "[345] Configuration file line repeating LUN 600aa skipped\n"
                      "[345] Configuration file line repeating LUN 600aa skipped\n");
    EXPECT_EQ(wwids(), (std::vector<std::string>{"600bb", "600aa"}));
    EXPECT_STREQ(records(store_)[1]->text_name, "first");
    EXPECT_EQ(records(store_)[1]->prio[0][0], 7);

    // Run after run the answer stays, though each save reverses the lines.
    for (int run = 0; run < 3; ++run) {
        store_reset(store_);
        ASSERT_EQ(load_config(store_, file_.c_str()), 0);
        EXPECT_EQ(get_prio({"600aa", "first", "/dev/sdb", 2, 0, 0, 1, 0, 1}), 7) << run;
    }
    EXPECT_EQ(read_file(file_), other + first);
}

TEST_F(ConfDamage, LineHoldingANulIsSkippedWhole)
{
    const std::string a = make_line("600aa", {}, "A");
    const std::string b = make_line("600bb", {"/dev/sdb,2:0:0:1,7,"}, "B");
    const std::string c = make_line("600cc", {}, "C");
    auto with_nul = [](std::string s, std::size_t at) { return s.insert(at, 1, '\0'); };
    const std::vector<std::string> ca = {"600cc", "600aa"};
    struct Case {
        const char *name;
        std::string content;
        std::vector<std::string> wwids;  // in list order
    } const cases[] = {
        {"NUL inside", a + with_nul(b, 20) + c, ca},
        {"NUL first", a + with_nul(b, 0) + c, ca},
        {"NUL last", a + with_nul(b, b.size() - 1) + c, ca},
        {"NUL line alone", a + std::string(1, '\0') + "\n" + c, ca},
        {"NUL in the last line", a + c + with_nul(b, 7).substr(0, b.size()), ca},
        {"NUL after CR", a + "\r" + std::string(1, '\0') + b, {"600aa"}},
    };
    for (const Case &k : cases) {
        store_reset(store_);
        write_file(file_, k.content);
        std::string traces;
        ASSERT_EQ(load_traced(file_, &traces), 0) << k.name;
        EXPECT_EQ(traces, "[91] Configuration file line holding a NUL byte skipped\n") << k.name;
        EXPECT_EQ(wwids(), k.wwids) << k.name;
    }
}

TEST_F(ConfDamage, LargeStoreLoadsResolvesAndResetsInEveryCycle)
{
    // Enough LUNs for the records to come from one mapping of their own;
    // a repeated line reuses a record, a new LUN adds the probe's heap record,
    // and a reset must give back both kinds (the sanitizer build checks it).
    constexpr std::size_t kLuns = 600;
    const std::string repeated_wwid = "3600a000000000000000000000000007";
    std::string text;
    for (std::size_t n = 0; n < kLuns; ++n) {
        char wwid[40];
        std::snprintf(wwid, sizeof wwid, "3600a%027zu", n);
        text += make_line(wwid, {"/dev/sdb,2:0:0:1,6,"}, "vol");
        if (n == 7)
            text += make_line(wwid, {"/dev/sdb,2:0:0:1,5,"}, "vol");
    }
    for (int cycle = 0; cycle < 2; ++cycle) {
        store_reset(store_);
        ASSERT_EQ(load(text), 0);
        ASSERT_EQ(records(store_).size(), kLuns);
        Probe p;
        p.wwid = "3600b" + std::to_string(cycle);
        EXPECT_GE(get_prio(p), 1);
        EXPECT_EQ(records(store_).size(), kLuns + 1);
        int repeated = 0;
        for (const pathinfo *r : records(store_))
            repeated += repeated_wwid == r->wwid ? r->prio[0][0] : 0;
        EXPECT_EQ(repeated, 6) << "the first line of the repeated LUN, once";
    }
}

}  // namespace
}  // namespace conf_test

// The preference file on disk: reading it in pieces or failing half way,
// and a save that has nothing new to write.
#include "store/disk.hpp"
#include "store/test_util.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace conf_test {
namespace {

class ConfDisk : public StoreTest {
protected:
    /// The store reads through `reader` from now on.
    void read_with(const FdReader &reader)
    {
        reader_ = reader;
        store_->test_reader = &reader_;
    }
    FdReader reader_ = {::read, 0};
};

/// What `fn` traces at `verbosity`.
template <class F>
std::string traced(int verbosity, F fn)
{
    log_verbosity = verbosity;
    testing::internal::CaptureStderr();
    fn();
    std::string out = testing::internal::GetCapturedStderr();
    log_verbosity = 0;
    return out;
}

/// Everything a load leaves to see: its traces and the records in order.
std::string load_outcome(Store *store_, const std::string &file)
{
    int rc = 0;
    std::string out = traced(7, [&] { rc = load_config(store_, file.c_str()); });
    out = "rc " + std::to_string(rc) + "\n" + out;
    for (pathinfo *rec : records(store_)) {
        out += std::string(rec->wwid) + "|" + rec->text_name + "|" + rec->slot_dev[2][2] + "|" +
               std::to_string(rec->prio[0][0]) + "\n";
    }
    return out;
}

TEST_F(ConfDisk, ReadingInPiecesKeepsEveryRuleOfTheFormat)
{
    // Every rule at work, so that some piece boundary falls inside each.
    std::string longest;
    while (longest.size() < 13600)
        longest += "junk,1:2:3:4,5,";
    const std::string content =
        "\r\n" + make_line("aa", {"/dev/sda,1:0:0:0,5,", "", "", "", "", "", "", "", "", "",
                                  "/dev/%41%2C%zz,2:0:0:0,6,"},
                           "A%3AB") +
        "\n\n" + longest + "\n" + make_line("bb", {"d,99999999999:0:0:0,-2147483649,"}, "B") +
        make_line("cc", {}, "C").insert(10, 1, '\0') + make_line("dd", {}, "D") + "\r\r" +
        make_line("aa", {}, "again") + "ee,/dev/sdb,2:0:0:1,8,/dev/sdd,3:0";
    write_file(file_, content);
    const std::string whole = load_outcome(store_, file_);
    for (const char *part : {"[90] ", "[91] ", "[174] ", "[345] ", "aa|A:B|/dev/A,%zz|5"})
        ASSERT_NE(whole.find(part), std::string::npos) << part << "\n" << whole;
    for (std::size_t chunk : {1u, 2u, 3u, 7u, 64u, 511u, 4096u, 13503u, 13504u}) {
        store_reset(store_);
        read_with({::read, chunk});
        EXPECT_EQ(load_outcome(store_, file_), whole) << chunk;
    }
}

TEST_F(ConfDisk, ReadErrorHalfWayLeavesNothingToSave)
{
    static std::size_t calls = 0;
    const std::string stored = kExampleLine + make_line("bb", {}, "B");
    write_file(file_, stored);
    calls = 0;
    read_with({[](int fd, void *buf, std::size_t count) -> ssize_t {
        if (++calls == 3) {
            errno = EIO;
            return -1;
        }
        return ::read(fd, buf, count);
    }, 100});
    EXPECT_EQ(traced(4, [&] { EXPECT_EQ(load_config(store_, file_.c_str()), -1); }),
              "[319] Configuration file could not be read, it will not be rewritten: "
              "Input/output error\n");
    EXPECT_TRUE(records(store_).empty());
    pathinfo *probed = probed_record({});
    EXPECT_EQ(conf_getPrio(store_, probed), 3);  // the default, not the stored 8
    release(store_, probed);
    EXPECT_EQ(read_file(file_), stored);
    EXPECT_FALSE(exists(file_ + ".tmp"));
}

struct stat file_id(const std::string &path)
{
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st;
}

TEST_F(ConfDisk, ResolutionThatChangesNothingWritesNothing)
{
    const std::string other = make_line("600bb", {"/dev/sdx,4:0:0:1,6,"}, "B");
    const std::string stored = kExampleLine + other;  // /dev/sdb: override 8
    struct Case {
        const char *name;
        std::string content;  // holds the lines of `stored`
        bool written;
    } const cases[] = {
        {"as the writer leaves it", stored, false},
        {"CRLF ends", kExampleLine.substr(0, kExampleLine.size() - 1) + "\r\n" + other, true},
        {"an empty line", kExampleLine + "\n" + other, true},
        {"last line without line feed", kExampleLine + other.substr(0, other.size() - 1), true},
        {"lowercase escape", kExampleLine + make_line("600bb", {"/dev/sd%78,4:0:0:1,6,"}, "B"),
         true},
        {"number with a sign", kExampleLine + make_line("600bb", {"/dev/sdx,+4:0:0:1,6,"}, "B"),
         true},
    };
    std::string expected_traces;
    for (const Case &k : cases) {
        store_reset(store_);
        ASSERT_EQ(load(k.content), 0) << k.name;
        // A time stamp that a rewrite could not keep by chance.
        const timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file_.c_str(), old_times, 0), 0);
        struct stat before = file_id(file_);
        std::string traces = traced(7, [&] {
            pathinfo *probed = probed_record({});
            EXPECT_EQ(conf_getPrio(store_, probed), 8) << k.name;
            release(store_, probed);
        });
        struct stat after = file_id(file_);
        EXPECT_EQ(after.st_ino != before.st_ino, k.written) << k.name;
        EXPECT_EQ(after.st_mtim.tv_sec != before.st_mtim.tv_sec, k.written) << k.name;
        EXPECT_EQ(read_file(file_), k.written ? other + kExampleLine : stored) << k.name;
        EXPECT_FALSE(exists(file_ + ".tmp")) << k.name;
        // Only the disk can tell: the traces are those of a save that writes.
        if (expected_traces.empty())
            expected_traces = traces;
        EXPECT_EQ(traces, expected_traces) << k.name;
    }
    EXPECT_NE(expected_traces.find("[212] ENTRY\n[291] " + other), std::string::npos)
        << expected_traces;
}

TEST_F(ConfDisk, SaveAfterAWriteOrToAnotherFileWrites)
{
    // Once written, the file no longer holds the loaded lines.
    ASSERT_EQ(load(kExampleLine), 0);
    records(store_)[0]->prio[0][0] = 6;
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    const ino_t before = file_id(file_).st_ino;
    records(store_)[0]->prio[0][0] = 8;
    ASSERT_EQ(save_config(store_, file_.c_str()), 0);
    EXPECT_NE(file_id(file_).st_ino, before);
    EXPECT_EQ(read_file(file_), kExampleLine);

    const std::string copy = dir_ + "/copy.conf";
    ASSERT_EQ(save_config(store_, copy.c_str()), 0);
    EXPECT_EQ(read_file(copy), kExampleLine);
}

}  // namespace
}  // namespace conf_test

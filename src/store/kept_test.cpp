// The indexed load for one LUN and its spliced save against the whole load
// and save, and resolve_peek's answers from the file kept in memory.
#include "store/test_util.hpp"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <thread>

namespace conf_test {
namespace {

ino_t inode_of(const std::string &path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

const std::string kLineB = make_line("600bb", {"/dev/sdf,4:0:0:2,1,", "/dev/sdg,5:0:0:2,3,"}, "B");
const std::string kLineC =
    make_line("600cc", {"/dev/sdh,4:0:0:3,6,", "", "", "/dev/sdi,5:0:1:3,2,"}, "C");
const std::string kBadAddress =
    make_line("600dd", {"/dev/sdj,4:0:0:300,2,", "/dev/sdk,4:0:256:3,1,"}, "D");

struct Case {
    const char *what;
    std::string file;
    Probe probe;
    int set = -1;  ///< conf_setPrio with this value; -1: conf_getPrio
};

/// One run on `file`: the answer, the file after it, what went to standard
/// error, whether the file was replaced.
struct Outcome {
    int answer;
    std::string file;
    std::string err;
    bool replaced;
};

class ConfIndex : public StoreTest {
protected:
    Outcome run(const Case &c, bool indexed)
    {
        store_reset(store_);
        write_file(file_, c.file);
        ino_t before = inode_of(file_);
        pathinfo *probed = probed_record(c.probe);
        file_load(store_, file_.c_str(), indexed ? probed->wwid : nullptr);
        testing::internal::CaptureStderr();
        int answer = c.set < 0 ? conf_getPrio(store_, probed) : conf_setPrio(store_, probed, c.set);
        std::string err = testing::internal::GetCapturedStderr();
        release(store_, probed);
        return {answer, read_file(file_), err, inode_of(file_) != before};
    }
};

TEST_F(ConfIndex, IndexedLoadAnswersAndWritesAsTheWholeLoad)
{
    Probe known;  // the example line's C0P0 path, stored with 8
    Probe new_path = known;
    new_path.dev = "/dev/sdz";
    new_path.host = 7;
    new_path.cp = 1;
    Probe renamed = known;
    renamed.alias = "vol_new";
    Probe new_lun = known;
    new_lun.wwid = "600ee";
    const std::string abc = kExampleLine + kLineB + kLineC;
    const Case cases[] = {
        {"nothing to change", abc, known},
        {"a path added", abc, new_path},
        {"the alias changed", kLineB + kExampleLine + kLineC, renamed},
        {"a new LUN", abc, new_lun},
        {"a new LUN, empty file", "", new_lun},
        {"an override", abc, known, 6},
        {"a refused value", abc, known, 4},
        {"a reset", kLineC + kExampleLine, new_path, 0},
        {"an address above 255 elsewhere", kBadAddress + kExampleLine + kLineB, new_path},
        {"an address above 255, nothing written", kBadAddress + kExampleLine, known},
        {"a CRLF end", kLineB + kExampleLine.substr(0, kExampleLine.size() - 1) + "\r\n", known},
        {"an empty line", kLineB + "\n" + kExampleLine, known},
        {"the last line without its end", kLineB + kExampleLine.substr(0, kExampleLine.size() - 1),
         known},
        {"a LUN twice", kExampleLine + kLineB + kExampleLine, known},
        {"an incomplete line", kExampleLine + "600ff,x,1:2:3\n", known},
        {"a number not as written", kLineB + kExampleLine.substr(0, 40) + "+" +
                                        kExampleLine.substr(40), known},
    };
    for (const Case &c : cases) {
        Outcome whole = run(c, false);
        Outcome indexed = run(c, true);
        EXPECT_EQ(indexed.answer, whole.answer) << c.what;
        EXPECT_EQ(indexed.file, whole.file) << c.what;
        EXPECT_EQ(indexed.err, whole.err) << c.what;
        EXPECT_EQ(indexed.replaced, whole.replaced) << c.what;
    }
    // The warnings of the lines written, in their order, and only then.
    EXPECT_EQ(run(cases[8], true).err, "!!! invalid scsi address (4:0:0:300"
                                       "!!! invalid scsi address (4:0:256:3");
    EXPECT_EQ(run(cases[9], true).err, "");
}

TEST_F(ConfIndex, DamageAnywhereAnswersAndWritesAsTheWholeLoad)
{
    Probe known;  // the example line's C0P0 path
    const std::string long_dev = "/dev/mapper/a_rather_long_device_name_01";
    const std::string encoded_wwid = "%33" + kExampleWwid.substr(1);  // decodes to the example's
    const std::string cases[] = {
        make_line("600bb", {"/dev/sdf,4:0:0:2,1,"}, std::string("B\0x", 3)),
        make_line("600bb", {"/dev/s\rdf,4:0:0:2,1,"}, "B"),
        std::string(kMaxLine + 1, 'a') + "\n",
        make_line("600bb", {"/dev/sdf,4:0:0:2,1,"}, "B%2c"),
        make_line("600bb", {"/dev/sdf,4:0:0:2,1,"}, "B%41"),
        make_line("600bb", {"/dev/sdf,4:0:0:2,1,"}, "B\xc3\xa9"),
        make_line(encoded_wwid, {"/dev/sdb,2:0:0:1,5,"}, "vol_db01"),
        "," + kLineB,
        make_line("600bb", {long_dev + ",4:0:0:2,1,"}, "B"),
        make_line("600bb", {long_dev + "\x01,4:0:0:2,1,"}, "B"),
        make_line("600bb", {long_dev + "abc\x7f,4:0:0:2,1,"}, "B"),
        make_line("600bb", {"/dev/sdf,4:0:0:2,01,"}, "B"),
    };
    for (const std::string &other : cases) {
        for (const std::string &file : {other + kExampleLine, kExampleLine + other}) {
            const Case c = {"", file, known};
            Outcome whole = run(c, false);
            Outcome indexed = run(c, true);
            EXPECT_EQ(indexed.answer, whole.answer) << file;
            EXPECT_EQ(indexed.file, whole.file) << file;
            EXPECT_EQ(indexed.err, whole.err) << file;
            EXPECT_EQ(indexed.replaced, whole.replaced) << file;
        }
    }
}

TEST_F(ConfIndex, PeekAnswersOnlyFromAnUnchangedSettledFile)
{
    Probe known;
    Probe new_path = known;
    new_path.host = 9;
    Probe renamed = known;
    renamed.alias = "other";
    auto load_indexed = [&] {
        store_reset(store_);
        file_load(store_, file_.c_str(), kExampleWwid.c_str());
        store_drop_records(store_);
    };
    auto peek = [&](const Probe &p) {
        pathinfo *probed = probed_record(p);
        int prio = resolve_peek(store_, probed);
        std::free(probed);
        return prio;
    };
    const std::string content = kLineB + kExampleLine;
    write_file(file_, content);
    load_indexed();
    // Written within the tick of its reading: it may change unseen.
    EXPECT_EQ(peek(known), 0);

    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    load_indexed();
    EXPECT_EQ(peek(known), 8);
    EXPECT_EQ(peek(known), 8);  // remembered
    EXPECT_EQ(peek(new_path), 0);
    EXPECT_EQ(peek(renamed), 0);

    // Rewritten in place to the same size with its old modification time:
    // only the change time tells.
    struct stat st {};
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    std::string changed = content;
    changed.replace(changed.find("2:0:0:1,8,"), 10, "2:0:0:1,7,");
    int fd = open(file_.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd, changed.data(), changed.size(), 0), static_cast<ssize_t>(changed.size()));
    const timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(futimens(fd, times), 0);
    close(fd);
    EXPECT_EQ(peek(known), 0);
    // Nor without any load, nor after a whole one.
    store_reset(store_);
    EXPECT_EQ(peek(known), 0);
    ASSERT_EQ(load_config(store_, file_.c_str()), 0);
    EXPECT_EQ(peek(known), 0);
}

}  // namespace
}  // namespace conf_test

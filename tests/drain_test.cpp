// The kept drain under the simulated array: what the restore refuses, and
// a drain that leaves LUNs without a path through the other controller.

#include "harness.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace e2e {
namespace {

const Lun kA{1, 0x31, "volA"};
const Lun kB{2, 0x32, "volB"};
const Lun kC{3, 0x33, "volC"};
const Path kA0{"/dev/sdb", 2, 0, 0, 1, 0};
const Path kA2{"/dev/sdd", 2, 0, 1, 1, 2};
const Path kB0{"/dev/sdf", 2, 0, 0, 2, 0};
const Path kB2{"/dev/sdg", 2, 0, 1, 2, 2};
const Path kC0{"/dev/sdh", 2, 0, 0, 3, 0};
const Path kC1{"/dev/sdi", 3, 0, 0, 3, 1};

int d(int cp, const Lun &lun) { return default_for(cp, lun.lunref); }

/// LUN A: overrides of 8 on C0P0 and 6 on C1P0; B: defaults; C: only C0.
std::string line_a() { return conf_line(wwid_of(kA), kA.alias, {{0, 0, kA0, 8}, {2, 0, kA2, 6}}); }
std::string line_b() { return conf_line(wwid_of(kB), kB.alias, {{0, 0, kB0, d(0, kB)}, {2, 0, kB2, d(2, kB)}}); }
std::string line_c() { return conf_line(wwid_of(kC), kC.alias, {{0, 0, kC0, 7}, {1, 0, kC1, d(1, kC)}}); }

/// The file's lines, whatever their order: each save turns it.
std::multiset<std::string> lines_of(const std::string &text)
{
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.insert(line);
    return lines;
}

constexpr const char *kRecordName = "/etc/lvm/cache/tald.drained";
constexpr std::size_t kRecordMax = 64u << 20;

class Drain : public SimTest {
protected:
    std::string record_path() const { return state_ + "/tald.drained"; }
    void write_record(const std::string &text) const
    {
        std::ofstream(record_path(), std::ios::binary | std::ios::trunc) << text;
    }
    /// A restore of what stands at the record's place: refused with `err`,
    /// the record and the preference file as they were.
    void expect_refused(const std::string &title, const std::string &err)
    {
        const std::string conf = state();
        // Only a regular file is read: a FIFO's reader would wait.
        const auto type = std::filesystem::symlink_status(record_path()).type();
        const bool regular = type == std::filesystem::file_type::regular;
        const std::string record = regular ? read_file(record_path()) : "";
        Outcome o = finish_within(start(kTald, {"--restore"}, 0), 30000);
        EXPECT_EQ(o.status, 1) << title << "\n" << o.out << o.err;
        EXPECT_EQ(o.err, err) << title;
        EXPECT_EQ(o.out, "") << title;
        EXPECT_EQ(state(), conf) << title;
        EXPECT_EQ(std::filesystem::symlink_status(record_path()).type(), type) << title;
        if (regular) {
            // Not EXPECT_EQ: a record of 64 MiB would be printed whole.
            EXPECT_TRUE(read_file(record_path()) == record) << title << ": the record changed";
        }
    }
};

/// The child of the tracer `parent` once its log says that the child was
/// stopped, or -1 when it does not say so within 30 s.
int stopped_child(int parent, const std::string &log)
{
    const std::string task = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent);
    for (int i = 0; i < 3000; ++i) {
        if (read_file(log).find("--- stopped by SIGSTOP ---") != std::string::npos)
            return std::atoi(read_file(task + "/children").c_str());
        usleep(10000);
    }
    return -1;
}

std::string bad_line(std::size_t line, const std::string &why)
{
    return std::string(kRecordName) + ": line " + std::to_string(line) + " cannot be read: " + why +
           "; nothing restored\n";
}

// A record cut at every length, or damaged in any of the ways a disk, a
// copy or an editor damages it, is refused with the line at fault; nothing
// changes and the record stays byte for byte.
TEST_F(Drain, ADamagedRecordIsRefusedWholeAndKept)
{
    write_state(line_b() + line_a());
    ASSERT_EQ(run(kTald, {"--drain", "C0"}).status, 0);
    const std::string whole = read_file(record_path());
    const std::string header = whole.substr(0, whole.find('\n') + 1);
    const std::string unknown =
        std::string(kRecordName) + ": a drain is kept there, but its first line names no controller\n";
    const std::string count = "LUN lines: 2\n";
    const std::string ended = "the record ends before its second line (cut short)";
    for (std::size_t len = 0; len < whole.size(); ++len) {
        const std::string cut = whole.substr(0, len);
        write_record(cut);
        std::size_t lines = static_cast<std::size_t>(std::count(cut.begin(), cut.end(), '\n'));
        std::string err = len < header.size()      ? unknown
                          : len == header.size()  ? bad_line(2, ended)
                          : cut.back() != '\n'    ? bad_line(lines + 1, "it is cut short (no line feed at its end)")
                                                  : bad_line(2, "it counts 2 LUN lines, the record holds " +
                                                                    std::to_string(lines - 2) + " (cut short)");
        expect_refused("cut at " + std::to_string(len), err);
        if (testing::Test::HasFailure())
            return;
    }
    ASSERT_EQ(std::count(whole.begin(), whole.end(), '\n'), 4) << whole;
    const std::size_t first = header.size() + count.size();
    const std::string lun1 = whole.substr(first, whole.find('\n', first) + 1 - first);
    const std::string lun2 = whole.substr(first + lun1.size());
    ASSERT_EQ(whole, header + count + lun1 + lun2);
    std::string with_nul = lun1;
    with_nul[20] = '\0';
    std::string zero_led = lun2;
    zero_led.replace(zero_led.find(",2:0:"), 5, ",02:0:");
    const std::string lead = header + count;
    const struct {
        const char *title;
        std::string text;
        std::string err;
    } cases[] = {
        {"a NUL byte", lead + with_nul + lun2, bad_line(3, "it holds a NUL byte")},
        {"a CRLF end", lead + lun1.substr(0, lun1.size() - 1) + "\r\n" + lun2,
         bad_line(3, "it holds a carriage return")},
        {"an over-long line", lead + lun1 + std::string(20000, 'x') + "\n",
         bad_line(4, "it is longer than 13503 bytes")},
        {"the same LUN twice", lead + lun1 + lun1, bad_line(4, "it names the LUN of line 3 again")},
        {"an empty file", "", unknown},
        {"the header only", header, bad_line(2, ended)},
        {"a line left out", lead + lun2, bad_line(2, "it counts 2 LUN lines, the record holds 1 (cut short)")},
        {"a count not in the writer's form", header + "LUN lines: 02\n" + lun1 + lun2,
         bad_line(2, "it is no count of LUN lines")},
        {"an empty line", lead + lun1 + "\n" + lun2, bad_line(4, "it is empty")},
        {"a number not in the writer's form", lead + lun1 + zero_led,
         bad_line(4, "it is no line of the preference file")},
        {"binary junk", lead + "\x01\x7f\xfe junk\n" + lun2,
         bad_line(3, "it is no line of the preference file")},
    };
    for (const auto &c : cases) {
        write_record(c.text);
        expect_refused(c.title, c.err);
    }
    // The record as the drain wrote it still gives everything back.
    write_record(whole);
    Outcome o = run(kTald, {"--restore"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("\nC0 restored: 3 paths of 2 LUNs\n"), std::string::npos) << o.out;
    EXPECT_FALSE(std::filesystem::exists(record_path()));
    // A drain kept by a release before the count is still given back.
    ASSERT_EQ(run(kTald, {"--drain", "C0"}).status, 0);
    write_record(header + lun1 + lun2);
    Outcome legacy = run(kTald, {"--restore"});
    EXPECT_EQ(legacy.status, 0) << legacy.err;
    EXPECT_NE(legacy.out.find("\nC0 restored: 3 paths of 2 LUNs\n"), std::string::npos) << legacy.out;
}

// What is no regular file is refused at once, never waited on; a record
// over the size limit is refused by its size, one at it by its lines.
TEST_F(Drain, ARecordThatIsNoFileOrTooLongIsRefusedAtOnce)
{
    write_state(line_b() + line_a());
    const std::string not_regular = std::string(kRecordName) + ": cannot be read: not a regular file\n";
    const std::string path = record_path();
    const struct {
        const char *title;
        std::function<void()> make;
        std::string err;
    } cases[] = {
        {"a FIFO without writer", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }, not_regular},
        {"a directory", [&] { std::filesystem::create_directory(path); }, not_regular},
        {"a symlink to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", path); },
         not_regular},
        {"one byte over the limit",
         [&] {
             write_record("drained C0\n");
             ASSERT_EQ(truncate(path.c_str(), kRecordMax + 1), 0);
         },
         std::string(kRecordName) + ": cannot be read: longer than 67108864 bytes\n"},
        {"exactly at the limit",
         [&] {
             write_record("drained C0\n" + std::string(100, 'x'));
             ASSERT_EQ(truncate(path.c_str(), kRecordMax), 0);
         },
         bad_line(2, "it is longer than 13503 bytes")},
    };
    for (const auto &c : cases) {
        std::filesystem::remove_all(path);
        c.make();
        expect_refused(c.title, c.err);
        // A drain does not take it for no drain either.
        Outcome o = finish_within(start(kTald, {"--drain", "C1"}, 0), 30000);
        EXPECT_EQ(o.status, 1) << c.title;
    }
    std::filesystem::remove_all(path);
}

// A record removed or replaced after the restore read it: the restore
// notices before it writes, and changes nothing.
TEST_F(Drain, ARecordRemovedOrReplacedWhileRestoringIsNoticed)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed (tools/setup.sh installs it)";
    const std::string path = record_path();
    const std::string log = dir_ + "/strace.log";
    const struct {
        const char *title;
        std::function<void(const std::string &)> act;
        bool kept;
    } cases[] = {
        {"removed", [&](const std::string &) { std::filesystem::remove(path); }, false},
        {"replaced by a copy",
         [&](const std::string &text) {
             std::ofstream(path + ".new", std::ios::binary) << text;
             std::filesystem::rename(path + ".new", path);
         },
         true},
    };
    for (const auto &c : cases) {
        write_state(line_b() + line_a());
        ASSERT_EQ(run(kTald, {"--drain", "C0"}).status, 0) << c.title;
        const std::string drained = state();
        const std::string record = read_file(path);
        // Stopped once the record is read and closed.
        Started started = start("/usr/bin/strace",
                                {"-qq", "-E", "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0",
                                 "-o", log, "-P", path, "-e", "trace=close", "-e",
                                 "inject=close:signal=STOP:when=1", kTald, "--restore"},
                                0);
        int child = stopped_child(started.pid, log);
        ASSERT_GT(child, 0) << c.title;
        c.act(record);
        ASSERT_EQ(kill(child, SIGCONT), 0) << c.title;
        Outcome o = finish(started);
        EXPECT_EQ(o.status, 1) << c.title << "\n" << o.out << o.err;
        EXPECT_EQ(o.err, std::string(kRecordName) + ": changed while the restore ran; nothing restored\n")
            << c.title;
        EXPECT_EQ(state(), drained) << c.title;
        EXPECT_EQ(std::filesystem::exists(path), c.kept) << c.title;
        std::filesystem::remove(path);
        std::filesystem::remove(log);
    }
}

// A LUN without a path through the other controller is named, the drain
// ends on a line that is no success and status 4, without waiting; what it
// changed is kept, and the restore gives it back.
TEST_F(Drain, ADrainThatStrandsLunsDoesNotReportSuccess)
{
    const std::string named_c = "no path through C1: volC " + wwid_of(kC) + " keeps its priorities\n";
    const struct {
        const char *title;
        std::string state;
        std::vector<std::string> args;
        std::string drained;  ///< the counts of "C0 drained: ..."
        std::string last;
    } cases[] = {
        {"one of three", line_b() + line_a() + line_c(), {"--drain", "C0"}, "3 paths of 2 LUNs",
         "C0 drained in part: 1 LUN without a path through C1 stays on C0, which must stay up\n"},
        {"the only one, with a wait", line_c(), {"--drain", "C0", "--wait", "1"}, "0 paths of 0 LUNs",
         "C0 drained in part: 1 LUN without a path through C1 stays on C0, which must stay up\n"},
    };
    for (const auto &c : cases) {
        write_state(c.state);
        Outcome o = run(kTald, c.args);
        EXPECT_EQ(o.status, 4) << c.title << "\n" << o.out << o.err;
        EXPECT_EQ(missing_line(o.out, {named_c.substr(0, named_c.size() - 1),
                                       "C0 drained: " + c.drained + "; the priorities before are "
                                                                    "kept in /etc/lvm/cache/tald.drained"}),
                  "")
            << c.title << "\n" << o.out;
        EXPECT_TRUE(o.out.size() >= c.last.size() &&
                    o.out.compare(o.out.size() - c.last.size(), c.last.size(), c.last) == 0)
            << c.title << "\n" << o.out;
        EXPECT_EQ(o.out.find("multipathd:"), std::string::npos) << c.title;
        ASSERT_TRUE(std::filesystem::exists(record_path())) << c.title;
        o = run(kTald, {"--restore"});
        EXPECT_EQ(o.status, 0) << c.title << "\n" << o.err;
        EXPECT_EQ(lines_of(state()), lines_of(c.state)) << c.title;
    }
}

}  // namespace
}  // namespace e2e

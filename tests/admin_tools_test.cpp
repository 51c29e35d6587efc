// tald's tools for the preference file: "--check" on damaged files (and
// what a run then really does to them), "-l --json" read back by a JSON
// parser, and the option scan around both.

#include "harness.hpp"

#include "store/line.hpp"

#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace e2e {
namespace {

const Lun kLun{1, 0x11, "vol01"};
const Lun kOther{2, 0x22, "vol02"};
const Path kSdb{"/dev/sdb", 2, 0, 0, 1, 0};
constexpr const char *kFile = "/etc/lvm/cache/tald.conf";

std::string without_lf(std::string line)
{
    line.pop_back();
    return line;
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

class AdminTools : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        scenario(node_text(kLun, kSdb));
    }
    // A stored override that a run on /dev/sdb keeps as it stands.
    const std::string stored_ = conf_line(wwid_of(kLun), "vol01", {{0, 0, kSdb, 7}});
    const std::string other_ = conf_line(wwid_of(kOther), "vol02", {});
};

struct CheckCase {
    const char *what;
    std::string file;
    std::vector<std::string> lines;  // about lines of the file, after "<file>:"
    struct {
        int lines, luns, dropped, rewritten;
    } summary;
};

std::string summary_line(const CheckCase &c)
{
    const auto &t = c.summary;
    std::string text = " lines " + std::to_string(t.lines) + ", LUNs " + std::to_string(t.luns);
    if (t.dropped + t.rewritten == 0)
        return text + ": a run keeps every line as it is";
    return text + ": a run drops " + std::to_string(t.dropped) + " and rewrites " +
           std::to_string(t.rewritten) + " of them";
}

TEST_F(AdminTools, CheckReportsWhatARunWouldDropOrRewrite)
{
    const std::string s = stored_;
    const std::string o = other_;
    const std::string w = wwid_of(kLun);
    // Columns, 1-based, of the priority and of the alias in `s`.
    const std::string prio_column = std::to_string(s.find(",7,") + 2);
    const std::string alias_column = std::to_string(s.rfind(",vol01") + 4);
    const std::string too_long(kMaxLine + 1, 'a');
    const std::string max = std::to_string(kMaxLine);
    const std::string differs = "differs from the written form at column ";
    const CheckCase cases[] = {
        {"clean", s + o, {}, {2, 2, 0, 0}},
        {"empty file", "", {}, {0, 0, 0, 0}},
        {"an address the writer warns of, on a clean line",
         conf_line(w, "vol01", {{0, 0, kSdb, 7}, {1, 0, {"/dev/sdx", 300, 0, 0, 1, 1}, 2}}), {},
         {1, 1, 0, 0}},
        {"empty line", s + "\n" + o, {"2: empty line; a run drops it"}, {3, 2, 1, 0}},
        {"CRLF", without_lf(s) + "\r\n" + o,
         {"1: ends in a carriage return; a run rewrites it without"}, {2, 2, 0, 1}},
        {"CR inside a line", without_lf(s) + "\r" + o,
         {"1: holds a carriage return; a run splits the line there"}, {1, 2, 0, 1}},
        {"only a CR", s + "\r\n", {"2: empty line; a run drops it"}, {2, 1, 1, 0}},
        {"no final line feed", s + without_lf(o), {"2: no line feed at its end; a run adds one"},
         {2, 2, 0, 1}},
        {"NUL byte", s + std::string("ab\0cd\n", 6), {"2: holds a NUL byte; a run drops it"},
         {2, 1, 1, 0}},
        {"over-long", s + too_long + "\n", {"2: longer than " + max + " bytes; a run drops it"},
         {2, 1, 1, 0}},
        {"separators only", s + ",,::,\n", {"2: holds no wwid; a run drops it"}, {2, 1, 1, 0}},
        {"repeated wwid, the first line stays", s + o + replaced(s, ",7,", ",8,"),
         {"3: repeats the wwid " + w + " of line 1; a run drops it"}, {3, 2, 1, 0}},
        {"repeated wwid written otherwise", s + replaced(s, w, "%33" + w.substr(1)),
         {"2: repeats the wwid " + w + " of line 1; a run drops it"}, {2, 1, 1, 0}},
        {"stray words", s + "hello world\n",
         {"2: incomplete; a run rewrites it with the missing fields empty"}, {2, 2, 0, 1}},
        {"a sign before a priority", replaced(s, ",7,", ",+7,") + o,
         {"1: " + differs + prio_column + " (C0P0 slot 0 priority); a run rewrites it"},
         {2, 2, 0, 1}},
        {"an escape in lower case", replaced(s, ",vol01", ",vo%6c01"),
         {"1: " + differs + alias_column + " (alias); a run rewrites it"}, {1, 1, 0, 1}},
        {"tokens after the alias", without_lf(s) + ",more\n",
         {"1: " + differs + std::to_string(s.size()) + " (after the alias); a run rewrites it"},
         {1, 1, 0, 1}},
        {"a raw byte in a device name", replaced(s, "/dev/sdb", "/dev/sd\xe9"),
         {"1: " + differs + std::to_string(w.size() + 9) +
              " (C0P0 slot 0 device); a run rewrites it"},
         {1, 1, 0, 1}},
    };
    for (const CheckCase &c : cases) {
        write_state(c.file);
        Outcome out = run(kTald, {"--check"});
        std::string expected;
        for (const std::string &line : c.lines)
            expected += std::string(kFile) + ":" + line + "\n";
        expected += std::string(kFile) + ":" + summary_line(c) + "\n";
        const int status = c.summary.dropped + c.summary.rewritten > 0 ? 1 : 0;
        EXPECT_EQ(out.out, expected) << c.what;
        EXPECT_EQ(out.status, status) << c.what;
        EXPECT_EQ(out.err, "") << c.what;
        EXPECT_EQ(state(), c.file) << c.what << ": the check changed the file";
        // What a run really does: it keeps the file byte for byte exactly
        // when the check said so (the path it asks for is stored as it stands).
        if (c.file.find(w) == std::string::npos)
            continue;
        ASSERT_EQ(run(kCallout, {"/dev/sdb"}).out, "7\n") << c.what;
        EXPECT_EQ(state() == c.file, status == 0) << c.what << "\n" << state();
    }
}

TEST_F(AdminTools, CheckWithoutAReadableFileOrLock)
{
    Outcome o = run(kTald, {"--check"});
    EXPECT_EQ(o.out, std::string(kFile) + ": no such file, nothing to check\n");
    EXPECT_EQ(o.status, 0);

    write_state(stored_);
    scenario("fail open /etc/lvm/cache/tald.conf EACCES\n");
    o = run(kTald, {"--check"});
    EXPECT_EQ(o.out, std::string(kFile) + ": cannot be read: Permission denied\n");
    EXPECT_EQ(o.status, 255);

    scenario("fail open /etc/lvm/cache/tald.lock EACCES\n");
    o = run(kTald, {"-v", "1", "--check"});
    // The lock comes before the scan: no level line.
    EXPECT_EQ(o.out,
              "Error:  Unable to obtain lock.\n/etc/lvm/cache/tald.lock: Permission denied\n");
    EXPECT_EQ(o.status, 255);
    EXPECT_EQ(state(), stored_);

    scenario("");
    std::remove(state_path().c_str());
    ASSERT_EQ(mkdir(state_path().c_str(), 0700), 0);
    o = run(kTald, {"--check"});
    EXPECT_EQ(o.out, std::string(kFile) + ": cannot be read: not a regular file\n");
    EXPECT_EQ(o.status, 255);
    rmdir(state_path().c_str());
}

/// The listing's lines, rebuilt from the JSON document as "-l" prints them.
std::string listing_of(const nlohmann::json &doc)
{
    std::string text = "\n";
    for (const auto &lun : doc["luns"]) {
        text += lun["alias"].get<std::string>() + " (" + lun["wwid"].get<std::string>() + ")\n";
        for (const auto &path : lun["paths"]) {
            int prio = path["priority"].get<int>();
            EXPECT_EQ(path["override"].get<bool>(), prio >= 5 && prio <= 8);
            text += "\\_ " + path["port"].get<std::string>() + " [" +
                    path["hctl"].get<std::string>() + "] [priority=" + std::to_string(prio) +
                    "] [" + path["device"].get<std::string>() + "]\n";
        }
    }
    return text + "\n";
}

nlohmann::json parsed(const std::string &text)
{
    nlohmann::json doc = nlohmann::json::parse(text, nullptr, false);
    EXPECT_FALSE(doc.is_discarded()) << text;
    return doc;
}

TEST_F(AdminTools, JsonHoldsTheListingsRecords)
{
    const Path c{"/dev/sdc", 3, 0, 1, 1, 3};
    const Path d{"/dev/sdd", 4, 0, 1, 2, 1};
    write_state(stored_ + conf_line(wwid_of(kOther), "vol02", {{3, 0, c, 2}, {3, 1, d, 8}}) +
                conf_line("3abc", "", {{2, 3, d, -3}}) + "3def,/dev/sdq,1:2:3\n");
    const std::string listing = run(kTald, {"-l"}).out;
    for (const char *list : {"-l", "--list"}) {
        Outcome o = run(kTald, {list, "--json"});
        EXPECT_EQ(o.status, 0);
        // The layout the JSON library gives, byte for byte.
        EXPECT_EQ(o.out, nlohmann::ordered_json::parse(o.out).dump(2) + "\n");
        nlohmann::json doc = parsed(o.out);
        EXPECT_EQ(listing_of(doc), listing);
        EXPECT_EQ(doc["luns"].size(), 4u);
    }
    // An empty file loads one record without wwid, which the document leaves out.
    write_state("");
    EXPECT_EQ(run(kTald, {"-l", "--json"}).out,
              "{\n  \"luns\": [],\n  \"multipathd_reached\": false\n}\n");
}

// A file that exists but cannot be read is no empty list for a script: the
// JSON listing fails, with why on standard error; the text listing stays
// as it is specified (what was loaded, status 0).
TEST_F(AdminTools, JsonOfAFileThatCannotBeReadFails)
{
    for (const char *why : {"Permission denied", "not a regular file"}) {
        const bool denied = std::string(why) == "Permission denied";
        if (denied)
            write_state(stored_);
        else
            ASSERT_EQ(std::remove(state_path().c_str()) | mkdir(state_path().c_str(), 0700), 0);
        scenario(denied ? "fail open /etc/lvm/cache/tald.conf EACCES\n" : "");
        Outcome o = run(kTald, {"-l", "--json"});
        EXPECT_EQ(o.out, "") << why;
        EXPECT_EQ(o.err, std::string(kFile) + ": cannot be read: " + why + "\n");
        EXPECT_EQ(o.status, 255) << why;
        o = run(kTald, {"-l"});
        EXPECT_EQ(o.out + std::to_string(o.status), "\n\n0") << why;
    }
}

// Not in the sanitizer build, whose sanitizers reserve more address space
// than the limits allow: there it would only be skipped, and tools/test.sh
// counts a skipped test as failed.
#if !HOST_SANITIZED
// Under a memory limit the JSON listing never dies of an exception: it is
// written whole, or, when not even the file could be held, "No Config".
TEST_F(AdminTools, JsonUnderAMemoryLimitIsWholeOrNoConfig)
{
    std::string stored;
    for (int i = 0; i < 4096; ++i) {
        std::vector<Slot> slots;
        for (int cp = 0; cp < 4; ++cp)
            slots.push_back({cp, 0, {"/dev/sd" + std::to_string(i) + "_" + std::to_string(cp),
                                     2 + cp % 2, 0, cp / 2, i % 256}, 1 + cp});
        stored += conf_line("3600a" + std::to_string(100000 + i), "lun" + std::to_string(i), slots);
    }
    write_state(stored);
    scenario("");
    const std::string whole = run(kTald, {"-l", "--json"}).out;
    ASSERT_GT(whole.size(), 3000000u);
    // Megabytes of address space; the last one is ample.
    for (int mb : {20, 28, 36, 64}) {
        Outcome o = run("/bin/sh", {"-c", "ulimit -v " + std::to_string(mb * 1024) +
                                              " && exec \"$0\" -l --json", kTald});
        if (o.status == 255 && mb < 64) {
            EXPECT_EQ(o.out, "No Config\n") << mb;
        } else {
            EXPECT_EQ(o.status, 0) << mb << " MB\n" << o.err;
            EXPECT_TRUE(o.out == whole) << mb << " MB: " << o.out.size() << " bytes";
        }
    }
}
#endif

std::string percent_encoded(const std::string &bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        text += '%';
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    return text;
}

std::string bytes_between(int first, int last)
{
    std::string bytes;
    for (int b = first; b <= last; ++b)
        bytes += static_cast<char>(b);
    return bytes;
}

TEST_F(AdminTools, JsonIsValidWhateverBytesTheNamesHold)
{
    const std::string control = bytes_between(1, 32);  // the longest alias
    const std::string ascii = bytes_between(33, 127);
    const std::string high = bytes_between(128, 255);
    const std::string utf8 = "/dev/disk/\xc3\xa9t\xc3\xa9";
    Path a = kSdb, b = kSdb, u = kSdb;
    a.dev = percent_encoded(ascii + high);
    b.dev = percent_encoded(high);
    u.dev = percent_encoded(utf8);
    write_state(conf_line(percent_encoded("3\"\\\x7f\xff"), percent_encoded(control),
                          {{0, 0, a, 6}, {1, 0, b, 2}, {2, 0, u, 3}}) +
                conf_line("3raw", high.substr(0, 32), {}));
    Outcome o = run(kTald, {"-l", "--json"});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, nlohmann::ordered_json::parse(o.out).dump(2) + "\n");
    nlohmann::json doc = parsed(o.out);
    ASSERT_EQ(doc["luns"].size(), 2u);
    const auto &named = doc["luns"][1];
    const std::string replacement = "\xef\xbf\xbd";
    // Only what is no UTF-8 is replaced, and nothing else is lost.
    auto only_replacements = [&](std::string text) {
        for (std::size_t at; (at = text.find(replacement)) != std::string::npos;)
            text.erase(at, replacement.size());
        return text.empty();
    };
    EXPECT_EQ(named["wwid"].get<std::string>().substr(0, 4), "3\"\\\x7f");
    EXPECT_TRUE(only_replacements(named["wwid"].get<std::string>().substr(4)));
    EXPECT_EQ(named["alias"], control);
    const auto &paths = named["paths"];
    ASSERT_EQ(paths.size(), 3u);
    const std::string first = paths[0]["device"].get<std::string>();
    EXPECT_EQ(first.substr(0, ascii.size()), ascii);
    EXPECT_TRUE(only_replacements(first.substr(ascii.size())));
    EXPECT_NE(first.size(), ascii.size());
    EXPECT_TRUE(only_replacements(paths[1]["device"].get<std::string>()));
    EXPECT_EQ(paths[2]["device"], utf8);
    EXPECT_TRUE(paths[0]["override"].get<bool>());
    EXPECT_EQ(paths[1]["hctl"], "2:0:0:1");
    const auto &plain = doc["luns"][0];
    EXPECT_EQ(plain["wwid"], "3raw");
    EXPECT_TRUE(only_replacements(plain["alias"].get<std::string>()));
    EXPECT_TRUE(plain["paths"].empty());
}

// The new words change nothing that existed: "--json" anywhere but right
// after "-l" is a word that is no option, and "--check" is an operation of
// its own that the scan reaches only where it stands.
TEST_F(AdminTools, NewWordsInTheOptionScan)
{
    write_state(stored_);
    const std::string listing = run(kTald, {"-l"}).out;
    const std::string usage(kUsage);
    const std::string check = std::string(kFile) +
                              ": lines 1, LUNs 1: a run keeps every line as it is\n";
    const struct {
        std::vector<std::string> args;
        std::string out;
        int status;
    } cases[] = {
        {{"--json"}, usage, 1},
        {{"--json", "-l"}, listing, 0},
        {{"-V", "--json"}, "Version: tald-dm 0.3.2\n", 0},
        {{"-l", "-V", "--json"}, listing, 0},
        {{"--JSON", "-l"}, listing, 0},
        {{"-v", "2", "--json"}, " Verbosity Level Set:2 \n", 0},
        {{"--checks"}, usage, 1},
        {{"--CHECK"}, usage, 1},
        {{"--check"}, check, 0},
        {{"--check", "-V"}, check, 0},
        {{"-V", "--check"}, "Version: tald-dm 0.3.2\n", 0},
        {{"word", "--check", "--prio", "--get", "/dev/sdb"}, check, 0},
        {{"-v", "--check"}, " Verbosity Level Set:0 \n" + check, 0},
        {{"--prio", "--get", "/dev/sdb", "--check"}, "7\n", 0},
    };
    for (const auto &c : cases) {
        Outcome o = run(kTald, c.args);
        EXPECT_EQ(o.out, c.out) << c.args[0] << " " << c.args.size();
        EXPECT_EQ(o.status, c.status) << c.args[0] << " " << c.args.size();
    }
    EXPECT_EQ(state(), stored_);
}

}  // namespace
}  // namespace e2e

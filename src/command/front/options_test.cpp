#include "command/front/options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

/// The scan of `args` (after the program's name) as words: "level N" for
/// each level, then the final option with its arguments. The whole line's
/// scan must end in the same option, with the same levels before it.
std::string scanned(std::vector<const char *> args)
{
    args.insert(args.begin(), "tald");
    const int argc = static_cast<int>(args.size());
    char **argv = const_cast<char **>(args.data());
    TaldScan scan{argc, argv};
    std::string out;
    std::string levels;
    for (;;) {
        TaldOption o = next_option(&scan);
        if (o.word == TaldWord::kLevel) {
            out += "level " + std::to_string(o.level) + ", ";
            levels += std::to_string(o.level) + " ";
            continue;
        }
        out += std::to_string(static_cast<int>(o.word));
        for (const char *text : {o.operation, o.path, o.preference})
            out += std::string(" ") + (text != nullptr ? text : "-");
        out += o.json ? " json" : "";
        out += o.wait > 0 ? " wait " + std::to_string(o.wait) : "";
        out += o.flags != 0 ? " flags " + std::to_string(o.flags) : "";
        GrowArray<int> line_levels;
        GrowArrayFreed<int> freed{&line_levels};
        bool whole = true;
        EXPECT_EQ(o.word, line_scan(argc, argv, &line_levels, &whole).word);
        std::string line;
        for (std::size_t i = 0; i < line_levels.size(); ++i)
            line += std::to_string(line_levels[i]) + " ";
        EXPECT_EQ(line, levels);
        EXPECT_TRUE(whole);
        return out;
    }
}

// The scan's order and stopping rules: a level is examined again as an
// argument, the first other word ends the scan, unknown words are skipped.
TEST(TaldOptions, ScanEndsInTheFirstWordThatIsNoLevel)
{
    using W = TaldWord;
    auto word = [](W w) { return std::to_string(static_cast<int>(w)); };
    const struct {
        std::vector<const char *> args;
        std::string expected;
    } cases[] = {
        {{}, word(W::kEnd) + " - - -"},
        {{"-v", "2"}, "level 2, " + word(W::kEnd) + " - - -"},
        {{"-v", "-l"}, "level 0, " + word(W::kList) + " - - -"},
        {{"-v", "3", "-v", "1", "-l", "--json"}, "level 3, level 1, " + word(W::kList) + " - - - json"},
        {{"-v"}, word(W::kNeedLevel) + " - - -"},
        {{"-F", "-v", "3"}, word(W::kFlush) + " - - -"},
        {{"--FLUSH", "--Flush"}, word(W::kFlush) + " - - -"},
        {{"junk", "--check", "-l"}, word(W::kCheck) + " - - -"},
        {{"--aliasXY", "--get", "/dev/sdb"}, word(W::kAliasGet) + " - /dev/sdb -"},
        {{"--alias", "--set", "/dev/sdb"}, word(W::kAliasOther) + " - - -"},
        {{"--alias", "--get"}, word(W::kNeedAliasArgs) + " - - -"},
        {{"--prio"}, word(W::kNeedPrioArgs) + " - - -"},
        {{"--prio", "--set", "/dev/sdb"}, word(W::kNeedSetArgs) + " - - -"},
        {{"--prio", "--get"}, word(W::kNeedPrioPath) + " - - -"},
        {{"--prio", "--get", "/dev/sdb"}, word(W::kPrio) + " --get /dev/sdb -"},
        {{"--prio", "--set", "/dev/sdb", "8", "-l"}, word(W::kPrio) + " --set /dev/sdb 8"},
        {{"--prio", "--bogus", "/dev/sdb"}, word(W::kPrio) + " --bogus /dev/sdb -"},
        {{"-help"}, word(W::kHelp) + " - - -"},
        // The wait, after the operation's own arguments only.
        {{"--prio", "--set", "/dev/sdb", "8", "--wait"}, word(W::kPrio) + " --set /dev/sdb 8 wait 30"},
        {{"--prio", "--set", "/dev/sdb", "8", "--wait", "7", "-l"},
         word(W::kPrio) + " --set /dev/sdb 8 wait 7"},
        {{"--prio", "--get", "/dev/sdb", "--wait", "86400"},
         word(W::kPrio) + " --get /dev/sdb --wait wait 86400"},
        {{"--prio", "--set", "/dev/sdb", "--wait", "8"}, word(W::kPrio) + " --set /dev/sdb --wait"},
        {{"--prio", "--bogus", "/dev/sdb", "--wait"}, word(W::kPrio) + " --bogus /dev/sdb --wait"},
        {{"--prio", "--set", "/dev/sdb", "8", "--wait", "0"}, word(W::kBadWait) + " --set /dev/sdb 8"},
        {{"--prio", "--get", "/dev/sdb", "--wait", "5s"}, word(W::kBadWait) + " --get /dev/sdb --wait"},
        // The metrics, to standard output or into the file named after them.
        {{"-v", "1", "--metrics"}, "level 1, " + word(W::kMetrics) + " - - -"},
        {{"--metrics", "/var/lib/tald.prom", "-l"}, word(W::kMetrics) + " - /var/lib/tald.prom -"},
        // The fleet's commands: the apply's options in any order after its file.
        {{"--export"}, word(W::kExport) + " - - -"},
        {{"--apply", "-", "--strict", "--dry-run", "--prune"}, word(W::kApply) + " - - - flags 7"},
        {{"--apply"}, word(W::kNeedApplyFile) + " - - -"},
        {{"--apply", "f.json", "-l"}, word(W::kBadApplyOption) + " - - -"},
        {{"--drain", "C1", "--wait", "60"}, word(W::kDrain) + " - C1 - wait 60"},
        {{"--drain", "C2"}, word(W::kBadDrain) + " - - -"},
        {{"--restore", "--wait"}, word(W::kRestore) + " - - - wait 30"},
        {{"--restore", "--wait", "0"}, word(W::kBadWait) + " - - -"},
        // Neither the drain nor the restore has a dry run: refused wherever it stands.
        {{"--drain", "C1", "--dry-run"}, word(W::kDrainDryRun) + " - - -"},
        {{"--drain", "C0", "--wait", "5", "--dry-run"}, word(W::kDrainDryRun) + " - - -"},
        {{"--restore", "--dry-run"}, word(W::kDrainDryRun) + " - - -"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(scanned(c.args), c.expected) << c.expected;
}

}  // namespace

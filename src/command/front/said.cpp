#include "command/front/said.hpp"

#include "cli/cli.hpp"
#include "trace/trace.hpp"

#include <array>
#include <cstdio>

namespace {
constexpr int kLineHelpEntry = 187;

constexpr const char *kVersion = "tald-dm 0.3.2";

constexpr const char *kNeedLevel = "Must Enter A Verbosity Level ";
constexpr const char *kNeedAliasArgs = "Must Enter an operation and a path ";
constexpr const char *kNeedPrioArgs = "Must Enter an operation and a path and or a preference ";
constexpr const char *kNeedSetArgs = "Must Enter an operation a path and a preference ";
constexpr const char *kNeedPrioPath = "Must enter an operation and a path ";
constexpr const char *kVersionFormat = "Version: %s\n";
constexpr const char *kBadWait = "The wait takes a number of seconds from 1 to 86400 ";
constexpr const char *kNeedApplyFile = "Must Enter a file of preferences, or - for standard input ";
constexpr const char *kBadApplyOption = "The file may be followed by --dry-run, --prune and --strict ";
constexpr const char *kBadDrain = "The controller to drain is C0 or C1 ";
constexpr const char *kDrainDryRun = "The drain and the restore have no --dry-run ";

constexpr std::array<const char *, 15> kHelpText = {
    "\n Usage: tald -[OPTION] [LEVEL] -[OPTION] ",
    "\n Usage: tald --[OPTION] --[CONDITION] [PATH] ",
    "\n Usage: tald --[OPTION] --[CONDITION] [PATH] [PREFERENCE] \n",
    " Allows user to Get Quelvane Path Manager information and Set path preferences \n",
    "    -v level -option   Control output verbosity level where level is 0-3 and option is "
    "-F/-l/-V  ",
    "                 example:  tald -v 3 -F  \n",
    "    -F                 Flush current path preferences and allow Quelvane Path Manager to "
    "determine path preferences \n",
    "    -l                 Show current multipath configuration \n",
    "    -V                 Display current version of Quelvane Path Manager \n",
    "    --alias --get path  Get alias for Logical Drive  ",
    "                 example:  tald --alias --get /dev/sdb \n",
    "    --prio --get path   Get path preference ",
    "                 example:  tald --prio --get /dev/sdb \n",
    "    --prio --set path preference   Set path preference ",
    "                 example:  tald --prio --set /dev/sdb 8 \n ",
};

}  // namespace

int said_finish(int result)
{
    if (result < 0) {
        cli_usage();
        return 1;
    }
    return result;
}

int said_of(TaldWord word, int result)
{
    switch (word) {
    case TaldWord::kNeedLevel:
        cli_write_line(kNeedLevel);
        return 0;
    case TaldWord::kNeedAliasArgs:
        cli_write_line(kNeedAliasArgs);
        return said_finish(result);
    case TaldWord::kNeedPrioArgs:
        cli_write_line(kNeedPrioArgs);
        return said_finish(result);
    case TaldWord::kNeedSetArgs:
        cli_write_line(kNeedSetArgs);
        return said_finish(result);
    case TaldWord::kNeedPrioPath:
        cli_write_line(kNeedPrioPath);
        return said_finish(result);
    case TaldWord::kBadWait:
        cli_write_line(kBadWait);
        break;
    case TaldWord::kNeedApplyFile:
        cli_write_line(kNeedApplyFile);
        break;
    case TaldWord::kBadApplyOption:
        cli_write_line(kBadApplyOption);
        break;
    case TaldWord::kBadDrain:
        cli_write_line(kBadDrain);
        break;
    case TaldWord::kDrainDryRun:
        cli_write_line(kDrainDryRun);
        break;
    case TaldWord::kAliasOther:
        return -1;
    case TaldWord::kLevel:
    case TaldWord::kEnd:
        return said_finish(result);
    default:
        break;
    }
    return said_finish(-1);
}

int said_version()
{
    std::printf(kVersionFormat, kVersion);
    return 0;
}

int cli_help()
{
    log_trace(kLineHelpEntry, 7, "ENTRY");
    for (const char *text : kHelpText) {
        cli_write_line(text);
    }
    return 0;
}


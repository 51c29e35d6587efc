// tald's option scan: the command line read from its first argument on, one
// option at a time. The run scans it once (line_scan): the levels, and the
// option the line ends in, which names the command and so what the command
// needs of the run before anything is carried out.
//
// Every "-v" with a level is an option of its own; the scan goes on after
// it, and the level's argument is examined again as an argument in its own
// right. Any other recognised word ends the scan; an argument that matches
// none is skipped.
#pragma once

#include "base/grow_array.hpp"

/// What one step of the scan found.
enum class TaldWord {
    kLevel,          ///< "-v" and its level: `level`
    kNeedLevel,      ///< "-v" as the last argument
    kVersion,        ///< "-V", "--version"
    kFlush,          ///< "-F", "--Flush", "--flush"
    kList,           ///< "-l", "--list"; `json` when "--json" follows
    kCheck,          ///< "--check"
    kAliasGet,       ///< "--alias" (its prefix), "--get" and `path`
    kAliasOther,     ///< "--alias" with another operation
    kNeedAliasArgs,  ///< "--alias" with fewer than two arguments after it
    kPrio,           ///< "--prio" with `operation`, `path` and `preference`, and `wait`
    kBadWait,        ///< "--prio ... --wait" with a bound that is no number of seconds
    kNeedPrioArgs,   ///< "--prio" as the last argument
    kNeedSetArgs,    ///< "--prio --set" with fewer than three arguments after "--prio"
    kNeedPrioPath,   ///< "--prio" and another operation, nothing after it
    kHelp,           ///< "--help", "-help"
    kMetrics,        ///< "--metrics", and `path` when an argument follows
    kExport,         ///< "--export", and `path` when an argument follows
    kApply,          ///< "--apply FILE" (`path`) and its options (`flags`, fleet_apply.hpp)
    kNeedApplyFile,  ///< "--apply" as the last argument
    kBadApplyOption, ///< "--apply FILE" followed by another word
    kDrain,          ///< "--drain C0|C1" (`path`) and `wait`
    kBadDrain,       ///< "--drain" without C0 or C1 after it
    kDrainDryRun,    ///< "--drain" or "--restore" followed by "--dry-run", which they lack
    kRestore,        ///< "--restore" and `wait`
    kLook,           ///< "--look"
    kEnd,            ///< no argument left
};

struct TaldOption {
    TaldWord word;
    int level;               ///< kLevel: the level as strtol converts it
    bool json;               ///< kList
    const char *operation;   ///< kPrio
    const char *path;        ///< kAliasGet, kPrio; kMetrics: the file, or nullptr
    const char *preference;  ///< kPrio: nullptr when the line ends at the path
    /// kPrio: seconds to wait for multipathd after the operation ("--wait
    /// [SECONDS]" after the operation's own arguments); 0 without the option.
    int wait = 0;
    /// kApply: kApplyDryRun, kApplyPrune, kApplyStrict.
    unsigned flags = 0;
};

/// Where the scan stands in the command line.
struct TaldScan {
    int argc;
    char **argv;
    int next = 1;
};

/// The next option from where the scan stands; kEnd once no argument is
/// left. After any word but kLevel the scan is over.
TaldOption next_option(TaldScan *scan);

/// The whole command line scanned once: the option it ends in (the first
/// that is not a level). `levels` (if given) receives every level before it,
/// in their order; *whole becomes false when memory for them ran out.
TaldOption line_scan(int argc, char **argv, GrowArray<int> *levels, bool *whole);

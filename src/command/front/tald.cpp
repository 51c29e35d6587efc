// tald: the administrator's command. One run performs one operation on the
// host's path preferences under the same exclusive flock that the priority
// callout takes, after loading the preference file. An operation on a path
// probes the device before it waits for the lock; every other operation
// takes the lock first. The wait is bounded by kTaldLockWaitMs.

#include "cli/cli.hpp"
#include "command/listing/conf_check.hpp"
#include "command/boot/initramfs_note.hpp"
#include "command/drain/daemon_wait.hpp"
#include "command/drain/drain.hpp"
#include "command/fleet/fleet.hpp"
#include "command/fleet/fleet_apply.hpp"
#include "command/listing/list_json.hpp"
#include "command/listing/listing.hpp"
#include "command/output/memory_text.hpp"
#include "command/metrics/metrics.hpp"
#include "command/front/options.hpp"
#include "daemon/multipathd.hpp"
#include "operations/operations.hpp"
#include "state/run_lock.hpp"
#include "store/file.hpp"
#include "store/store.hpp"
#include "store/run.hpp"
#include "trace/trace.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int kLinePrioEntry = 157;
constexpr int kLineHelpEntry = 187;
constexpr int kLineHandlerEntry = 234;

constexpr const char *kVersion = "tald-dm 0.3.2";

/// How long tald waits for the run lock: an administrator's command may wait
/// longer for a busy host than multipath's callout.
constexpr int kTaldLockWaitMs = 30000;
/// The bound of each exchange with multipathd for the JSON listing.
constexpr int kDaemonListMs = 4000;

constexpr const char *kNeedLevel = "Must Enter A Verbosity Level ";
constexpr const char *kNeedAliasArgs = "Must Enter an operation and a path ";
constexpr const char *kNeedPrioArgs = "Must Enter an operation and a path and or a preference ";
constexpr const char *kNeedSetArgs = "Must Enter an operation a path and a preference ";
constexpr const char *kNeedPrioPath = "Must enter an operation and a path ";
constexpr const char *kMissingArgument = "Missing argument ";
constexpr const char *kFlushError = "Error Flushing Configuration";
constexpr const char *kNoConfig = "No Config";
constexpr const char *kLevelFormat = " Verbosity Level Set:%d \n";
constexpr const char *kVersionFormat = "Version: %s\n";
constexpr const char *kFmtLockHeld = "%s: held by another run for %d s\n";
constexpr const char *kFmtLockOpen = "%s: %s\n";
constexpr const char *kNotRegular = "not a regular file";
constexpr const char *kBadWait = "The wait takes a number of seconds from 1 to 86400 ";
constexpr const char *kNeedApplyFile = "Must Enter a file of preferences, or - for standard input ";
constexpr const char *kBadApplyOption = "The file may be followed by --dry-run, --prune and --strict ";
constexpr const char *kBadDrain = "The controller to drain is C0 or C1 ";
constexpr const char *kFmtGroupsUnread =
    "multipathd: path groups of %zu of %zu maps not read (%s); their paths' group_state is "
    "\"unknown\"\n";

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

/// cli_prio's result for a "--set" whose override was not applied and saved,
/// or for an operation that did not obtain the lock. The scan ends with -1 at
/// once: the lines already written explain the failure, and the usage hint
/// would not.
constexpr int kSetFailed = -2;

bool is(const char *arg, const char *word) { return std::strcmp(arg, word) == 0; }

}  // namespace

namespace {

/// Why the run lock was not had, for the check's reader: `open_error` is
/// run_lock_open's errno value, 0 when the wait ran out.
void lock_why(int open_error)
{
    if (open_error == 0) {
        std::printf(kFmtLockHeld, kLockPath, kTaldLockWaitMs / 1000);
    } else {
        std::printf(kFmtLockOpen, kLockPath,
                    open_error == EINVAL ? kNotRegular : std::strerror(open_error));
    }
}

/// Runs `build` (a listing, the check's report) into memory while the lock
/// is held, and writes the text once the lock is given up, so that a reader
/// who does not read cannot hold every run of the host. Without memory for
/// the whole text, `build` writes to standard output directly, under the
/// lock. `build`'s result.
int built_then_written(StoreRun *run, int (*build)(StoreRun *, FILE *))
{
    MemoryText text;
    FILE *stream = memory_text_open(&text);
    if (stream == nullptr) {
        return build(run, stdout);
    }
    int rc = build(run, stream);
    bool failed = std::ferror(stream) != 0;
    if (std::fclose(stream) != 0 || failed) {
        return build(run, stdout);
    }
    run_leave(run);
    std::fwrite(text.bytes.data(), 1, text.bytes.size(), stdout);
    return rc;
}

/// "--check": 0 when a run keeps the file as it is, 1 when it would drop or
/// rewrite a line, -1 when the file cannot be read; then the note of a stale
/// initramfs, which leaves the result as it is.
int check_to(StoreRun *, FILE *out)
{
    int rc = conf_check(kConfigPath, out);
    initramfs_stale_note(out);
    return rc;
}

int listing_to(StoreRun *run, FILE *out) { return dump_config(run->store, out); }

/// "-l --json": the listing as a JSON document, with multipathd's view. The
/// daemon is asked once the run lock is given up (its path checks call the
/// prioritizer, which waits for that lock); the store stays loaded, and the
/// document goes out as it is written. A file that exists but could not be
/// read whole is no list: the reason goes to standard error, -1; a file
/// that could not be held for want of memory gives no list, as no list at
/// all does.
int list_config_json(StoreRun *run)
{
    run_leave(run);
    const char *why = file_unread_reason(run->store);
    if (why != nullptr && !file_out_of_memory(run->store)) {
        std::fprintf(stderr, kFmtConfUnreadable, kConfigPath, why);
        return -1;
    }
    if (why != nullptr || !store_loaded(run->store)) {
        cli_write_line(kNoConfig);
        return -1;
    }
    DaemonView view;
    DaemonLink link;
    if (daemon_link_open(&link) == 0) {
        daemon_view(link, kDaemonListMs, &view);
        daemon_view_groups(link, kDaemonListMs, nullptr, &view);
    }
    list_json_to(run->store, stdout, &view);
    // A group view that is not whole is said, not left to read as "unknown".
    if (view.maps_unread > 0)
        std::fprintf(stderr, kFmtGroupsUnread, view.maps_unread, view.maps,
                     daemon_reach_text(view.groups_reach));
    daemon_view_free(&view);
    daemon_link_close(&link);
    return 0;
}

int verbosity_for_level(int level)
{
    switch (level) {
    case 1:
        return 4;
    case 2:
        return 6;
    case 3:
        return 7;
    default:
        return 3;
    }
}

/// The finish step of the scan: the usage hint and 1 for a negative result.
int finish(int result)
{
    if (result < 0) {
        cli_usage();
        return 1;
    }
    return result;
}

/// "-F": removes the preference file.
int flush_config()
{
    if (unlink(kConfigPath) == 0) {
        return 0;
    }
    cli_write_line(kFlushError);
    return cli_usage();
}

/// "--alias --get path".
int alias_get(StoreRun *run, const char *path)
{
    int rc = getAlias(run, path);
    if (rc == kNoStore) {
        cli_lock_error();
    }
    return rc < 0 ? -1 : rc;
}

}  // namespace

int cli_help()
{
    log_trace(kLineHelpEntry, 7, "ENTRY");
    for (const char *text : kHelpText) {
        cli_write_line(text);
    }
    return 0;
}

/// "--get": prints the path's priority, 0. "--set": 0 when the preference
/// was applied and saved, kSetFailed otherwise. Any other operation: -1.
/// *stored (if given) becomes the path's stored priority: what "--get"
/// printed, or what "--set" applied; 0 when there is none.
int cli_prio(StoreRun *run, const char *operation, const char *path, const char *preference,
             int *stored)
{
    log_trace(kLinePrioEntry, 7, "ENTRY");
    if (is(operation, "--get")) {
        int prio = getPrio(run, path);
        if (prio == kNoStore) {
            cli_lock_error();
            return kSetFailed;
        }
        std::printf("%d\n", prio);
        if (stored != nullptr)
            *stored = prio;
        return 0;
    }
    if (is(operation, "--set")) {
        int rc = setPrio(run, path, preference, stored);
        if (rc == kNoStore) {
            cli_lock_error();
        }
        // The admin learns here that the boot would not see the change yet.
        if (rc == 0) {
            initramfs_stale_note(stderr);
        }
        return rc < 0 ? kSetFailed : 0;
    }
    cli_write_line(kMissingArgument);
    return -1;
}

namespace {

/// "--prio ... --wait": the operation, then, without the run lock, the wait
/// for multipathd to report the stored priority. A path with no stored
/// priority (not probed, not set) is not waited for.
int prio_and_wait(StoreRun *run, const TaldOption &option)
{
    int stored = 0;
    int rc = cli_prio(run, option.operation, option.path, option.preference, &stored);
    if (rc == kSetFailed)
        return -1;
    if (rc != 0 || stored <= 0)
        return finish(rc);
    run_leave(run);
    std::fflush(stdout);
    return daemon_wait(option.path, stored, option.wait, stdout);
}

/// Carries out the option the scan ended in; `result` is the scan's so far
/// (0 after a level, -1 before any).
int carry_out(StoreRun *run, const TaldOption &option, int result)
{
    switch (option.word) {
    case TaldWord::kNeedLevel:
        cli_write_line(kNeedLevel);
        return 0;
    case TaldWord::kVersion:
        std::printf(kVersionFormat, kVersion);
        return 0;
    case TaldWord::kFlush:
        return flush_config();
    case TaldWord::kList:
        if (option.json)
            return list_config_json(run);
        if (built_then_written(run, listing_to) < 0)
            cli_write_line(kNoConfig);
        return 0;
    case TaldWord::kCheck:
        return built_then_written(run, check_to);
    case TaldWord::kAliasGet:
        return alias_get(run, option.path);
    case TaldWord::kAliasOther:
        return -1;
    case TaldWord::kNeedAliasArgs:
        cli_write_line(kNeedAliasArgs);
        return finish(result);
    case TaldWord::kNeedPrioArgs:
        cli_write_line(kNeedPrioArgs);
        return finish(result);
    case TaldWord::kNeedSetArgs:
        cli_write_line(kNeedSetArgs);
        return finish(result);
    case TaldWord::kNeedPrioPath:
        cli_write_line(kNeedPrioPath);
        return finish(result);
    case TaldWord::kPrio: {
        if (option.wait > 0)
            return prio_and_wait(run, option);
        int rc = cli_prio(run, option.operation, option.path, option.preference, nullptr);
        return rc == kSetFailed ? -1 : finish(rc);
    }
    case TaldWord::kBadWait:
        cli_write_line(kBadWait);
        return finish(-1);
    case TaldWord::kHelp:
        return cli_help();
    case TaldWord::kMetrics:
        return metrics_collect(run, option.path);
    case TaldWord::kExport:
        return fleet_export(run, option.path);
    case TaldWord::kApply:
        return fleet_apply(run, option.path, option.flags);
    case TaldWord::kDrain:
        return fleet_drain(run, option.path, option.wait);
    case TaldWord::kRestore:
        return fleet_restore(run, option.wait);
    case TaldWord::kNeedApplyFile:
        cli_write_line(kNeedApplyFile);
        return finish(-1);
    case TaldWord::kBadApplyOption:
        cli_write_line(kBadApplyOption);
        return finish(-1);
    case TaldWord::kBadDrain:
        cli_write_line(kBadDrain);
        return finish(-1);
    case TaldWord::kLevel:
    case TaldWord::kEnd:
        break;
    }
    return finish(result);
}

}  // namespace

int cli_handler(StoreRun *run, int argc, char **argv)
{
    log_trace(kLineHandlerEntry, 7, "ENTRY: %s", argc > 1 ? argv[1] : "");
    log_verbosity = 3;
    if (argc < 2) {
        return cli_usage();
    }
    int result = -1;
    TaldScan scan{argc, argv};
    for (TaldOption option = next_option(&scan);; option = next_option(&scan)) {
        if (option.word != TaldWord::kLevel)
            return carry_out(run, option, result);
        log_verbosity = verbosity_for_level(option.level);
        std::printf(kLevelFormat, option.level);
        result = 0;
    }
}

namespace {
int run(int argc, char **argv)
{
    // Unlike the callout, tald makes no exception for a read-only file system.
    // The load's traces stay unwritten, as they were when the load came
    // before the option scan.
    RunLock lock;
    Store store{kConfigPath};
    StoreRun run = {&store, &lock, nullptr, kTaldLockWaitMs, kRunQuiet};
    TaldOption last = final_option(argc, argv);
    bool check = last.word == TaldWord::kCheck;
    int open_error = run_open(&run);
    // The check reads the file itself: the lock without the load. An
    // operation on a path probes before it enters the store, and the apply
    // reads its document first.
    int entered = 0;
    if (open_error == 0 && check) {
        entered = run_lock_take(&lock, kTaldLockWaitMs);
    } else if (open_error == 0 && !probes_first(last) && !reads_first(last)) {
        entered = run_entered(run_enter(&run, nullptr)) ? 0 : -1;
    }
    if (open_error != 0 || entered < 0) {
        cli_lock_error();
        if (check) {
            lock_why(open_error);
        }
        return -1;
    }
    int rc = cli_handler(&run, argc, argv);
    run_leave(&run);
    return rc;
}
}  // namespace

// An administrator's script reads the results: a lost line must not end in
// a success status, and the administrator learns why.
int main(int argc, char **argv) { return cli_finish_told(run(argc, argv)); }

#include "command/front/commands.hpp"
#include "command/front/said.hpp"

#include "cli/cli.hpp"
#include "command/boot/initramfs_note.hpp"
#include "command/drain/daemon_wait.hpp"
#include "command/drain/drain.hpp"
#include "command/fleet/fleet.hpp"
#include "command/fleet/fleet_apply.hpp"
#include "command/listing/conf_check.hpp"
#include "command/listing/list_json.hpp"
#include "command/listing/listing.hpp"
#include "command/look/look.hpp"
#include "command/metrics/metrics.hpp"
#include "daemon/multipathd.hpp"
#include "operations/operations.hpp"
#include "state/run_lock.hpp"
#include "store/file.hpp"
#include "store/store.hpp"
#include "trace/trace.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
constexpr int kLinePrioEntry = 157;
constexpr int kLineHandlerEntry = 234;

/// The bound of each exchange with multipathd for the JSON listing.
constexpr int kDaemonListMs = 4000;

constexpr const char *kMissingArgument = "Missing argument ";
constexpr const char *kFlushError = "Error Flushing Configuration";
constexpr const char *kNoConfig = "No Config";
constexpr const char *kLevelFormat = " Verbosity Level Set:%d \n";
constexpr const char *kFmtLockHeld = "%s: held by another run for %d s\n";
constexpr const char *kFmtLockOpen = "%s: %s\n";
constexpr const char *kNotRegular = "not a regular file";
constexpr const char *kFmtGroupsUnread =
    "multipathd: path groups of %zu of %zu maps not read (%s); their paths' group_state is "
    "\"unknown\"\n";

/// cli_prio's result for a "--set" whose override was not applied and saved,
/// or for an operation that did not obtain the lock. The command ends with
/// -1 at once: the lines already written explain the failure, and the usage
/// hint would not.
constexpr int kSetFailed = -2;

bool is(const char *arg, const char *word) { return std::strcmp(arg, word) == 0; }

TaldCall &call_of(void *state) { return *static_cast<TaldCall *>(state); }

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

/// Every command's first step, once the run is had as it needs: the
/// handler's entry, and the levels before the command, each said and set.
void levels_set(void *state)
{
    TaldCall &call = call_of(state);
    log_trace(kLineHandlerEntry, 7, "ENTRY: %s", call.first_arg);
    log_verbosity = 3;
    for (std::size_t i = 0; i < call.levels.size(); ++i) {
        log_verbosity = verbosity_for_level(call.levels[i]);
        std::printf(kLevelFormat, call.levels[i]);
        call.result = 0;
    }
}

/// Why the run lock was not had, for the check's reader: `open_error` is
/// run_lock_open's -errno value, 0 when the wait ran out.
void lock_why(int open_error)
{
    if (open_error == 0) {
        std::printf(kFmtLockHeld, kLockPath, kTaldLockWaitMs / 1000);
    } else {
        std::printf(kFmtLockOpen, kLockPath,
                    open_error == -EINVAL ? kNotRegular : std::strerror(-open_error));
    }
}

int said(StoreRun *, void *state, int, const AfterLock &)
{
    const TaldCall &call = call_of(state);
    return said_of(call.option.word, call.result);
}

int version(StoreRun *, void *, int, const AfterLock &) { return said_version(); }

int help(StoreRun *, void *, int, const AfterLock &) { return cli_help(); }

/// "-F": removes the preference file, under the run lock.
int flush_config(StoreRun *, void *, FILE *)
{
    if (unlink(kConfigPath) == 0) {
        return 0;
    }
    cli_write_line(kFlushError);
    return cli_usage();
}

int listing_to(StoreRun *run, void *, FILE *out) { return dump_config(run->store, out); }

int listing_said(StoreRun *, void *, int rc, const AfterLock &)
{
    if (rc < 0)
        cli_write_line(kNoConfig);
    return 0;
}

/// "--check": 0 when a run keeps the file as it is, 1 when it would drop or
/// rewrite a line, -1 when the file cannot be read; then the note of a stale
/// initramfs, which leaves the result as it is.
int check_to(StoreRun *, void *, FILE *out)
{
    int rc = conf_check(kConfigPath, out);
    initramfs_stale_note(out);
    return rc;
}

/// "-l --json": the listing as a JSON document, with multipathd's view,
/// asked once the run lock is given up (its path checks call the
/// prioritizer, which waits for that lock); the store stays loaded, and the
/// document goes out as it is written. A file that exists but could not be
/// read whole is no list: the reason goes to standard error, -1; a file
/// that could not be held for want of memory gives no list, as no list at
/// all does.
int list_config_json(StoreRun *run, void *, int, const AfterLock &pass)
{
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
    command_daemon_view(pass, kDaemonListMs, &view);
    list_json_to(run->store, stdout, &view);
    // A group view that is not whole is said, not left to read as "unknown".
    if (view.maps_unread > 0)
        std::fprintf(stderr, kFmtGroupsUnread, view.maps_unread, view.maps,
                     daemon_reach_text(view.groups_reach));
    daemon_view_free(&view);
    return 0;
}

/// "--alias --get path": the probe, before the lock.
int alias_probe(StoreRun *run, void *state)
{
    TaldCall &call = call_of(state);
    call.path.op = PathOp::kGetAlias;
    call.path.dev = call.option.path;
    path_probe(run, &call.path);
    return 0;
}

/// "--alias --get path": then, the run entered for the probed LUN, the alias.
int alias_get(StoreRun *run, void *state, FILE *)
{
    int rc = path_result(run, &call_of(state).path);
    if (rc == kNoStore) {
        cli_lock_error();
    }
    return rc < 0 ? -1 : rc;
}

/// "--prio --get|--set path ...": the probe, before the lock.
int prio_probe(StoreRun *run, void *state)
{
    log_trace(kLinePrioEntry, 7, "ENTRY");
    TaldCall &call = call_of(state);
    const TaldOption &o = call.option;
    call.path.op = is(o.operation, "--set") ? PathOp::kSetPrio : PathOp::kGetPrio;
    call.path.dev = o.path;
    call.path.prio_text = o.preference;
    call.path.stored = o.wait > 0 ? &call.stored : nullptr;
    path_probe(run, &call.path);
    return 0;
}

/// "--prio --get|--set path ...": then, the run entered for the probed LUN,
/// the operation. "--get": prints the path's priority, 0. "--set": 0 when
/// the preference was applied and saved, kSetFailed otherwise (the lines
/// written explain it; and for a run that did not obtain the lock).
/// call.stored becomes the path's stored priority, when waited for: what
/// "--get" printed, or what "--set" applied; 0 when there is none.
int prio_under(StoreRun *run, void *state, FILE *)
{
    TaldCall &call = call_of(state);
    int rc = path_result(run, &call.path);
    if (rc == kNoStore) {
        cli_lock_error();
        return kSetFailed;
    }
    if (call.path.op == PathOp::kGetPrio) {
        std::printf("%d\n", rc);
        if (call.path.stored != nullptr)
            *call.path.stored = rc;
        return 0;
    }
    // The admin learns here that the boot would not see the change yet.
    if (rc == 0) {
        initramfs_stale_note(stderr);
    }
    return rc < 0 ? kSetFailed : 0;
}

/// "--prio ... --wait": then, without the run lock, the wait for multipathd
/// to report the stored priority. A path with no stored priority (not
/// probed, not set) is not waited for.
int prio_after(StoreRun *, void *state, int rc, const AfterLock &pass)
{
    const TaldCall &call = call_of(state);
    if (rc == kSetFailed)
        return -1;
    if (call.option.wait <= 0 || rc != 0 || call.stored <= 0)
        return said_finish(rc);
    std::fflush(stdout);
    return daemon_wait(call.option.path, call.stored, call.option.wait, stdout, pass);
}

/// "--prio" with an operation that is neither: the missing argument said.
int prio_other(StoreRun *run, void *state, int, const AfterLock &pass)
{
    log_trace(kLinePrioEntry, 7, "ENTRY");
    cli_write_line(kMissingArgument);
    return prio_after(run, state, -1, pass);
}

int metrics(StoreRun *run, void *state, int, const AfterLock &pass)
{
    return metrics_collect(run->store, call_of(state).option.path, pass);
}

int export_doc(StoreRun *run, void *state, int, const AfterLock &)
{
    return fleet_export(run->store, call_of(state).option.path);
}

int apply_read(StoreRun *, void *state)
{
    TaldCall &call = call_of(state);
    return fleet_apply_read(call.option.path, &call.input);
}

int apply_under(StoreRun *run, void *state, FILE *out)
{
    const TaldCall &call = call_of(state);
    return fleet_apply(run->store, call.option.path, call.input, call.option.flags, out);
}

int apply_after(StoreRun *, void *state, int rc, const AfterLock &)
{
    return fleet_apply_noted(rc, call_of(state).option.flags);
}

int drain_under(StoreRun *run, void *state, FILE *out)
{
    return fleet_drain(run->store, call_of(state).option.path, out);
}

int restore_under(StoreRun *run, void *, FILE *out) { return fleet_restore(run->store, out); }

int drain_after(StoreRun *run, void *state, int rc, const AfterLock &pass)
{
    const TaldOption &o = call_of(state).option;
    const char *controller = o.word == TaldWord::kDrain ? o.path : nullptr;
    return fleet_drain_wait(run->store, controller, rc, o.wait, pass);
}

/// "--look": with the run left, the groups multipathd uses against the
/// stored preferences and the last look.
int look(StoreRun *run, void *, int, const AfterLock &pass)
{
    return look_after(run->store, pass);
}

/// The commands, by what they need and their steps. Every command but the
/// operations on a path and the apply enters the run for every LUN before
/// its first step, as tald always has: a run that cannot have the host's
/// lock says so, whatever it was asked.
enum TaldCommand {
    kCmdSaid, kCmdVersion, kCmdHelp, kCmdFlush, kCmdList, kCmdListJson, kCmdCheck,
    kCmdAliasGet, kCmdPrio, kCmdPrioOther, kCmdMetrics, kCmdExport, kCmdApply, kCmdDrain,
    kCmdRestore, kCmdLook, kCmdCount
};

constexpr RunNeed kAll = RunNeed::kEveryLun;
constexpr ReportTo kMem = ReportTo::kMemory;

constexpr CommandSteps kCommands[kCmdCount] = {
    {kAll, kMem, levels_set, nullptr, nullptr, said, nullptr, -1},
    {kAll, kMem, levels_set, nullptr, nullptr, version, nullptr, -1},
    {kAll, kMem, levels_set, nullptr, nullptr, help, nullptr, -1},
    {kAll, ReportTo::kStdout, levels_set, nullptr, flush_config, nullptr, nullptr, -1},
    {kAll, ReportTo::kMemoryOrAgain, levels_set, nullptr, listing_to, listing_said, nullptr, -1},
    {kAll, kMem, levels_set, nullptr, nullptr, list_config_json, nullptr, -1},
    {RunNeed::kLockOnly, ReportTo::kMemoryOrAgain, levels_set, nullptr, check_to, nullptr,
     lock_why, -1},
    {RunNeed::kOneLun, ReportTo::kStdout, levels_set, alias_probe, alias_get, nullptr, nullptr,
     -1},
    {RunNeed::kOneLun, ReportTo::kStdout, levels_set, prio_probe, prio_under, prio_after, nullptr,
     -1},
    {kAll, kMem, levels_set, nullptr, nullptr, prio_other, nullptr, -1},
    {kAll, kMem, levels_set, nullptr, nullptr, metrics, nullptr, -1},
    {kAll, kMem, levels_set, nullptr, nullptr, export_doc, nullptr, -1},
    {kAll, kMem, levels_set, apply_read, apply_under, apply_after, nullptr, kApplyFailed},
    {kAll, kMem, levels_set, nullptr, drain_under, drain_after, nullptr, -1},
    {kAll, kMem, levels_set, nullptr, restore_under, drain_after, nullptr, -1},
    {kAll, kMem, levels_set, nullptr, nullptr, look, nullptr, -1},
};

TaldCommand command_of(const TaldOption &option)
{
    switch (option.word) {
    case TaldWord::kVersion:
        return kCmdVersion;
    case TaldWord::kHelp:
        return kCmdHelp;
    case TaldWord::kFlush:
        return kCmdFlush;
    case TaldWord::kList:
        return option.json ? kCmdListJson : kCmdList;
    case TaldWord::kCheck:
        return kCmdCheck;
    case TaldWord::kAliasGet:
        return kCmdAliasGet;
    case TaldWord::kPrio:
        // The scan gives "--set" only with its preference, "--get" with its path.
        return is(option.operation, "--set") || is(option.operation, "--get") ? kCmdPrio
                                                                             : kCmdPrioOther;
    case TaldWord::kMetrics:
        return kCmdMetrics;
    case TaldWord::kExport:
        return kCmdExport;
    case TaldWord::kApply:
        return kCmdApply;
    case TaldWord::kDrain:
        return kCmdDrain;
    case TaldWord::kRestore:
        return kCmdRestore;
    case TaldWord::kLook:
        return kCmdLook;
    default:
        return kCmdSaid;
    }
}

}  // namespace

const CommandSteps &tald_steps(const TaldOption &option) { return kCommands[command_of(option)]; }

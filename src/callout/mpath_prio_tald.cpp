// mpath_prio_tald: the priority callout that multipath runs once per path.
// It answers with one decimal priority on standard output. The device is
// probed first; the exclusive flock on the lock file, which serialises every
// use of the preference file on the host, is then waited for at most
// kCalloutLockWaitMs.

#include "cli/cli.hpp"
#include "operations/operations.hpp"
#include "state/run_lock.hpp"
#include "store/store.hpp"
#include "store/run.hpp"
#include "trace/trace.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
constexpr int kLineHelpEntry = 216;

/// How long the callout waits for the run lock: multipath waits for its
/// answer, so a few seconds.
constexpr int kCalloutLockWaitMs = 5000;

constexpr const char *kMustEnterPath = "Must enter a path ";
constexpr const char *kReadOnlyAnswer = "1";
constexpr const char *kHelpLine1 = "\n Usage: mpath_prio_tald -[PATH] ";
constexpr const char *kHelpLine2 = "               example:  mpath_prio_tald /dev/sdb \n ";

bool is_help(const char *arg)
{
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-help") == 0;
}
}  // namespace

int cli_mpath_prio_help()
{
    log_trace(kLineHelpEntry, 7, "ENTRY");
    cli_write_line(kHelpLine1);
    cli_write_line(kHelpLine2);
    return 0;
}

namespace {
/// One command line's way through its run.
struct CalloutCall {
    int argc;
    char **argv;
    PathCall path;
};

CalloutCall &call_of(void *state) { return *static_cast<CalloutCall *>(state); }

bool asks_priority(const CalloutCall &call)
{
    return call.argc >= 2 && !is_help(call.argv[1]);
}

/// The usage or the help: what a line that asks no priority gets.
int said(const CalloutCall &call)
{
    if (call.argc < 2) {
        cli_write_line(kMustEnterPath);
        cli_usage();
    } else {
        cli_mpath_prio_help();
    }
    return 0;
}

/// Once the lock file is open: on a read-only file system every device
/// gets "1" without being touched, and the usage or help is said without
/// the lock; any other refusal is the lock error. Else the probe.
RunGo before(StoreRun *run, void *state, int open_error, int *result)
{
    CalloutCall &call = call_of(state);
    if (open_error != 0 && open_error != -EROFS) {
        cli_lock_error();
        *result = -1;
        return RunGo::kStop;
    }
    if (open_error != 0) {
        if (asks_priority(call))
            cli_write_line(kReadOnlyAnswer);
        *result = asks_priority(call) ? 0 : said(call);
        return RunGo::kStop;
    }
    if (asks_priority(call))
        path_probe(run, &call.path);
    return RunGo::kEnter;
}

/// Under the lock (for the probed LUN, or every LUN for the usage or the
/// help): the answer. -1 when the lock was not obtained in time.
int answer(StoreRun *run, void *state)
{
    CalloutCall &call = call_of(state);
    int prio = asks_priority(call) ? path_result(run, &call.path) : 0;
    if (prio == kNoStore || (!asks_priority(call) && !run_entered(run->entry))) {
        cli_lock_error();
        return -1;
    }
    if (!asks_priority(call))
        return said(call);
    std::printf("%d\n", prio);
    return 0;
}

constexpr RunSteps kPrioSteps = {RunNeed::kOneLun, before, answer, nullptr};
constexpr RunSteps kSaidSteps = {RunNeed::kEveryLun, before, answer, nullptr};

int run(int argc, char **argv)
{
    RunLock lock;
    Store store{kConfigPath};
    StoreRun run = {&store, &lock, nullptr, kCalloutLockWaitMs, 0};
    CalloutCall call = {argc, argv, {PathOp::kGetPrio, argc >= 2 ? argv[1] : ""}};
    return run_life(asks_priority(call) ? kPrioSteps : kSaidSteps, &run, &call);
}
}  // namespace

// multipath reads the answer from a pipe: a lost answer must not end in
// status 0.
int main(int argc, char **argv) { return cli_finish(run(argc, argv)); }

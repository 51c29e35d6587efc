// mpath_prio_tald: the priority callout that multipath runs once per path.
// It answers with one decimal priority on standard output. The device is
// probed first; the exclusive flock on the lock file, which serialises every
// use of the preference file on the host, is then waited for at most
// kCalloutLockWaitMs.

#include "operations/cli.hpp"
#include "operations/operations.hpp"
#include "state/run_lock.hpp"
#include "store/store.hpp"
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
/// One run: its lock and its store.
struct CalloutRun {
    run_lock lock;
    Store store{kConfigPath};
};

/// The run lock and the preference file, taken after the probe.
int enter_store(void *context, Store *store)
{
    return run_enter_store(&static_cast<CalloutRun *>(context)->lock, store, kCalloutLockWaitMs);
}

/// The answer for one command line once the lock file is open. `writable`
/// false: a read-only file system, where every device gets "1" without being
/// touched. -1 when the lock was not obtained in time.
int answer(CalloutRun *run, int argc, char **argv, bool writable)
{
    bool asks_priority = argc >= 2 && !is_help(argv[1]);
    if (!writable && asks_priority) {
        cli_write_line(kReadOnlyAnswer);
        return 0;
    }
    if (!asks_priority && writable && enter_store(run, &run->store) < 0) {
        cli_lock_error();
        return -1;
    }
    if (argc < 2) {
        cli_write_line(kMustEnterPath);
        cli_usage();
    } else if (is_help(argv[1])) {
        cli_mpath_prio_help();
    } else {
        int prio = getPrio(&run->store, argv[1], {enter_store, run});
        if (prio == kNoStore) {
            cli_lock_error();
            return -1;
        }
        std::printf("%d\n", prio);
    }
    return 0;
}

int run(int argc, char **argv)
{
    CalloutRun run;
    int err = run_lock_open(&run.lock);
    if (err != 0 && err != EROFS) {
        cli_lock_error();
        return -1;
    }
    return answer(&run, argc, argv, err == 0);
}
}  // namespace

// multipath reads the answer from a pipe: a lost answer must not end in
// status 0.
int main(int argc, char **argv) { return cli_finish(run(argc, argv)); }

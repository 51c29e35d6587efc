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
/// The answer for one command line once the lock file is open. `writable`
/// false: a read-only file system, where every device gets "1" without being
/// touched. -1 when the lock was not obtained in time.
int answer(StoreRun *run, int argc, char **argv, bool writable)
{
    bool asks_priority = argc >= 2 && !is_help(argv[1]);
    if (!writable && asks_priority) {
        cli_write_line(kReadOnlyAnswer);
        return 0;
    }
    if (!asks_priority && writable && !run_entered(run_enter(run, nullptr))) {
        cli_lock_error();
        return -1;
    }
    if (argc < 2) {
        cli_write_line(kMustEnterPath);
        cli_usage();
    } else if (is_help(argv[1])) {
        cli_mpath_prio_help();
    } else {
        int prio = getPrio(run, argv[1]);
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
    RunLock lock;
    Store store{kConfigPath};
    StoreRun run = {&store, &lock, nullptr, kCalloutLockWaitMs, 0};
    int err = run_open(&run);
    if (err != 0 && err != -EROFS) {
        cli_lock_error();
        return -1;
    }
    int rc = answer(&run, argc, argv, err == 0);
    run_leave(&run);
    return rc;
}
}  // namespace

// multipath reads the answer from a pipe: a lost answer must not end in
// status 0.
int main(int argc, char **argv) { return cli_finish(run(argc, argv)); }

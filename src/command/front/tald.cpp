// tald: the administrator's command. One run performs one operation on the
// host's path preferences under the same exclusive flock that the priority
// callout takes, after loading the preference file. An operation on a path
// probes the device before it waits for the lock; every other operation
// takes the lock first. The wait is bounded by kTaldLockWaitMs. What each
// command needs and does is in its table (commands.hpp); the run's life is
// the driver's (command/driver/driver.hpp).

#include "cli/cli.hpp"
#include "command/driver/driver.hpp"
#include "command/front/commands.hpp"
#include "command/front/options.hpp"
#include "state/run_lock.hpp"
#include "store/file.hpp"
#include "store/run.hpp"
#include "store/store.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char *kFmtNoMemory = "tald: %s\n";

int run(int argc, char **argv)
{
    TaldCall call;
    call.first_arg = argc > 1 ? argv[1] : "";
    bool whole = true;
    call.option = line_scan(argc, argv, &call.levels, &whole);
    if (!whole) {
        call.levels.free();
        std::fprintf(stderr, kFmtNoMemory, std::strerror(ENOMEM));
        return -1;
    }
    // Unlike the callout, tald makes no exception for a read-only file system.
    // The load's traces stay unwritten, as they were when the load came
    // before the option scan.
    RunLock lock;
    Store store{kConfigPath};
    StoreRun run = {&store, &lock, nullptr, kTaldLockWaitMs, kRunQuiet};
    int rc = command_drive(tald_steps(call.option), &run, &call);
    call.levels.free();
    fleet_input_free(&call.input);
    return rc;
}

}  // namespace

// An administrator's script reads the results: a lost line must not end in
// a success status, and the administrator learns why.
int main(int argc, char **argv) { return cli_finish_told(run(argc, argv)); }

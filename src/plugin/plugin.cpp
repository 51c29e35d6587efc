// libpriotald.so: the path priority as a prioritizer that multipath loads for
// "prio tald". One call of getprio gives what one run of mpath_prio_tald
// would print for the path /dev/<dev>, and leaves the preference file as
// that run would.
//
// A call probes the device first, outside any serialisation, so that calls
// for different paths run side by side. What the store then needs is
// serialised by one mutex, and the call's whole wait for the store (that
// mutex and the host-wide flock) is bounded by the call's timeout. Between
// calls the library keeps one store with the preference file as it last read
// it (text and index); a call whose path and LUN are stored as they would be
// stored again answers from it after one lstat that shows the file unchanged
// (resolve_peek), without the lock and without reading the file, as long as the
// state directory is still one that a run as root may use.
// Any other call goes the whole way: the lock file, the flock, a fresh load,
// the resolution and the save. Nothing else outlives a call: no descriptor,
// lock or LUN list; unloading the library frees the file it kept.
//
// Where the state cannot be written (an initramfs whose copy of the state is
// read-only, a missing directory: run_state_read_only), the whole way ends
// after the load: the file is read without the lock, the path gets the
// override stored for it or its default, and nothing is written or kept
// for the next call. multipath then groups the paths right from the first
// second of a boot from SAN, not all alike. The callout answers "1" there,
// as it always has.
//
// The library runs inside multipathd, next to the host's I/O: thread
// cancellation is off for the call's duration, no signal is used, nothing
// goes to standard output or error. Syslog gets what an admin must act on
// (plugin/path_states.hpp), and with "-v" the traces of every call.

#include "base/text.hpp"
#include "operations/operations.hpp"
#include "plugin/host_abi.hpp"
#include "plugin/path_states.hpp"
#include "probe/sg_io.hpp"
#include "state/run_lock.hpp"
#include "store/file.hpp"
#include "store/store.hpp"
#include "store/run.hpp"
#include "trace/trace.hpp"

#include <pthread.h>
#include <syslog.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kNoAnswer = -1;

/// The store kept between calls, the run lock of the call that holds it,
/// and the turn at both.
Store kept_store{kConfigPath};
RunLock kept_lock;
RunTurn kept_turn;

/// What a read-only call made of the preference file, for report_state.
/// The path itself is healthy: its answer is the override read or its
/// default.
void read_only_verdict(const StoreRun &run, CallOutcome *out)
{
    out->use = kStateReadOnly;
    out->lock_error = -run.open_error;
    if (run.load == kStateNotTrusted) {
        out->file = kFileNotTrusted;
    } else if (file_unreadable(run.store) || run.load < -1) {
        out->file = kFileUnreadable;
        const char *why = file_unread_reason(run.store);
        copy_field(out->why, sizeof out->why, why != nullptr ? why : std::strerror(ENOMEM));
    } else if (run.load < 0) {
        out->file = kFileAbsent;
    } else {
        out->file = file_canonical(run.store) ? kFileRead : kFileDamaged;
    }
}

/// What the admin must hear of the call, from what its run found.
void judge(const StoreRun &run, CallOutcome *out)
{
    switch (run.entry) {
    case kRunNotEntered:
        out->state = kNotIdentified;
        break;
    case kRunTimedOut:
        if (run.lock_opened)
            out->use = kStateUsed;
        out->state = kLockTimedOut;
        break;
    case kRunNoLock:
        out->state = kLockUnusable;
        out->lock_error = -run.open_error;
        break;
    case kRunReadOnly:
        read_only_verdict(run, out);
        break;
    case kRunLocked:
        out->use = kStateUsed;
        if (file_unreadable(run.store))
            out->state = kUnreadable;
        break;
    case kRunAnswered:
        break;
    }
}

/// One call's way through its run: the path, and what the admin must hear.
struct PluginCall {
    PathCall path;
    CallOutcome outcome;
};

PluginCall &call_of(void *state) { return *static_cast<PluginCall *>(state); }

RunGo probe(StoreRun *run, void *state, int, int *)
{
    path_probe(run, &call_of(state).path);
    return RunGo::kEnter;
}

int resolve(StoreRun *run, void *state) { return path_result(run, &call_of(state).path); }

void judged(const StoreRun &run, void *state) { judge(run, &call_of(state).outcome); }

/// The prioritizer's steps: the probe outside the turn, the priority under
/// it, and the verdict read before the kept run is left.
constexpr RunSteps kPrioSteps = {RunNeed::kOneLun, probe, resolve, judged};

int one_call(const struct path *pp, unsigned timeout_ms, int verbosity)
{
    log_use_syslog(true);
    log_thread_use(verbosity);

    int result = 0;
    char node[kNodeSize];
    if (pp == nullptr || !node_of(pp, node, sizeof node)) {
        syslog(LOG_DAEMON | LOG_WARNING, "priotald: path without a usable device name");
    } else {
        unsigned flags = kRunKept;
        if (last_state(node) == kLockUnusable)
            flags |= kRunRefusedBefore;
        StoreRun run = {&kept_store, &kept_lock, &kept_turn,
                        static_cast<int>(std::min<unsigned>(timeout_ms, INT_MAX)), flags};
        PluginCall call = {{PathOp::kGetPrio, node}, {kHealthy, 0, timeout_ms}};
        call.path.probe_ms = timeout_ms;
        result = run_life(kPrioSteps, &run, &call);
        if (result == kNoStore)
            result = kNoAnswer;
        report(node, call.outcome, result);
        report_state(call.outcome);
    }

    log_thread_use(-1);
    log_use_syslog(false);
    return result;
}

/// The turn's timed wait on CLOCK_MONOTONIC, before the host's first call
/// (store/run.hpp).
__attribute__((constructor)) void load()
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return;
    if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0)
        pthread_cond_init(&kept_turn.freed, &attr);
    pthread_condattr_destroy(&attr);
}

/// Everything the library keeps besides the store (which its own end of
/// life frees), given back when the host unloads it.
__attribute__((destructor)) void unload()
{
    pthread_cond_destroy(&kept_turn.freed);
    run_lock_close(&kept_lock);
    path_states_forget();
    host_abi_forget();
}

}  // namespace

/// The host's entry: the priority of the path (what mpath_prio_tald prints,
/// 0 included), or -1 when there is no answer at all. `timeout_ms` is read
/// only from a host that passes it (plugin/host_abi.hpp); 0, or a host that
/// passes two arguments, means 5000 ms.
extern "C" __attribute__((visibility("default"))) int getprio(struct path *pp, char *args,
                                                              unsigned int timeout_ms)
{
    int cancel_state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    unsigned bound = call_timeout(timeout_ms);
    int verbosity = verbosity_from_args(args != nullptr ? args : "");
    int result = one_call(pp, bound, verbosity);
    pthread_setcancelstate(cancel_state, nullptr);
    return result;
}

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
// (store_peek), without the lock and without reading the file, as long as the
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
#include "store/store.hpp"
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
/// The trace level from which a call shows every step of the store.
constexpr int kStepsLevel = 7;

/// The store kept between calls, and the run lock of the call that holds it.
Store kept_store{kConfigPath};
run_lock kept_lock;

/// The turn at the kept store and its run lock: taken by one call at a time,
/// for as long as it uses them. A call waits for it within its own bound,
/// measured on CLOCK_MONOTONIC, since the wall clock may be set back or forth
/// while multipathd runs (at boot, when the time service first steps it).
/// Hence a flag under a mutex that is only ever held for a moment, and a
/// condition variable whose timed wait reads CLOCK_MONOTONIC: the bound holds
/// to the wake-up, a waiter wakes as soon as the turn is free, and the C
/// library needs nothing newer than GLIBC_2.3.3 for it. Neither of the others
/// would do: pthread_mutex_clocklock needs GLIBC_2.30, which the C libraries
/// of many a host with a 0.8 release lack (2.28), and
/// pthread_mutex_timedlock's deadline is on CLOCK_REALTIME, so the wall clock
/// set back by an hour would stretch the wait by an hour.
struct StoreTurn {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t freed = PTHREAD_COND_INITIALIZER;  ///< set to CLOCK_MONOTONIC on load
    bool taken = false;
};
StoreTurn store_turn;

/// One call: its bound and what it found.
struct Call {
    timespec deadline;  ///< CLOCK_MONOTONIC: the end of the wait for the store
    CallOutcome outcome;
    bool lock_refused_before;  ///< the path's last call found the lock file unusable
};

long ms_until(const timespec &deadline)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms = (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
    return std::max(ms, 0L);
}

/// A state that cannot be written (an initramfs's read-only copy, a missing
/// directory): the preference file loaded without the lock into a store
/// that saves nothing, and what was found for report_state. The path itself
/// is healthy: its answer is the override read or its default.
void enter_read_only(CallOutcome *out, Store *store, int err)
{
    out->use = kStateReadOnly;
    out->lock_error = err;
    int rc = run_enter_read_only(store);
    if (rc == kStateNotTrusted) {
        out->file = kFileNotTrusted;
    } else if (store_unreadable(store) || rc < -1) {
        out->file = kFileUnreadable;
        const char *why = store_unread_reason(store);
        copy_field(out->why, sizeof out->why, why != nullptr ? why : std::strerror(ENOMEM));
    } else if (rc < 0) {
        out->file = kFileAbsent;
    } else {
        out->file = store_canonical(store) ? kFileRead : kFileDamaged;
    }
}

/// The store's gate of a call that goes the whole way: the lock file, the
/// flock within what is left of the call's bound, the preference file
/// loaded. Negative with the call's state set when the call cannot go on.
int enter_store(void *context, Store *store)
{
    auto *call = static_cast<Call *>(context);
    // Why the lock file is refused was logged when the path's failure began;
    // below the level that traces every call, not again on each call.
    int verbosity = log_level();
    if (call->lock_refused_before && verbosity < kStepsLevel)
        log_thread_use(0);
    int err = run_lock_open(&kept_lock);
    log_thread_use(verbosity);
    if (err != 0 && run_state_read_only(err)) {
        enter_read_only(&call->outcome, store, err);
        return 0;
    }
    if (err != 0) {
        call->outcome.state = kLockUnusable;
        call->outcome.lock_error = err;
        return -1;
    }
    call->outcome.use = kStateUsed;
    int left = static_cast<int>(std::min<long>(ms_until(call->deadline), INT_MAX));
    if (run_enter_store(&kept_lock, store, left) < 0) {
        call->outcome.state = kLockTimedOut;
        return -1;
    }
    if (store_unreadable(store)) {
        call->outcome.state = kUnreadable;
    }
    return 0;
}

/// Takes the turn at the store within the call's bound.
bool lock_store(Call *call)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ns = now.tv_nsec + static_cast<long>(call->outcome.timeout_ms % 1000) * 1000000L;
    call->deadline = {now.tv_sec + static_cast<time_t>(call->outcome.timeout_ms / 1000) + ns / 1000000000L,
                      ns % 1000000000L};
    pthread_mutex_lock(&store_turn.mutex);
    int rc = 0;
    while (store_turn.taken && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&store_turn.freed, &store_turn.mutex, &call->deadline);
    bool got = !store_turn.taken;
    if (got)
        store_turn.taken = true;
    pthread_mutex_unlock(&store_turn.mutex);
    return got;
}

void unlock_store()
{
    pthread_mutex_lock(&store_turn.mutex);
    store_turn.taken = false;
    pthread_cond_signal(&store_turn.freed);
    pthread_mutex_unlock(&store_turn.mutex);
}

/// The priority of the probed path from the store. `rec` is consumed.
int resolve(Call *call, const char *node, pathinfo *rec, int rc)
{
    if (rc < 0 || rec == nullptr) {
        call->outcome.state = kNotIdentified;
        return getPrioResolve(&kept_store, node, rec, rc, {});
    }
    if (!lock_store(call)) {
        std::free(rec);
        call->outcome.state = kLockTimedOut;
        return kNoAnswer;
    }
    // The kept file stands for the state only while the state could be used.
    int prio = log_level() < kStepsLevel && run_state_trusted() ? store_peek(&kept_store, rec) : 0;
    if (prio > 0) {
        std::free(rec);
    } else {
        call->lock_refused_before = last_state(node) == kLockUnusable;
        prio = getPrioResolve(&kept_store, node, rec, rc, {enter_store, call});
        store_drop_records(&kept_store);
        run_lock_close(&kept_lock);
        // What was read without the lock answers no later call.
        if (kept_store.read_only) {
            store_reset(&kept_store);
            kept_store.read_only = false;
        }
    }
    unlock_store();
    return prio != kNoStore ? prio : kNoAnswer;
}

int one_call(const struct path *pp, unsigned timeout_ms, int verbosity)
{
    log_use_syslog(true);
    log_thread_use(verbosity);
    sg_io_set_command_timeout(timeout_ms);

    int result = 0;
    char node[kNodeSize];
    if (pp == nullptr || !node_of(pp, node, sizeof node)) {
        syslog(LOG_DAEMON | LOG_WARNING, "priotald: path without a usable device name");
    } else {
        Call call = {{}, {kHealthy, 0, timeout_ms}, false};
        pathinfo *rec = nullptr;
        int rc = getPrioProbe(node, &rec);
        result = resolve(&call, node, rec, rc);
        report(node, call.outcome, result);
        report_state(call.outcome);
    }

    sg_io_set_command_timeout(0);
    log_thread_use(-1);
    log_use_syslog(false);
    return result;
}

/// The turn's timed wait on CLOCK_MONOTONIC, before the host's first call.
/// Were that refused, the deadlines would lie in the past of the wall clock:
/// a call that finds the turn taken would give up at once, never wait longer.
__attribute__((constructor)) void load()
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return;
    if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0)
        pthread_cond_init(&store_turn.freed, &attr);
    pthread_condattr_destroy(&attr);
}

/// Everything the library keeps besides the store (which its own end of
/// life frees), given back when the host unloads it.
__attribute__((destructor)) void unload()
{
    pthread_cond_destroy(&store_turn.freed);
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

#include "store/run.hpp"

#include "base/clock.hpp"
#include "state/state_paths.hpp"
#include "store/file.hpp"
#include "store/resolve.hpp"
#include "store/store.hpp"
#include "trace/trace.hpp"

#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {
constexpr int kLineLoadWarn = 373;
/// The trace level from which a run shows every step of the store: a kept
/// file then answers nothing, so that every step is seen.
constexpr int kStepsLevel = 7;

/// The deadline `timeout_ms` from now, in nanoseconds on the one clock.
long long deadline_after(int timeout_ms) { return monotonic_ns() + timeout_ms * 1000000LL; }

/// The deadline as the turn's timed wait reads it (CLOCK_MONOTONIC).
timespec deadline_spec(long long deadline_ns)
{
    return {static_cast<time_t>(deadline_ns / 1000000000LL),
            static_cast<long>(deadline_ns % 1000000000LL)};
}

/// What is left until the deadline in whole milliseconds, the seconds and
/// the nanoseconds beside them counted apart: a bound that has hardly begun
/// reads whole (30000 ms, not 29999), as the lock's trace has always said it.
int ms_until(long long deadline_ns)
{
    constexpr long long kSecond = 1000000000LL;
    long long now = monotonic_ns();
    long long ms = (deadline_ns / kSecond - now / kSecond) * 1000LL +
                   (deadline_ns % kSecond - now % kSecond) / 1000000LL;
    return static_cast<int>(std::clamp(ms, 0LL, static_cast<long long>(INT_MAX)));
}

bool take_turn(RunTurn *turn, long long deadline_ns)
{
    timespec deadline = deadline_spec(deadline_ns);
    pthread_mutex_lock(&turn->mutex);
    int rc = 0;
    while (turn->taken && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&turn->freed, &turn->mutex, &deadline);
    bool got = !turn->taken;
    if (got)
        turn->taken = true;
    pthread_mutex_unlock(&turn->mutex);
    return got;
}

void give_turn(RunTurn *turn)
{
    pthread_mutex_lock(&turn->mutex);
    turn->taken = false;
    pthread_cond_signal(&turn->freed);
    pthread_mutex_unlock(&turn->mutex);
}

/// The LUN a load for `probed` serves: nullptr (every LUN) without one.
const char *served(const pathinfo *probed) { return probed != nullptr ? probed->wwid : nullptr; }

/// Loads the store's file without the lock, for a run that found the state
/// read-only, serving the probed LUN alone: the store becomes read_only, so
/// that no resolution writes, and is emptied first. A state directory that a
/// run as root may not use (run_state_trusted) is not read: nothing is
/// loaded. load_config's result (and traces), or kStateNotTrusted.
int load_read_only(Store *store, const pathinfo *probed)
{
    store_reset(store);
    store->read_only = true;
    // A missing directory is no refusal: there is nothing to read.
    struct stat st = {};
    if (stat(kStateDir, &st) == 0 && !run_state_trusted())
        return kStateNotTrusted;
    return file_load(store, store->file, served(probed));
}

/// The file loaded under the lock, serving the probed LUN alone; a quiet
/// run's load and its warning trace nothing.
void load_locked(StoreRun *run, const pathinfo *probed)
{
    Store *store = run->store;
    store_reset(store);
    bool quiet = (run->flags & kRunQuiet) != 0;
    run->load = file_load(store, store->file, served(probed),
                          quiet ? LoadTrace::kQuiet : LoadTrace::kShown);
    if (run->load < 0 && !quiet) {
        log_trace(kLineLoadWarn, 4, "WARN[%d]: problem loading configuration file", run->load);
    }
}

/// Opens a kept run's lock file. Why it is refused was logged when the
/// refusal began; below the level that traces every step, not again.
int open_kept(StoreRun *run)
{
    int verbosity = log_level();
    if ((run->flags & kRunRefusedBefore) != 0 && verbosity < kStepsLevel)
        log_thread_use(0);
    int err = run_lock_open(run->lock);
    log_thread_use(verbosity);
    return err;
}

/// A kept run's way to the lock: the kept file's answer (while the state
/// could be used), else the lock file opened. The entry when the run ends
/// here; kRunNotEntered to go on to the flock.
RunEntry before_lock(StoreRun *run, const pathinfo *probed)
{
    // The kept file stands for the state only while the state could be used.
    if (probed != nullptr && log_level() < kStepsLevel && run_state_trusted()) {
        run->answer = resolve_peek(run->store, probed);
        if (run->answer > 0)
            return kRunAnswered;
    }
    run->open_error = open_kept(run);
    if (run->open_error != 0 && run_state_read_only(run->open_error)) {
        run->load = load_read_only(run->store, probed);
        return kRunReadOnly;
    }
    run->lock_opened = run->open_error == 0;
    return run->open_error != 0 ? kRunNoLock : kRunNotEntered;
}

RunEntry enter(StoreRun *run, const pathinfo *probed)
{
    long long deadline = deadline_after(run->timeout_ms);
    if (run->turn != nullptr) {
        if (!take_turn(run->turn, deadline))
            return kRunTimedOut;
        run->turn_held = true;
    }
    if ((run->flags & kRunKept) != 0) {
        RunEntry early = before_lock(run, probed);
        if (early != kRunNotEntered)
            return early;
    }
    if (run_lock_take(run->lock, ms_until(deadline)) < 0)
        return kRunTimedOut;
    run->store->held = &run->lock->file;
    load_locked(run, probed);
    return kRunLocked;
}
}  // namespace

int run_open(StoreRun *run)
{
    run->open_error = run_lock_open(run->lock);
    run->lock_opened = run->open_error == 0;
    return run->open_error;
}

RunEntry run_enter(StoreRun *run, const pathinfo *probed)
{
    run->entry = enter(run, probed);
    return run->entry;
}

void run_leave(StoreRun *run)
{
    bool kept = (run->flags & kRunKept) != 0;
    // A kept run that never entered, or never had its turn, holds nothing:
    // the store and the lock it shares are another run's.
    if (kept && (run->entry == kRunNotEntered || (run->turn != nullptr && !run->turn_held)))
        return;
    if (kept && run->entry != kRunAnswered) {
        store_drop_records(run->store);
        // What was read without the lock answers no later run.
        if (run->store->read_only) {
            store_reset(run->store);
            run->store->read_only = false;
        }
    }
    run_lock_close(run->lock);
    if (run->turn_held) {
        give_turn(run->turn);
        run->turn_held = false;
    }
}

namespace {
/// Enters the run as the request needs, once the lock file is open.
void enter_as_needed(RunNeed need, StoreRun *run)
{
    switch (need) {
    case RunNeed::kNoLock:
        break;
    case RunNeed::kLockOnly:
        run->entry = run_lock_take(run->lock, run->timeout_ms) >= 0 ? kRunLocked : kRunTimedOut;
        break;
    case RunNeed::kOneLun:
        if (run->probed != nullptr)
            run_enter(run, run->probed);
        break;
    case RunNeed::kEveryLun:
        run_enter(run, nullptr);
        break;
    }
}
}  // namespace

int run_life(const RunSteps &steps, StoreRun *run, void *state)
{
    bool locks = steps.need != RunNeed::kNoLock;
    int open_error = locks && (run->flags & kRunKept) == 0 ? run_open(run) : 0;
    int result = 0;
    RunGo go = RunGo::kEnter;
    if (steps.before != nullptr)
        go = steps.before(run, state, open_error, &result);
    if (go == RunGo::kEnter) {
        if (open_error == 0)
            enter_as_needed(steps.need, run);
        else
            run->entry = kRunNoLock;
        result = steps.under != nullptr ? steps.under(run, state) : 0;
        if (steps.leaving != nullptr)
            steps.leaving(*run, state);
    }
    // The one place a run is left.
    if (locks)
        run_leave(run);
    return result;
}

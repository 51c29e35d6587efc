// libpriotald.so: the path priority as a prioritizer that multipath loads for
// "prio tald". One call of getprio gives what one run of mpath_prio_tald
// would print for the path /dev/<dev>, and leaves the preference file as
// that run would.
//
// A call probes the device first, outside any serialisation, so that calls
// for different paths run side by side. What the store then needs is
// serialised by one mutex, and the call's whole wait for the store (that
// mutex and the host-wide flock) is bounded by the call's timeout. Between
// calls the library keeps the preference file as it last read it (text and
// index); a call whose path and LUN are stored as they would be stored
// again answers from it after one lstat that shows the file unchanged
// (conf_peek), without the lock and without reading the file, as long as the
// state directory is still one that a run as root may use.
// Any other call goes the whole way: the lock file, the flock, a fresh load,
// the resolution and the save. Nothing else outlives a call: no descriptor,
// lock or LUN list; unloading the library frees the file it kept.
//
// The library runs inside multipathd, next to the host's I/O: thread
// cancellation is off for the call's duration, no signal is used, nothing
// goes to standard output or error. Syslog gets what an admin must act on:
// a path's failure (no answer, the lock not obtained in time or unusable,
// the preference file unreadable) when it begins and once when it ends,
// and with "-v" the traces of every call.

#include "operations/frontend.hpp"
#include "operations/operations.hpp"
#include "probe/sg_io.hpp"
#include "store/conf.hpp"
#include "trace/trace.hpp"

#include <pthread.h>
#include <syslog.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

/// The host's path record. Its first member, in every release, is
/// `char dev[256]`, the kernel name of the path; nothing else is read.
struct path;

// What the host's libmultipath exports tells how it calls getprio. Weak
// references: each is null in a host without it, and no dlsym (nor libdl on
// older C libraries) is needed to ask. None of them is ever called but
// libmp_get_version.
//
// The change that took getprio's third argument away (0.9.6) also renamed
// the function that computes it: a host with get_prio_timeout_ms passes two
// arguments, one with get_prio_timeout three, whatever release either says
// it is (a distribution may carry the change on an older release).
extern "C" unsigned int get_prio_timeout_ms(const struct path *pp) __attribute__((weak));
extern "C" unsigned int get_prio_timeout(unsigned int checker_timeout,
                                         unsigned int default_timeout) __attribute__((weak));
// int libmp_get_version(int which, unsigned int version[3]), from 0.8.6 on:
// 0 when it filled the three numbers of `which`.
extern "C" int libmp_get_version(int which, unsigned int version[3]) __attribute__((weak));

namespace {

constexpr unsigned kDefaultTimeoutMs = 5000;
constexpr std::size_t kHostDevSize = 256;
constexpr const char *kDevDirectory = "/dev/";
constexpr std::size_t kNodeSize = sizeof "/dev/" + kHostDevSize;
constexpr int kNoAnswer = -1;
constexpr int kReadOnlyAnswer = 1;
/// The first release of the host whose getprio has two arguments (0.9.6).
constexpr unsigned kTwoArgumentRelease = (0 << 16) | (9 << 8) | 6;
/// libmultipath's MULTIPATH_VERSION: libmp_get_version's selector of the
/// host's own release (the others name device-mapper versions).
constexpr int kMultipathVersion = 3;
constexpr std::size_t kArgsMemory = 256;
/// The trace level from which a call shows every step of the store.
constexpr int kStepsLevel = 7;

/// The gate of the store, the run lock and the file kept between calls:
/// taken by one call at a time, for as long as it uses them. A call waits
/// for it within its own bound, measured on CLOCK_MONOTONIC, since the wall
/// clock may be set back or forth while multipathd runs (at boot, when the
/// time service first steps it). Hence a flag under a mutex that is only
/// ever held for a moment, and a condition variable whose timed wait reads
/// CLOCK_MONOTONIC: the bound holds to the wake-up, a waiter wakes as soon
/// as the gate is free, and the C library needs nothing newer than
/// GLIBC_2.3.3 for it. Neither of the others would do: pthread_mutex_clocklock
/// needs GLIBC_2.30, which the C libraries of many a host with a 0.8 release
/// lack (2.28), and pthread_mutex_timedlock's deadline is on CLOCK_REALTIME,
/// so the wall clock set back by an hour would stretch the wait by an hour.
struct StoreGate {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t freed = PTHREAD_COND_INITIALIZER;  ///< set to CLOCK_MONOTONIC on load
    bool taken = false;
};
StoreGate store_gate;
/// What follows, and the paths' states.
pthread_mutex_t state_mutex = PTHREAD_MUTEX_INITIALIZER;

// Under state_mutex:
int timeout_trusted = -1;  // -1 not yet asked
char warned_args[kArgsMemory];
bool warned = false;

/// What a call found, as far as the admin must hear of it.
enum PathState {
    kHealthy,
    kNotIdentified,  ///< the probe failed: priority 0
    kLockTimedOut,
    kLockUnusable,
    kUnreadable,
};

/// The path's own call, for the gate and the report.
struct CallState {
    unsigned timeout_ms;
    timespec deadline;  ///< CLOCK_MONOTONIC: the end of the wait for the store
    PathState state;
    int lock_error;  ///< the errno of an unusable lock file
    bool lock_refused_before;  ///< the path's last call found the lock file unusable
};
thread_local CallState call = {};

/// The paths whose last call failed, with how. Under state_mutex.
struct Failing {
    char node[kNodeSize];
    PathState state;
};
Failing *failing = nullptr;
std::size_t failing_count = 0;
std::size_t failing_capacity = 0;
/// failing_count, readable without the mutex: a healthy call of a host whose
/// every path is healthy looks at nothing else.
std::atomic<std::size_t> any_failing{0};

/// Whether the host passes the third argument: by the function it exports
/// (above); a host with neither is judged by the release it reports, and
/// one that exports none of the three passes three.
bool third_argument_trusted()
{
    if (timeout_trusted < 0) {
        if (get_prio_timeout_ms != nullptr) {
            timeout_trusted = 0;
        } else if (get_prio_timeout != nullptr || libmp_get_version == nullptr) {
            timeout_trusted = 1;
        } else {
            unsigned int version[3] = {};
            bool known = libmp_get_version(kMultipathVersion, version) == 0;
            unsigned code = (version[0] << 16) | (version[1] << 8) | version[2];
            timeout_trusted = known && code < kTwoArgumentRelease ? 1 : 0;
        }
    }
    return timeout_trusted == 1;
}

/// The next blank-separated word at or after `text`; its length in *len (0 at
/// the end).
const char *next_word(const char *text, std::size_t *len)
{
    while (*text == ' ' || *text == '\t' || *text == '\n') {
        ++text;
    }
    std::size_t n = std::strcspn(text, " \t\n");
    *len = n;
    return text;
}

bool word_is(const char *word, std::size_t len, const char *expected)
{
    return len == std::strlen(expected) && std::strncmp(word, expected, len) == 0;
}

/// The trace verbosity that prio_args asks for: "-v 1", "-v 2", "-v 3" as
/// tald's -v (levels 4, 6, 7); without one, errors only (3), as tald without
/// -v. *unknown is set when a word was not understood.
int verbosity_from_args(const char *args, bool *unknown)
{
    static constexpr int kLevels[] = {4, 6, 7};
    static constexpr int kErrorsOnly = 3;
    int verbosity = kErrorsOnly;
    *unknown = false;
    std::size_t len = 0;
    for (const char *word = next_word(args, &len); len > 0; word = next_word(word + len, &len)) {
        if (word_is(word, len, "-v")) {
            std::size_t level_len = 0;
            const char *level = next_word(word + len, &level_len);
            if (level_len == 1 && *level >= '1' && *level <= '3') {
                verbosity = kLevels[*level - '1'];
                word = level;
                len = level_len;
                continue;
            }
        }
        *unknown = true;
    }
    return verbosity;
}

/// One warning for each new prio_args text that holds words not understood.
/// Under state_mutex.
void warn_args_once(const char *args)
{
    if (warned && std::strncmp(warned_args, args, sizeof warned_args - 1) == 0) {
        return;
    }
    syslog(LOG_DAEMON | LOG_WARNING, "priotald: prio_args \"%.200s\": only \"-v 1\" to \"-v 3\" "
                                     "are understood, the rest is ignored",
           args);
    std::snprintf(warned_args, sizeof warned_args, "%s", args);
    warned = true;
}

/// "/dev/<dev>" of the host's record into `node`; false when the name is no
/// plain kernel name (empty, unterminated, or holding a "/").
bool node_of(const struct path *pp, char *node, std::size_t size)
{
    const char *dev = reinterpret_cast<const char *>(pp);
    std::size_t len = strnlen(dev, kHostDevSize);
    if (len == 0 || len == kHostDevSize || std::memchr(dev, '/', len) != nullptr) {
        return false;
    }
    std::size_t prefix = std::strlen(kDevDirectory);
    if (prefix + len >= size) {
        return false;
    }
    std::memcpy(node, kDevDirectory, prefix);
    std::memcpy(node + prefix, dev, len);
    node[prefix + len] = '\0';
    return true;
}

long ms_until(const timespec &deadline)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ms = (deadline.tv_sec - now.tv_sec) * 1000L + (deadline.tv_nsec - now.tv_nsec) / 1000000L;
    return std::max(ms, 0L);
}

/// The store's gate of a call that goes the whole way: the lock file, the
/// flock within what is left of the call's bound, the preference file
/// loaded. Negative with call.state set when the call cannot go on.
int enter_store()
{
    // Why the lock file is refused was logged when the path's failure began;
    // below the level that traces every call, not again on each call.
    int verbosity = log_level();
    if (call.lock_refused_before && verbosity < kStepsLevel)
        log_thread_use(0);
    int err = run_lock_open();
    log_thread_use(verbosity);
    if (err != 0) {
        call.state = kLockUnusable;
        call.lock_error = err;
        return -1;
    }
    int left = static_cast<int>(std::min<long>(ms_until(call.deadline), INT_MAX));
    if (run_enter_store(left) < 0) {
        call.state = kLockTimedOut;
        return -1;
    }
    if (conf_unreadable()) {
        call.state = kUnreadable;
    }
    return 0;
}

/// Takes the store's gate within the call's bound.
bool lock_store()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long ns = now.tv_nsec + static_cast<long>(call.timeout_ms % 1000) * 1000000L;
    call.deadline = {now.tv_sec + static_cast<time_t>(call.timeout_ms / 1000) + ns / 1000000000L,
                     ns % 1000000000L};
    pthread_mutex_lock(&store_gate.mutex);
    int rc = 0;
    while (store_gate.taken && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&store_gate.freed, &store_gate.mutex, &call.deadline);
    }
    bool got = !store_gate.taken;
    if (got)
        store_gate.taken = true;
    pthread_mutex_unlock(&store_gate.mutex);
    return got;
}

void unlock_store()
{
    pthread_mutex_lock(&store_gate.mutex);
    store_gate.taken = false;
    pthread_cond_signal(&store_gate.freed);
    pthread_mutex_unlock(&store_gate.mutex);
}

/// The state the path's last call left.
PathState last_state(const char *node)
{
    if (any_failing.load(std::memory_order_relaxed) == 0)
        return kHealthy;
    PathState state = kHealthy;
    pthread_mutex_lock(&state_mutex);
    for (std::size_t i = 0; i < failing_count; ++i) {
        if (std::strcmp(failing[i].node, node) == 0)
            state = failing[i].state;
    }
    pthread_mutex_unlock(&state_mutex);
    return state;
}

/// The priority of the probed path from the store. `rec` is consumed.
int resolve(const char *node, pathinfo *rec, int rc)
{
    if (rc < 0 || rec == nullptr) {
        call.state = kNotIdentified;
        return getPrioResolve(node, rec, rc, nullptr);
    }
    if (!lock_store()) {
        std::free(rec);
        call.state = kLockTimedOut;
        return kNoAnswer;
    }
    // The kept file stands for the state only while the state could be used.
    int prio = log_level() < kStepsLevel && run_state_trusted() ? conf_peek(rec) : 0;
    if (prio > 0) {
        std::free(rec);
    } else {
        call.lock_refused_before = last_state(node) == kLockUnusable;
        prio = getPrioResolve(node, rec, rc, enter_store);
        conf_drop_records();
        run_lock_close();
    }
    unlock_store();
    if (prio != kNoStore) {
        return prio;
    }
    // A read-only file system: the callout's answer for every path.
    return call.state == kLockUnusable && call.lock_error == EROFS ? kReadOnlyAnswer : kNoAnswer;
}

/// The begin of a path's failure, as syslog gets it.
void report_failure(const char *node)
{
    switch (call.state) {
    case kNotIdentified:
        syslog(LOG_DAEMON | LOG_WARNING,
               "priotald: %s: not identified as a path of the array; priority 0", node);
        break;
    case kLockTimedOut:
        syslog(LOG_DAEMON | LOG_WARNING,
               "priotald: %s: lock file %s still held by another run after %u ms", node,
               kLockPath, call.timeout_ms);
        break;
    case kLockUnusable:
        errno = call.lock_error;
        syslog(LOG_DAEMON | LOG_WARNING, "priotald: %s: lock file %s cannot be used: %m", node,
               kLockPath);
        break;
    case kUnreadable:
        syslog(LOG_DAEMON | LOG_WARNING,
               "priotald: %s: preference file %s cannot be read; nothing is stored", node,
               kConfigPath);
        break;
    case kHealthy:
        break;
    }
}

/// Logs the path's state when it differs from its last call's.
void report(const char *node, int result)
{
    // A read-only file system is no failure of the path.
    if (call.state == kLockUnusable && call.lock_error == EROFS) {
        call.state = kHealthy;
    }
    if (call.state == kHealthy && any_failing.load(std::memory_order_relaxed) == 0) {
        return;
    }
    pthread_mutex_lock(&state_mutex);
    std::size_t i = 0;
    while (i < failing_count && std::strcmp(failing[i].node, node) != 0) {
        ++i;
    }
    PathState was = i < failing_count ? failing[i].state : kHealthy;
    if (call.state == was) {
        pthread_mutex_unlock(&state_mutex);
        return;
    }
    if (call.state == kHealthy) {
        syslog(LOG_DAEMON | LOG_NOTICE, "priotald: %s: answered again, priority %d", node,
               result);
        failing[i] = failing[--failing_count];
    } else {
        report_failure(node);
        if (i == failing_count && failing_count == failing_capacity) {
            std::size_t grown = failing_capacity == 0 ? 16 : failing_capacity * 2;
            auto *bigger = static_cast<Failing *>(std::realloc(failing, grown * sizeof *failing));
            if (bigger != nullptr) {
                failing = bigger;
                failing_capacity = grown;
            }
        }
        // Without memory the failure is reported again next time.
        if (i < failing_capacity) {
            if (i == failing_count) {
                std::snprintf(failing[i].node, sizeof failing[i].node, "%s", node);
                ++failing_count;
            }
            failing[i].state = call.state;
        }
    }
    any_failing.store(failing_count, std::memory_order_relaxed);
    pthread_mutex_unlock(&state_mutex);
}

int one_call(const struct path *pp, int verbosity)
{
    log_use_syslog(true);
    log_thread_use(verbosity);
    sg_io_set_command_timeout(call.timeout_ms);

    int result = 0;
    char node[kNodeSize];
    if (pp == nullptr || !node_of(pp, node, sizeof node)) {
        syslog(LOG_DAEMON | LOG_WARNING, "priotald: path without a usable device name");
    } else {
        call.state = kHealthy;
        pathinfo *rec = nullptr;
        int rc = getPrioProbe(node, &rec);
        result = resolve(node, rec, rc);
        report(node, result);
    }

    sg_io_set_command_timeout(0);
    log_thread_use(-1);
    log_use_syslog(false);
    return result;
}

/// The gate's timed wait on CLOCK_MONOTONIC, before the host's first call.
/// Were that refused, the deadlines would lie in the past of the wall clock:
/// a call that finds the gate taken would give up at once, never wait longer.
__attribute__((constructor)) void load()
{
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0)
        return;
    if (pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0)
        pthread_cond_init(&store_gate.freed, &attr);
    pthread_condattr_destroy(&attr);
}

/// Everything the library keeps, given back when the host unloads it.
__attribute__((destructor)) void unload()
{
    pthread_cond_destroy(&store_gate.freed);
    conf_reset();
    run_lock_close();
    std::free(failing);
    failing = nullptr;
    failing_count = failing_capacity = 0;
}

}  // namespace

/// The host's entry: the priority of the path (what mpath_prio_tald prints,
/// 0 included), or -1 when there is no answer at all. `timeout_ms` is read
/// only from a host that passes it (third_argument_trusted); 0, or a host
/// that passes two arguments, means 5000 ms.
extern "C" __attribute__((visibility("default"))) int getprio(struct path *pp, char *args,
                                                              unsigned int timeout_ms)
{
    int cancel_state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    pthread_mutex_lock(&state_mutex);
    call.timeout_ms =
        third_argument_trusted() && timeout_ms != 0 ? timeout_ms : kDefaultTimeoutMs;
    bool unknown = false;
    int verbosity = verbosity_from_args(args != nullptr ? args : "", &unknown);
    if (unknown) {
        warn_args_once(args);
    }
    pthread_mutex_unlock(&state_mutex);
    int result = one_call(pp, verbosity);
    pthread_setcancelstate(cancel_state, nullptr);
    return result;
}

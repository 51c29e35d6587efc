#include "plugin/path_states.hpp"

#include "base/text.hpp"
#include "plugin/host_abi.hpp"
#include "store/state_paths.hpp"

#include <pthread.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

pthread_mutex_t state_mutex = PTHREAD_MUTEX_INITIALIZER;

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

/// The entry of `node` in failing[], or failing_count. Under state_mutex.
std::size_t failing_entry(const char *node)
{
    std::size_t i = 0;
    while (i < failing_count && std::strcmp(failing[i].node, node) != 0)
        ++i;
    return i;
}

}  // namespace

/// The state the path's last call left.
PathState last_state(const char *node)
{
    if (any_failing.load(std::memory_order_relaxed) == 0)
        return kHealthy;
    pthread_mutex_lock(&state_mutex);
    std::size_t i = failing_entry(node);
    PathState state = i < failing_count ? failing[i].state : kHealthy;
    pthread_mutex_unlock(&state_mutex);
    return state;
}

namespace {

/// The begin of a path's failure, as syslog gets it.
void report_failure(const char *node, const CallOutcome &call)
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

}  // namespace

void report(const char *node, const CallOutcome &outcome, int result)
{
    CallOutcome call = outcome;
    // A read-only file system is no failure of the path.
    if (call.state == kLockUnusable && call.lock_error == EROFS) {
        call.state = kHealthy;
    }
    if (call.state == kHealthy && any_failing.load(std::memory_order_relaxed) == 0) {
        return;
    }
    pthread_mutex_lock(&state_mutex);
    std::size_t i = failing_entry(node);
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
        report_failure(node, call);
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
                copy_field(failing[i].node, sizeof failing[i].node, node);
                ++failing_count;
            }
            failing[i].state = call.state;
        }
    }
    any_failing.store(failing_count, std::memory_order_relaxed);
    pthread_mutex_unlock(&state_mutex);
}

void path_states_forget()
{
    std::free(failing);
    failing = nullptr;
    failing_count = failing_capacity = 0;
    any_failing.store(0, std::memory_order_relaxed);
}

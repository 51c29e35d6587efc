#include "plugin/path_states.hpp"

#include "base/grow_array.hpp"
#include "base/text.hpp"
#include "journal/journal_path.hpp"
#include "journal/journal_send.hpp"
#include "plugin/host_abi.hpp"
#include "state/state_paths.hpp"

#include <pthread.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
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
GrowArray<Failing> failing;
/// failing.size(), readable without the mutex: a healthy call of a host whose
/// every path is healthy looks at nothing else.
std::atomic<std::size_t> any_failing{0};

/// The entry of `node` in failing[], or failing.size(). Under state_mutex.
std::size_t failing_entry(const char *node)
{
    std::size_t i = 0;
    while (i < failing.size() && std::strcmp(failing[i].node, node) != 0)
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
    PathState state = i < failing.size() ? failing[i].state : kHealthy;
    pthread_mutex_unlock(&state_mutex);
    return state;
}

namespace {

/// A line about the path `node`: to the journal with its fields, or syslog.
void path_line(int priority, const char *node, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void path_line(int priority, const char *node, const char *format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    journal_plugin_line(kJournalPathWarning, priority, node, nullptr, message, kJournalSocket);
}

/// The begin of a path's failure, as syslog gets it.
void report_failure(const char *node, const CallOutcome &call)
{
    switch (call.state) {
    case kNotIdentified:
        path_line(LOG_WARNING, node,
                  "priotald: %s: not identified as a path of the array; priority 0", node);
        break;
    case kLockTimedOut:
        path_line(LOG_WARNING, node,
                  "priotald: %s: lock file %s still held by another run after %u ms", node,
                  kLockPath, call.timeout_ms);
        break;
    case kLockUnusable:
        path_line(LOG_WARNING, node, "priotald: %s: lock file %s cannot be used: %s", node,
                  kLockPath, std::strerror(call.lock_error));
        break;
    case kUnreadable:
        path_line(LOG_WARNING, node,
                  "priotald: %s: preference file %s cannot be read; nothing is stored", node,
                  kConfigPath);
        break;
    case kHealthy:
        break;
    }
}

}  // namespace

void report(const char *node, const CallOutcome &call, int result)
{
    if (call.state == kHealthy && any_failing.load(std::memory_order_relaxed) == 0) {
        return;
    }
    pthread_mutex_lock(&state_mutex);
    std::size_t i = failing_entry(node);
    PathState was = i < failing.size() ? failing[i].state : kHealthy;
    if (call.state == was) {
        pthread_mutex_unlock(&state_mutex);
        return;
    }
    if (call.state == kHealthy) {
        path_line(LOG_NOTICE, node, "priotald: %s: answered again, priority %d", node, result);
        failing[i] = failing[--failing.count];
    } else {
        report_failure(node, call);
        if (i < failing.size()) {
            failing[i].state = call.state;
        } else {
            Failing added = {};
            copy_field(added.node, sizeof added.node, node);
            added.state = call.state;
            // Without memory the failure is reported again next time.
            failing.append(added);
        }
    }
    any_failing.store(failing.size(), std::memory_order_relaxed);
    pthread_mutex_unlock(&state_mutex);
}

namespace {

constexpr const char *kFmtReadOnlyRead =
    "priotald: cannot write its state in %s (%s): answers the overrides of %s and the "
    "default priorities, stores nothing";
constexpr const char *kFmtReadOnlyAbsent =
    "priotald: cannot write its state in %s (%s): no preference file %s, answers the "
    "default priorities, stores nothing";
constexpr const char *kFmtReadOnlyUnreadable =
    "priotald: cannot write its state in %s (%s): preference file %s cannot be read (%s), "
    "answers the default priorities, stores nothing";
constexpr const char *kFmtReadOnlyDamaged =
    "priotald: cannot write its state in %s (%s): preference file %s is damaged, lines "
    "skipped or incomplete; answers the overrides it could read and the default "
    "priorities, stores nothing";
constexpr const char *kFmtReadOnlyNotTrusted =
    "priotald: cannot write its state in %s (%s): the directory is not root's alone and "
    "is not read; answers the default priorities, stores nothing";
constexpr const char *kFmtStateAgain = "priotald: writes its state in %s again";

/// The read-only condition last logged. Under state_mutex.
struct ReadOnlyCondition {
    int lock_error;
    FileVerdict file;
    char why[sizeof CallOutcome{}.why];
};
ReadOnlyCondition logged_condition;
/// Whether a read-only condition was logged and has not ended.
std::atomic<bool> read_only_logged{false};

bool same_condition(const ReadOnlyCondition &a, const CallOutcome &b)
{
    return a.lock_error == b.lock_error && a.file == b.file && std::strcmp(a.why, b.why) == 0;
}

/// A line about the state: to the journal with its fields, or syslog.
void state_line(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
void state_line(int priority, const char *format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    journal_plugin_line(kJournalStateWarning, priority, nullptr, kStateDir, message,
                        kJournalSocket);
}

void log_read_only(const CallOutcome &call)
{
    constexpr int kPriority = LOG_WARNING;
    const char *err = std::strerror(call.lock_error);
    switch (call.file) {
    case kFileRead:
        state_line(kPriority, kFmtReadOnlyRead, kStateDir, err, kConfigPath);
        break;
    case kFileAbsent:
        state_line(kPriority, kFmtReadOnlyAbsent, kStateDir, err, kConfigPath);
        break;
    case kFileUnreadable:
        state_line(kPriority, kFmtReadOnlyUnreadable, kStateDir, err, kConfigPath, call.why);
        break;
    case kFileDamaged:
        state_line(kPriority, kFmtReadOnlyDamaged, kStateDir, err, kConfigPath);
        break;
    case kFileNotTrusted:
        state_line(kPriority, kFmtReadOnlyNotTrusted, kStateDir, err);
        break;
    }
}

}  // namespace

void report_state(const CallOutcome &outcome)
{
    if (outcome.use == kStateNotSeen ||
        (outcome.use == kStateUsed && !read_only_logged.load(std::memory_order_relaxed)))
        return;
    pthread_mutex_lock(&state_mutex);
    bool logged = read_only_logged.load(std::memory_order_relaxed);
    if (outcome.use == kStateUsed) {
        if (logged)
            state_line(LOG_NOTICE, kFmtStateAgain, kStateDir);
        read_only_logged.store(false, std::memory_order_relaxed);
    } else if (!logged || !same_condition(logged_condition, outcome)) {
        log_read_only(outcome);
        logged_condition.lock_error = outcome.lock_error;
        logged_condition.file = outcome.file;
        copy_field(logged_condition.why, sizeof logged_condition.why, outcome.why);
        read_only_logged.store(true, std::memory_order_relaxed);
    }
    pthread_mutex_unlock(&state_mutex);
}

void path_states_forget()
{
    read_only_logged.store(false, std::memory_order_relaxed);
    failing.free();
    any_failing.store(0, std::memory_order_relaxed);
}

// libpriotald.so: the path priority as a prioritizer that multipath loads for
// "prio tald". One call of getprio is one run of mpath_prio_tald for the path
// /dev/<dev>: the lock file opened, the device probed, the run lock taken
// (waited for at most the call's bound), the preference file loaded, the
// priority resolved and stored, and everything given back before returning.
//
// The library runs inside multipathd, next to the host's I/O: a mutex keeps
// the library's global state (LUN list, probe buffers, trace settings) to
// one call at a time, thread cancellation is off for the call's duration, no
// signal is used, nothing goes to standard output or error, and no state,
// lock, memory or descriptor outlives the call. Problems go to syslog.

#include "operations/frontend.hpp"
#include "operations/operations.hpp"
#include "probe/sg_io.hpp"
#include "store/conf.hpp"
#include "trace/trace.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

/// The host's path record. Its first member, in every release, is
/// `char dev[256]`, the kernel name of the path; nothing else is read.
struct path;

namespace {

constexpr unsigned kDefaultTimeoutMs = 5000;
constexpr std::size_t kHostDevSize = 256;
constexpr const char *kDevDirectory = "/dev/";
constexpr int kNoAnswer = -1;
constexpr int kReadOnlyAnswer = 1;
/// The first release of the host whose getprio has two arguments (0.9.6).
constexpr unsigned kTwoArgumentRelease = (0 << 16) | (9 << 8) | 6;
/// libmultipath's MULTIPATH_VERSION: libmp_get_version's selector of the
/// host's own release (the others name device-mapper versions).
constexpr int kMultipathVersion = 3;
constexpr std::size_t kArgsMemory = 256;

pthread_mutex_t call_mutex = PTHREAD_MUTEX_INITIALIZER;

// Under call_mutex:
int timeout_trusted = -1;  // -1 not yet asked
unsigned call_timeout_ms = kDefaultTimeoutMs;
char warned_args[kArgsMemory];
bool warned = false;

// libmultipath's int libmp_get_version(int which, unsigned int version[3]),
// from 0.8.6 on: 0 when it filled the three numbers of `which`. A weak
// reference: null in a host without it, and no dlsym (nor libdl on older C
// libraries) needed to ask.
extern "C" int libmp_get_version(int which, unsigned int version[3]) __attribute__((weak));

/// Whether the host passes the third argument. Every host without
/// libmp_get_version (up to 0.8.5) passes three; of those that have it, only
/// one that says it is older than 0.9.6 does.
bool third_argument_trusted()
{
    if (timeout_trusted < 0) {
        if (libmp_get_version == nullptr) {
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
    int n = std::snprintf(node, size, "%s%.*s", kDevDirectory, static_cast<int>(len), dev);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

/// The run lock, waited for by polling within the call's bound, and the
/// preference file loaded into a fresh LUN list.
int enter_store()
{
    int bound = static_cast<int>(std::min<unsigned>(call_timeout_ms, INT_MAX));
    return run_enter_store(bound, LockWait::poll);
}

/// What mpath_prio_tald would print for `node`, or kNoAnswer.
int resolve(const char *node)
{
    int err = run_lock_open();
    if (err == EROFS) {
        return kReadOnlyAnswer;
    }
    if (err != 0) {
        errno = err;
        syslog(LOG_DAEMON | LOG_WARNING, "priotald: %s: lock file %s cannot be used: %m", node,
               kLockPath);
        return kNoAnswer;
    }
    int prio = getPrio(node, enter_store);
    if (prio == kNoStore) {
        syslog(LOG_DAEMON | LOG_WARNING,
               "priotald: %s: lock file %s still held by another run after %u ms", node,
               kLockPath, call_timeout_ms);
        return kNoAnswer;
    }
    return prio;
}

int one_call(const struct path *pp, const char *args, unsigned timeout_ms)
{
    call_timeout_ms = timeout_ms;
    bool unknown = false;
    int verbosity = verbosity_from_args(args != nullptr ? args : "", &unknown);
    if (unknown) {
        warn_args_once(args);
    }
    log_use_syslog(true);
    log_verbosity = verbosity;
    sg_io_set_command_timeout(timeout_ms);

    int result = 0;
    char node[sizeof "/dev/" + kHostDevSize];
    if (pp == nullptr || !node_of(pp, node, sizeof node)) {
        syslog(LOG_DAEMON | LOG_WARNING, "priotald: path without a usable device name");
    } else {
        result = resolve(node);
    }

    conf_reset();
    run_lock_close();
    sg_io_set_command_timeout(0);
    log_verbosity = 0;
    log_use_syslog(false);
    return result;
}

}  // namespace

/// The host's entry: the priority of the path (what mpath_prio_tald prints,
/// 0 included), or -1 when there is no answer at all. `timeout_ms` is read
/// only from a host older than 0.9.6, which passes it; 0 or an untrusted
/// value means 5000 ms.
extern "C" __attribute__((visibility("default"))) int getprio(struct path *pp, char *args,
                                                              unsigned int timeout_ms)
{
    int cancel_state = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
    pthread_mutex_lock(&call_mutex);
    unsigned bound = third_argument_trusted() && timeout_ms != 0 ? timeout_ms : kDefaultTimeoutMs;
    int result = one_call(pp, args, bound);
    pthread_mutex_unlock(&call_mutex);
    pthread_setcancelstate(cancel_state, nullptr);
    return result;
}

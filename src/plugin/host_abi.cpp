#include "plugin/host_abi.hpp"

#include "base/text.hpp"

#include <pthread.h>
#include <syslog.h>

#include <cstdio>
#include <cstring>

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

constexpr const char *kDevDirectory = "/dev/";
constexpr std::size_t kHostDevSize = 256;
/// The first release of the host whose getprio has two arguments (0.9.6).
constexpr unsigned kTwoArgumentRelease = (0 << 16) | (9 << 8) | 6;
/// libmultipath's MULTIPATH_VERSION: libmp_get_version's selector of the
/// host's own release (the others name device-mapper versions).
constexpr int kMultipathVersion = 3;
constexpr std::size_t kArgsMemory = 256;

/// What follows.
pthread_mutex_t host_mutex = PTHREAD_MUTEX_INITIALIZER;
int timeout_trusted = -1;  // -1 not yet asked
char warned_args[kArgsMemory];
bool warned = false;

/// Whether the host passes the third argument: by the function it exports
/// (above); a host with neither is judged by the release it reports, and
/// one that exports none of the three passes three. Under host_mutex.
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

/// One warning for each new prio_args text that holds words not understood.
/// Under host_mutex.
void warn_args_once(const char *args)
{
    if (warned && std::strncmp(warned_args, args, sizeof warned_args - 1) == 0) {
        return;
    }
    syslog(LOG_DAEMON | LOG_WARNING, "priotald: prio_args \"%.200s\": only \"-v 1\" to \"-v 3\" "
                                     "are understood, the rest is ignored",
           args);
    copy_field(warned_args, sizeof warned_args, args);
    warned = true;
}

/// The verbosity of prio_args; *unknown when a word was not understood.
int verbosity_of(const char *args, bool *unknown)
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

}  // namespace

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

unsigned call_timeout(unsigned timeout_ms)
{
    pthread_mutex_lock(&host_mutex);
    bool trusted = third_argument_trusted();
    pthread_mutex_unlock(&host_mutex);
    return trusted && timeout_ms != 0 ? timeout_ms : kDefaultTimeoutMs;
}

int verbosity_from_args(const char *args)
{
    bool unknown = false;
    int verbosity = verbosity_of(args, &unknown);
    if (unknown) {
        pthread_mutex_lock(&host_mutex);
        warn_args_once(args);
        pthread_mutex_unlock(&host_mutex);
    }
    return verbosity;
}

void host_abi_forget()
{
    timeout_trusted = -1;
    warned = false;
}

#include "operations/frontend.hpp"

#include "store/conf.hpp"
#include "trace/trace.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {
constexpr const char *kModule = "clihandler";
constexpr int kLineLockWarn = 352;
constexpr int kLineLockTimedOut = 362;
constexpr int kLineLoadWarn = 373;
constexpr mode_t kLockMode = 0640;
constexpr const char *kLockError = "Error:  Unable to obtain lock.";
constexpr const char *kUsageLine1 = "No Usage";
constexpr const char *kUsageLine2 = "Try 'tald --help' for more information.";

// After the bound, the timer fires again at this interval, in case its first
// signal came before the flock call had started to wait.
constexpr int kTimerRepeatMs = 20;
constexpr long kPollFirstSleepNs = 1000000L;
constexpr long kPollLongestSleepNs = 10000000L;

int lock_fd = -1;
volatile sig_atomic_t wait_expired = 0;

void on_alarm(int) { wait_expired = 1; }

timeval ms_to_timeval(int ms) { return {ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000}; }

/// The blocking flock, interrupted by SIGALRM once `timeout_ms` has passed.
int take_with_timer(int timeout_ms)
{
    struct sigaction action = {};
    struct sigaction saved = {};
    action.sa_handler = on_alarm;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the signal must end the flock
    sigaction(SIGALRM, &action, &saved);
    wait_expired = 0;
    itimerval timer = {ms_to_timeval(kTimerRepeatMs), ms_to_timeval(std::max(timeout_ms, 1))};
    itimerval saved_timer = {};
    setitimer(ITIMER_REAL, &timer, &saved_timer);

    int result = 0;
    while (flock(lock_fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            break;
        if (wait_expired) {
            result = -1;
            break;
        }
    }
    // Any signal of the timer is delivered before setitimer returns, so the
    // old disposition never sees one.
    itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    return result;
}

long elapsed_ns(const timespec &since)
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000000000L + (now.tv_nsec - since.tv_nsec);
}

/// Non-blocking attempts until `timeout_ms` has passed, sleeping 1 ms, then
/// twice as long each time up to 10 ms, between them.
int take_by_polling(int timeout_ms)
{
    timespec start = {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    long limit = static_cast<long>(timeout_ms) * 1000000L;
    long pause = kPollFirstSleepNs;
    for (;;) {
        if (flock(lock_fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return 0;
        long left = limit - elapsed_ns(start);
        if (left <= 0)
            return -1;
        timespec nap = {0, std::min(pause, left)};
        nanosleep(&nap, nullptr);
        pause = std::min(pause * 2, kPollLongestSleepNs);
    }
}
}  // namespace

int run_lock_open()
{
    run_lock_close();
    // A FIFO or a device node in its place must not block the open, and a
    // link must not truncate whatever it points to.
    int fd = open(kLockPath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  kLockMode);
    int err = fd < 0 ? errno : 0;
    struct stat st = {};
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
        err = EINVAL;
    }
    if (fd < 0) {
        log_trace(kModule, "main", kLineLockWarn, 4, "WARN[%d]: problem obtaining lock file", fd);
        return err;
    }
    lock_fd = fd;
    return 0;
}

int run_lock_take(int timeout_ms, LockWait how)
{
    if (lock_fd < 0)
        return -1;
    int rc = how == LockWait::timer ? take_with_timer(timeout_ms) : take_by_polling(timeout_ms);
    if (rc < 0) {
        log_trace(kModule, "main", kLineLockTimedOut, 4,
                  "WARN: lock file still held by another run after %d ms", timeout_ms);
    }
    return rc;
}

void run_lock_close()
{
    if (lock_fd >= 0) {
        flock(lock_fd, LOCK_UN);
        close(lock_fd);
        lock_fd = -1;
    }
}

int run_enter_store(int timeout_ms, LockWait how, bool quiet)
{
    if (run_lock_take(timeout_ms, how) < 0)
        return -1;
    conf_reset();
    int verbosity = log_verbosity;
    if (quiet)
        log_verbosity = 0;
    int rc = load_config(kConfigPath);
    if (rc < 0) {
        log_trace(kModule, "main", kLineLoadWarn, 4, "WARN[%d]: problem loading configuration file",
                  rc);
    }
    log_verbosity = verbosity;
    return 0;
}

void cli_write_line(const char *text)
{
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
}

void cli_lock_error() { cli_write_line(kLockError); }

int cli_usage()
{
    cli_write_line(kUsageLine1);
    cli_write_line(kUsageLine2);
    return 1;
}

int cli_finish(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return -1;
    }
    return status;
}

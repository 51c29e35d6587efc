#include "operations/frontend.hpp"

#include "store/conf.hpp"
#include "trace/trace.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {
constexpr const char *kModule = "clihandler";
constexpr int kLineLockWarn = 352;
constexpr int kLineLoadWarn = 373;
constexpr mode_t kLockMode = 0640;
constexpr const char *kLockError = "Error:  Unable to obtain lock.";
constexpr const char *kUsageLine1 = "No Usage";
constexpr const char *kUsageLine2 = "Try 'tald --help' for more information.";
}  // namespace

RunLock::~RunLock()
{
    if (fd >= 0) {
        flock(fd, LOCK_UN);
        close(fd);
    }
}

int run_lock_and_load(RunLock &lock)
{
    lock.fd = open(kLockPath, O_WRONLY | O_CREAT | O_TRUNC, kLockMode);
    if (lock.fd < 0) {
        int err = errno;
        log_trace(kModule, "main", kLineLockWarn, 4, "WARN[%d]: problem obtaining lock file",
                  lock.fd);
        return err;
    }
    // The result is not looked at, but a signal must not let the run go on
    // without the lock.
    while (flock(lock.fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    int rc = load_config(kConfigPath);
    if (rc < 0) {
        log_trace(kModule, "main", kLineLoadWarn, 4, "WARN[%d]: problem loading configuration file",
                  rc);
    }
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

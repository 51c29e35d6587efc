#include "cli/cli.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
constexpr const char *kLockError = "Error:  Unable to obtain lock.";
constexpr const char *kUsageLine1 = "No Usage";
constexpr const char *kUsageLine2 = "Try 'tald --help' for more information.";
/// The reason a lost answer gives, as tald says of the files it writes.
constexpr const char *kFmtOutputLost = "standard output: cannot be written: %s\n";
}  // namespace

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

int cli_finish_told(int status)
{
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return status;
    // A write that failed before the last one leaves no reason behind.
    std::fprintf(stderr, kFmtOutputLost, std::strerror(errno != 0 ? errno : EIO));
    return -1;
}

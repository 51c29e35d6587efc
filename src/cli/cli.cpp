#include "cli/cli.hpp"

#include <cstdio>

namespace {
constexpr const char *kLockError = "Error:  Unable to obtain lock.";
constexpr const char *kUsageLine1 = "No Usage";
constexpr const char *kUsageLine2 = "Try 'tald --help' for more information.";
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

// tald: the administrator's command. One run performs one operation on the
// host's path preferences under the same exclusive flock that the priority
// callout takes, after loading the preference file.

#include "operations/operations.hpp"
#include "store/conf.hpp"
#include "trace/trace.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char *kModule = "clihandler";
constexpr int kLinePrioEntry = 157;
constexpr int kLineHelpEntry = 187;
constexpr int kLineHandlerEntry = 234;
constexpr int kLineLockWarn = 352;
constexpr int kLineLoadWarn = 373;

constexpr mode_t kLockMode = 0640;
constexpr const char *kVersion = "tald-dm 0.3.2";

constexpr const char *kLockError = "Error:  Unable to obtain lock.";
constexpr const char *kNeedLevel = "Must Enter A Verbosity Level ";
constexpr const char *kNeedAliasArgs = "Must Enter an operation and a path ";
constexpr const char *kNeedPrioArgs = "Must Enter an operation and a path and or a preference ";
constexpr const char *kNeedSetArgs = "Must Enter an operation a path and a preference ";
constexpr const char *kNeedPrioPath = "Must enter an operation and a path ";
constexpr const char *kMissingArgument = "Missing argument ";
constexpr const char *kFlushError = "Error Flushing Configuration";
constexpr const char *kNoConfig = "No Config";
constexpr const char *kUsageLine1 = "No Usage";
constexpr const char *kUsageLine2 = "Try 'tald --help' for more information.";
constexpr const char *kLevelFormat = " Verbosity Level Set:%d \n";
constexpr const char *kVersionFormat = "Version: %s\n";

constexpr std::array<const char *, 15> kHelpText = {
    "\n Usage: tald -[OPTION] [LEVEL] -[OPTION] ",
    "\n Usage: tald --[OPTION] --[CONDITION] [PATH] ",
    "\n Usage: tald --[OPTION] --[CONDITION] [PATH] [PREFERENCE] \n",
    " Allows user to Get Quelvane Path Manager information and Set path preferences \n",
    "    -v level -option   Control output verbosity level where level is 0-3 and option is "
    "-F/-l/-V  ",
    "                 example:  tald -v 3 -F  \n",
    "    -F                 Flush current path preferences and allow Quelvane Path Manager to "
    "determine path preferences \n",
    "    -l                 Show current multipath configuration \n",
    "    -V                 Display current version of Quelvane Path Manager \n",
    "    --alias --get path  Get alias for Logical Drive  ",
    "                 example:  tald --alias --get /dev/sdb \n",
    "    --prio --get path   Get path preference ",
    "                 example:  tald --prio --get /dev/sdb \n",
    "    --prio --set path preference   Set path preference ",
    "                 example:  tald --prio --set /dev/sdb 8 \n ",
};

/// cli_prio's result for a "--set" whose override was not applied and saved.
/// The scan ends with -1 at once: the lines setPrio wrote explain the failure,
/// and the usage hint would not.
constexpr int kSetFailed = -2;

/// The lock file, opened for the run and holding the exclusive flock until
/// the run ends: the destructor unlocks and closes on every return path.
struct RunLock {
    int fd = -1;
    RunLock() = default;
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;
    ~RunLock()
    {
        if (fd >= 0) {
            flock(fd, LOCK_UN);
            close(fd);
        }
    }
};

void write_line(const char *text)
{
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
}

bool is(const char *arg, const char *word) { return std::strcmp(arg, word) == 0; }

/// The "-v" level as strtol reads it (blanks, sign, digits up to the first
/// other character, 0 without digits), saturated to int.
int parse_level(const char *text)
{
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) {
        return INT_MAX;
    }
    if (value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(value);
}

int verbosity_for_level(int level)
{
    switch (level) {
    case 1:
        return 4;
    case 2:
        return 6;
    case 3:
        return 7;
    default:
        return 3;
    }
}

/// An administrator's script reads the results: a lost line must not end in
/// a success status.
int finish_output(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        return -1;
    }
    return status;
}
}  // namespace

int cli_usage()
{
    write_line(kUsageLine1);
    write_line(kUsageLine2);
    return 1;
}

int cli_help()
{
    log_trace(kModule, "cli_help", kLineHelpEntry, 7, "ENTRY");
    for (const char *text : kHelpText) {
        write_line(text);
    }
    return 0;
}

/// "--get": prints the path's priority, 0. "--set": 0 when the preference
/// was applied and saved, kSetFailed otherwise. Any other operation: -1.
int cli_prio(const char *operation, const char *path, const char *preference)
{
    log_trace(kModule, "cli_prio", kLinePrioEntry, 7, "ENTRY");
    if (is(operation, "--get")) {
        std::printf("%d\n", getPrio(path));
        return 0;
    }
    if (is(operation, "--set")) {
        return setPrio(path, preference) < 0 ? kSetFailed : 0;
    }
    write_line(kMissingArgument);
    return -1;
}

int cli_handler(int argc, char **argv)
{
    log_trace(kModule, "cli_handler", kLineHandlerEntry, 7, "ENTRY: %s", argc > 1 ? argv[1] : "");
    log_verbosity = 3;
    if (argc < 2) {
        return cli_usage();
    }

    int result = -1;
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        int following = argc - i - 1;
        if (is(arg, "-v")) {
            if (following < 1) {
                write_line(kNeedLevel);
                return 0;
            }
            // The level stays in the scan: an option word given as the level
            // is carried out after the level it converts to.
            int level = parse_level(argv[i + 1]);
            log_verbosity = verbosity_for_level(level);
            std::printf(kLevelFormat, level);
            result = 0;
        } else if (is(arg, "-V") || is(arg, "--version")) {
            std::printf(kVersionFormat, kVersion);
            return 0;
        } else if (is(arg, "-F") || is(arg, "--Flush") || is(arg, "--flush")) {
            if (unlink(kConfigPath) == 0) {
                return 0;
            }
            write_line(kFlushError);
            return cli_usage();
        } else if (is(arg, "-l") || is(arg, "--list")) {
            if (dump_config() < 0) {
                write_line(kNoConfig);
            }
            return 0;
        } else if (std::strncmp(arg, "--alias", 7) == 0) {
            if (following < 2) {
                write_line(kNeedAliasArgs);
                break;
            }
            return is(argv[i + 1], "--get") ? getAlias(argv[i + 2]) : -1;
        } else if (is(arg, "--prio")) {
            if (following < 1) {
                write_line(kNeedPrioArgs);
                break;
            }
            const char *operation = argv[i + 1];
            if (is(operation, "--set") && following < 3) {
                write_line(kNeedSetArgs);
                break;
            }
            if (!is(operation, "--set") && following == 1) {
                write_line(kNeedPrioPath);
                break;
            }
            int rc = cli_prio(operation, argv[i + 2], following >= 3 ? argv[i + 3] : nullptr);
            if (rc == kSetFailed) {
                return -1;
            }
            result = rc;
            break;
        } else if (is(arg, "--help") || is(arg, "-help")) {
            return cli_help();
        }
    }

    if (result < 0) {
        cli_usage();
        return 1;
    }
    return result;
}

namespace {
int run(int argc, char **argv)
{
    RunLock lock;
    lock.fd = open(kLockPath, O_WRONLY | O_CREAT | O_TRUNC, kLockMode);
    if (lock.fd < 0) {
        log_trace(kModule, "main", kLineLockWarn, 4, "WARN[%d]: problem obtaining lock file",
                  lock.fd);
        write_line(kLockError);
        return -1;
    }
    while (flock(lock.fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    int rc = load_config(kConfigPath);
    if (rc < 0) {
        log_trace(kModule, "main", kLineLoadWarn, 4, "WARN[%d]: problem loading configuration file",
                  rc);
    }
    return cli_handler(argc, argv);
}
}  // namespace

int main(int argc, char **argv) { return finish_output(run(argc, argv)); }

// tald: the administrator's command. One run performs one operation on the
// host's path preferences under the same exclusive flock that the priority
// callout takes, after loading the preference file. An operation on a path
// probes the device before it waits for the lock; every other operation
// takes the lock first. The wait is bounded by kTaldLockWaitMs.

#include "command/conf_check.hpp"
#include "command/list_json.hpp"
#include "operations/frontend.hpp"
#include "operations/operations.hpp"
#include "store/conf.hpp"
#include "trace/trace.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char *kModule = "clihandler";
constexpr int kLinePrioEntry = 157;
constexpr int kLineHelpEntry = 187;
constexpr int kLineHandlerEntry = 234;

constexpr const char *kVersion = "tald-dm 0.3.2";

constexpr const char *kNeedLevel = "Must Enter A Verbosity Level ";
constexpr const char *kNeedAliasArgs = "Must Enter an operation and a path ";
constexpr const char *kNeedPrioArgs = "Must Enter an operation and a path and or a preference ";
constexpr const char *kNeedSetArgs = "Must Enter an operation a path and a preference ";
constexpr const char *kNeedPrioPath = "Must enter an operation and a path ";
constexpr const char *kMissingArgument = "Missing argument ";
constexpr const char *kFlushError = "Error Flushing Configuration";
constexpr const char *kNoConfig = "No Config";
constexpr const char *kLevelFormat = " Verbosity Level Set:%d \n";
constexpr const char *kVersionFormat = "Version: %s\n";
constexpr const char *kCheckOption = "--check";
constexpr const char *kJsonOption = "--json";
constexpr const char *kFmtLockHeld = "%s: held by another run for %d s\n";
constexpr const char *kFmtLockOpen = "%s: %s\n";
constexpr const char *kNotRegular = "not a regular file";

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

/// cli_prio's result for a "--set" whose override was not applied and saved,
/// or for an operation that did not obtain the lock. The scan ends with -1 at
/// once: the lines already written explain the failure, and the usage hint
/// would not.
constexpr int kSetFailed = -2;

bool is(const char *arg, const char *word) { return std::strcmp(arg, word) == 0; }

/// The run lock and the preference file. The load's traces stay unwritten,
/// as they were when the load came before the option scan.
int enter_store() { return run_enter_store(kTaldLockWaitMs, true); }

/// The operation that the option scan of cli_handler will end in, found by
/// its own order and stopping rules: an operation on a path probes before
/// it enters the store, and a check explains a lock failure.
enum class ScanEnd { other, probe, check };

ScanEnd cli_scan_end(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        int following = argc - i - 1;
        if (is(arg, "-v")) {
            if (following < 1) {
                return ScanEnd::other;
            }
        } else if (is(arg, "-V") || is(arg, "--version") || is(arg, "-F") || is(arg, "--Flush") ||
                   is(arg, "--flush") || is(arg, "-l") || is(arg, "--list") ||
                   is(arg, "--help") || is(arg, "-help")) {
            return ScanEnd::other;
        } else if (is(arg, kCheckOption)) {
            return ScanEnd::check;
        } else if (std::strncmp(arg, "--alias", 7) == 0) {
            return following >= 2 && is(argv[i + 1], "--get") ? ScanEnd::probe : ScanEnd::other;
        } else if (is(arg, "--prio")) {
            if (following < 1) {
                return ScanEnd::other;
            }
            const char *operation = argv[i + 1];
            bool probes = (is(operation, "--set") && following >= 3) ||
                          (is(operation, "--get") && following >= 2);
            return probes ? ScanEnd::probe : ScanEnd::other;
        }
    }
    return ScanEnd::other;
}

/// Why the run lock was not had, for the check's reader: `open_error` is
/// run_lock_open's errno value, 0 when the wait ran out.
void lock_why(int open_error)
{
    if (open_error == 0) {
        std::printf(kFmtLockHeld, kLockPath, kTaldLockWaitMs / 1000);
    } else {
        std::printf(kFmtLockOpen, kLockPath,
                    open_error == EINVAL ? kNotRegular : std::strerror(open_error));
    }
}

/// Text built in memory through a stream. Unlike open_memstream's, a write
/// that finds no memory fails the stream (ferror, fclose), where glibc's
/// memory stream drops the text and reports nothing.
struct MemoryText {
    char *data = nullptr;
    std::size_t len = 0;
    std::size_t capacity = 0;
    MemoryText() = default;
    MemoryText(const MemoryText &) = delete;
    MemoryText &operator=(const MemoryText &) = delete;
    ~MemoryText() { std::free(data); }
};

ssize_t memory_write(void *cookie, const char *buf, std::size_t size)
{
    auto *text = static_cast<MemoryText *>(cookie);
    if (text->capacity - text->len < size) {
        std::size_t grown = std::max(text->capacity * 2, text->len + size);
        auto *bigger = static_cast<char *>(std::realloc(text->data, grown));
        if (bigger == nullptr) {
            errno = ENOMEM;
            return 0;
        }
        text->data = bigger;
        text->capacity = grown;
    }
    std::memcpy(text->data + text->len, buf, size);
    text->len += size;
    return static_cast<ssize_t>(size);
}

/// Runs `build` (a listing, the check's report) into memory while the lock
/// is held, and writes the text once the lock is given up, so that a reader
/// who does not read cannot hold every run of the host. Without memory for
/// the whole text, `build` writes to standard output directly, under the
/// lock. `build`'s result.
int built_then_written(int (*build)(FILE *))
{
    MemoryText text;
    FILE *stream = fopencookie(&text, "w", {nullptr, memory_write, nullptr, nullptr});
    if (stream == nullptr) {
        return build(stdout);
    }
    int rc = build(stream);
    bool failed = std::ferror(stream) != 0;
    if (std::fclose(stream) != 0 || failed) {
        return build(stdout);
    }
    run_lock_close();
    std::fwrite(text.data, 1, text.len, stdout);
    return rc;
}

/// "--check": 0 when a run keeps the file as it is, 1 when it would drop or
/// rewrite a line, -1 when the file cannot be read.
int check_to(FILE *out) { return conf_check(kConfigPath, out); }

/// "-l --json": the listing as a JSON document. A file that exists but could
/// not be read whole is no list: the reason goes to standard error, -1; a
/// file that could not be held for want of memory gives no list, as no
/// list at all does.
int list_config_json()
{
    const char *why = conf_unread_reason();
    if (why != nullptr && !conf_out_of_memory()) {
        run_lock_close();
        std::fprintf(stderr, kFmtConfUnreadable, kConfigPath, why);
        return -1;
    }
    if (why != nullptr || built_then_written(list_json_to) < 0) {
        cli_write_line(kNoConfig);
        return -1;
    }
    return 0;
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
}  // namespace

int cli_help()
{
    log_trace(kModule, "cli_help", kLineHelpEntry, 7, "ENTRY");
    for (const char *text : kHelpText) {
        cli_write_line(text);
    }
    return 0;
}

/// "--get": prints the path's priority, 0. "--set": 0 when the preference
/// was applied and saved, kSetFailed otherwise. Any other operation: -1.
int cli_prio(const char *operation, const char *path, const char *preference)
{
    log_trace(kModule, "cli_prio", kLinePrioEntry, 7, "ENTRY");
    if (is(operation, "--get")) {
        int prio = getPrio(path, enter_store);
        if (prio == kNoStore) {
            cli_lock_error();
            return kSetFailed;
        }
        std::printf("%d\n", prio);
        return 0;
    }
    if (is(operation, "--set")) {
        int rc = setPrio(path, preference, enter_store);
        if (rc == kNoStore) {
            cli_lock_error();
        }
        return rc < 0 ? kSetFailed : 0;
    }
    cli_write_line(kMissingArgument);
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
                cli_write_line(kNeedLevel);
                return 0;
            }
            // The level stays in the scan: an option word given as the level
            // is carried out after the level it converts to.
            int level = int_from_text(argv[i + 1]);
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
            cli_write_line(kFlushError);
            return cli_usage();
        } else if (is(arg, "-l") || is(arg, "--list")) {
            if (following >= 1 && is(argv[i + 1], kJsonOption)) {
                return list_config_json();
            }
            if (built_then_written(dump_config_to) < 0) {
                cli_write_line(kNoConfig);
            }
            return 0;
        } else if (is(arg, kCheckOption)) {
            return built_then_written(check_to);
        } else if (std::strncmp(arg, "--alias", 7) == 0) {
            if (following < 2) {
                cli_write_line(kNeedAliasArgs);
                break;
            }
            if (!is(argv[i + 1], "--get")) {
                return -1;
            }
            int rc = getAlias(argv[i + 2], enter_store);
            if (rc == kNoStore) {
                cli_lock_error();
            }
            return rc < 0 ? -1 : rc;
        } else if (is(arg, "--prio")) {
            if (following < 1) {
                cli_write_line(kNeedPrioArgs);
                break;
            }
            const char *operation = argv[i + 1];
            if (is(operation, "--set") && following < 3) {
                cli_write_line(kNeedSetArgs);
                break;
            }
            if (!is(operation, "--set") && following == 1) {
                cli_write_line(kNeedPrioPath);
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
    // Unlike the callout, tald makes no exception for a read-only file system.
    RunLockGuard guard;
    ScanEnd end = cli_scan_end(argc, argv);
    int open_error = run_lock_open();
    // The check reads the file itself: the lock without the load.
    int entered = 0;
    if (open_error == 0 && end == ScanEnd::check) {
        entered = run_lock_take(kTaldLockWaitMs);
    } else if (open_error == 0 && end == ScanEnd::other) {
        entered = enter_store();
    }
    if (open_error != 0 || entered < 0) {
        cli_lock_error();
        if (end == ScanEnd::check) {
            lock_why(open_error);
        }
        return -1;
    }
    return cli_handler(argc, argv);
}
}  // namespace

// An administrator's script reads the results: a lost line must not end in
// a success status.
int main(int argc, char **argv) { return cli_finish(run(argc, argv)); }

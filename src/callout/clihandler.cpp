// mpath_prio_tald: the priority callout that multipath runs once per path.
// It answers with one decimal priority on standard output; every run of it
// and of tald on the host is serialised by an exclusive flock on the lock file.

#include "operations/operations.hpp"
#include "store/conf.hpp"
#include "trace/trace.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
constexpr const char *kModule = "clihandler";
constexpr int kLineHelpEntry = 216;
constexpr int kLineLockWarn = 352;
constexpr int kLineLoadWarn = 373;

constexpr mode_t kLockMode = 0640;
constexpr const char *kLockError = "Error:  Unable to obtain lock.";
constexpr const char *kMustEnterPath = "Must enter a path ";
constexpr const char *kReadOnlyAnswer = "1";
constexpr const char *kHelpLine1 = "\n Usage: mpath_prio_tald -[PATH] ";
constexpr const char *kHelpLine2 = "               example:  mpath_prio_tald /dev/sdb \n ";
constexpr const char *kUsageLine1 = "No Usage";
constexpr const char *kUsageLine2 = "Try 'tald --help' for more information.";

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

bool is_help(const char *arg)
{
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-help") == 0;
}

/// multipath reads the answer from a pipe: a lost answer must not end in
/// status 0.
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

int cli_mpath_prio_help()
{
    log_trace(kModule, "cli_mpath_prio_help", kLineHelpEntry, 7, "ENTRY");
    write_line(kHelpLine1);
    write_line(kHelpLine2);
    return 0;
}

namespace {
/// The answer for one command line once the lock question is settled.
/// `probe` false: a read-only file system, where every device gets "1"
/// without being touched.
void answer(int argc, char **argv, bool probe)
{
    if (argc < 2) {
        write_line(kMustEnterPath);
        cli_usage();
    } else if (is_help(argv[1])) {
        cli_mpath_prio_help();
    } else if (!probe) {
        write_line(kReadOnlyAnswer);
    } else {
        std::printf("%d\n", getPrio(argv[1]));
    }
}

int run(int argc, char **argv)
{
    RunLock lock;
    lock.fd = open(kLockPath, O_WRONLY | O_CREAT | O_TRUNC, kLockMode);
    if (lock.fd < 0) {
        int err = errno;
        log_trace(kModule, "main", kLineLockWarn, 4, "WARN[%d]: problem obtaining lock file",
                  lock.fd);
        if (err != EROFS) {
            write_line(kLockError);
            return -1;
        }
        answer(argc, argv, false);
        return 0;
    }

    while (flock(lock.fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    int rc = load_config(kConfigPath);
    if (rc < 0) {
        log_trace(kModule, "main", kLineLoadWarn, 4, "WARN[%d]: problem loading configuration file",
                  rc);
    }
    answer(argc, argv, true);
    return 0;
}
}  // namespace

int main(int argc, char **argv) { return finish_output(run(argc, argv)); }

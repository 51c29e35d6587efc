// mpath_prio_tald: the priority callout that multipath runs once per path.
// It answers with one decimal priority on standard output; every run of it
// and of tald on the host is serialised by an exclusive flock on the lock file.

#include "operations/frontend.hpp"
#include "operations/operations.hpp"
#include "trace/trace.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
constexpr const char *kModule = "clihandler";
constexpr int kLineHelpEntry = 216;

constexpr const char *kMustEnterPath = "Must enter a path ";
constexpr const char *kReadOnlyAnswer = "1";
constexpr const char *kHelpLine1 = "\n Usage: mpath_prio_tald -[PATH] ";
constexpr const char *kHelpLine2 = "               example:  mpath_prio_tald /dev/sdb \n ";

bool is_help(const char *arg)
{
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-help") == 0;
}
}  // namespace

int cli_mpath_prio_help()
{
    log_trace(kModule, "cli_mpath_prio_help", kLineHelpEntry, 7, "ENTRY");
    cli_write_line(kHelpLine1);
    cli_write_line(kHelpLine2);
    return 0;
}

namespace {
/// The answer for one command line once the lock question is settled.
/// `probe` false: a read-only file system, where every device gets "1"
/// without being touched.
void answer(int argc, char **argv, bool probe)
{
    if (argc < 2) {
        cli_write_line(kMustEnterPath);
        cli_usage();
    } else if (is_help(argv[1])) {
        cli_mpath_prio_help();
    } else if (!probe) {
        cli_write_line(kReadOnlyAnswer);
    } else {
        std::printf("%d\n", getPrio(argv[1]));
    }
}

int run(int argc, char **argv)
{
    RunLock lock;
    int err = run_lock_and_load(lock);
    if (err != 0 && err != EROFS) {
        cli_lock_error();
        return -1;
    }
    answer(argc, argv, err == 0);
    return 0;
}
}  // namespace

// multipath reads the answer from a pipe: a lost answer must not end in
// status 0.
int main(int argc, char **argv) { return cli_finish(run(argc, argv)); }

// A stand-in for one generation of multipath's prioritizer loader. The
// generations differ, for the plugin, only in what the host exports and in
// how many arguments its getprio call passes; this program is built once per
// generation (tests/CMakeLists.txt holds the table) with the exports of that
// generation, and -rdynamic, so that the plugin's weak references bind to
// them as they bind to libmultipath's. It loads the plugin as every
// generation does (dlopen RTLD_NOW, dlsym "getprio"), and calls getprio for
// DEV once while a child process holds the run lock for HOLD ms:
//
//   plugin_generation PLUGIN DEV HOLD
//
// A three-argument generation passes kTimeoutMs. A two-argument one passes
// none: its call goes through a three-argument pointer whose third argument
// is kStaleThird, the value left in the register where a third argument
// would be. A plugin that reads it waits 1 ms; one that does not waits for
// the lock. Prints "arguments=N third=T result=R ms=M"; what the plugin logs
// is caught (syslog_catcher.cpp) as "syslog: PRIORITY TEXT" on standard error.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef HOST_GET_PRIO_TIMEOUT
// 0.6.2 to 0.9.5: the third argument's value, from the path's checker_timeout.
extern "C" unsigned int get_prio_timeout(unsigned int checker_timeout, unsigned int default_timeout)
{
    return checker_timeout != 0 ? checker_timeout * 1000 : default_timeout;
}
#endif

#ifdef HOST_GET_PRIO_TIMEOUT_MS
// From 0.9.6 on: the same, for the prioritizer itself to ask.
extern "C" unsigned int get_prio_timeout_ms(const void *) { return 30000; }
#endif

#ifdef HOST_RELEASE
namespace {
constexpr unsigned int kRelease[3] = {HOST_RELEASE};
constexpr int kMultipathVersion = 3;  // libmultipath's selector of its own release
}  // namespace
// From 0.8.6 on.
extern "C" int libmp_get_version(int which, unsigned int version[3])
{
    if (which != kMultipathVersion)
        return 1;
    std::memcpy(version, kRelease, sizeof kRelease);
    return 0;
}
#endif

namespace {

constexpr int kArguments = HOST_ARGUMENTS;
constexpr unsigned int kTimeoutMs = 300;
constexpr unsigned int kStaleThird = 1;
constexpr const char *kLockPath = "/etc/lvm/cache/tald.lock";

/// The host's path record: the name, then fields the plugin must not read.
struct HostPath {
    char dev[256];
    unsigned char rest[2048];
};
using GetPrio = int (*)(HostPath *, char *, unsigned int);

long now_ms()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

/// A child that takes the run lock, says so through the pipe, and keeps it
/// for `hold_ms`. Its pid, or -1.
pid_t hold_lock(int hold_ms)
{
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(kLockPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            _exit(1);
        if (write(ready[1], "h", 1) != 1)
            _exit(1);
        usleep(static_cast<useconds_t>(hold_ms) * 1000);
        _exit(0);
    }
    close(ready[1]);
    char held = 0;
    bool ok = pid > 0 && read(ready[0], &held, 1) == 1;
    close(ready[0]);
    return ok ? pid : -1;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: plugin_generation PLUGIN DEV HOLD\n");
        return 1;
    }
    void *handle = dlopen(argv[1], RTLD_NOW);
    auto getprio = handle != nullptr ? reinterpret_cast<GetPrio>(dlsym(handle, "getprio")) : nullptr;
    if (getprio == nullptr) {
        std::fprintf(stderr, "host: %s\n", dlerror());
        return 2;
    }
    HostPath path;
    std::memset(&path, 0xa5, sizeof path);
    std::snprintf(path.dev, sizeof path.dev, "%s", argv[2]);
    char args[] = "";
    unsigned int third = kArguments == 3 ? kTimeoutMs : kStaleThird;

    pid_t holder = hold_lock(std::atoi(argv[3]));
    if (holder < 0) {
        std::fprintf(stderr, "host: the lock holder failed\n");
        return 3;
    }
    long begin = now_ms();
    int result = getprio(&path, args, third);
    long ms = now_ms() - begin;
    int status = 0;
    waitpid(holder, &status, 0);
    std::printf("arguments=%d third=%u result=%d ms=%ld\n", kArguments, third, result, ms);
    dlclose(handle);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 3;
}

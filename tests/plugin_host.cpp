// A stand-in for multipath: loads libpriotald.so as the host does (dlopen
// RTLD_NOW, dlsym "getprio", a path record whose first member is the device
// name) and calls it. Built twice: without libmp_get_version (a host that
// does not say its release) and with it (HOST_RELEASE_KNOWN, release from
// -R). syslog, in its plain and fortified forms, is caught (syslog_catcher.cpp)
// and written to standard error as "syslog: PRIORITY TEXT", so that the tests
// see what the plugin reports.
//
//   plugin_host PLUGIN [-a ARGS] [-t MS] [-R MAJOR.MINOR.MICRO] [-n CALLS]
//               [-T THREADS] [-m] [-C MS] [-L CYCLES] DEV...
//
// Default: one call per DEV, one line "DEV RESULT MILLISECONDS" each ("-"
//   for an empty DEV).
// -n with -T: CALLS calls per DEV from each of THREADS threads; one line
//   "DEV RESULT" per DEV, or "DEV VARIED" when the answers differed.
// -m: memory and descriptors after the first tenth of the calls (at most
//   10000) and at the end,
//   "rss_growth_kb=K fd_growth=F".
// -C MS: the first DEV's call runs in a thread that is cancelled after MS;
//   "cancelled=Y|N result=R", then one more call per other DEV as by default.
// -L CYCLES: load, call the first DEV once, unload; CYCLES times; then
//   "fd_growth=F".

#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef HOST_RELEASE_KNOWN
namespace {
unsigned int host_release[3] = {0, 9, 4};
constexpr int kMultipathVersion = 3;  // libmultipath's MULTIPATH_VERSION
}
// libmultipath's signature; other selectors name device-mapper versions,
// which this host does not know (1, as libmultipath answers a failure).
extern "C" int libmp_get_version(int which, unsigned int version[3])
{
    if (which != kMultipathVersion) {
        return 1;
    }
    for (int i = 0; i < 3; ++i) {
        version[i] = host_release[i];
    }
    return 0;
}
#endif

namespace {

/// The host's path record as far as the plugin may know it: the name, then
/// fields it must not read (filled with a pattern).
struct HostPath {
    char dev[256];
    unsigned char rest[2048];
};

using GetPrio = int (*)(HostPath *, char *, unsigned int);

struct Options {
    std::string plugin;
    std::string args;
    unsigned timeout = 0;
    long calls = 1;
    int threads = 1;
    bool measure = false;
    int cancel_after_ms = -1;
    int cycles = 0;
    std::vector<std::string> devs;
};

HostPath path_of(const std::string &dev)
{
    HostPath p;
    std::memset(&p, 0xa5, sizeof p);
    std::snprintf(p.dev, sizeof p.dev, "%s", dev.c_str());
    return p;
}

int call(GetPrio getprio, const std::string &dev, const Options &o)
{
    HostPath p = path_of(dev);
    std::vector<char> args(o.args.begin(), o.args.end());
    args.push_back('\0');
    return getprio(&p, args.data(), o.timeout);
}

long rss_kb()
{
    long pages = 0, resident = 0;
    FILE *statm = std::fopen("/proc/self/statm", "r");
    if (statm != nullptr) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int open_fds()
{
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

GetPrio load(const std::string &plugin, void **handle)
{
    *handle = dlopen(plugin.c_str(), RTLD_NOW);
    if (*handle == nullptr) {
        std::fprintf(stderr, "host: %s\n", dlerror());
        std::exit(2);
    }
    auto getprio = reinterpret_cast<GetPrio>(dlsym(*handle, "getprio"));
    if (getprio == nullptr) {
        std::fprintf(stderr, "host: no getprio\n");
        std::exit(3);
    }
    return getprio;
}

long ms_since(std::chrono::steady_clock::time_point begin)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - begin)
                                 .count());
}

/// -n/-T: every thread calls every device `calls` times.
void repeated(GetPrio getprio, const Options &o)
{
    std::vector<int> first(o.devs.size());
    for (std::size_t d = 0; d < o.devs.size(); ++d) {
        first[d] = call(getprio, o.devs[d], o);
    }
    long rss_start = 0;
    int fds_start = 0;
    std::vector<std::atomic<bool>> varied(o.devs.size());
    auto work = [&](long calls) {
        for (long i = 0; i < calls; ++i) {
            for (std::size_t d = 0; d < o.devs.size(); ++d) {
                if (call(getprio, o.devs[d], o) != first[d]) {
                    varied[d] = true;
                }
            }
        }
    };
    long warm = std::min(o.calls / 10, 10000L);
    work(warm);
    rss_start = rss_kb();
    fds_start = open_fds();
    if (o.threads == 1) {
        work(o.calls - warm);
    }
    std::vector<pthread_t> threads(static_cast<std::size_t>(o.threads > 1 ? o.threads : 0));
    struct Job {
        decltype(work) *run;
        long calls;
    } job{&work, o.calls - warm};
    for (pthread_t &t : threads) {
        pthread_create(
            &t, nullptr,
            [](void *arg) -> void * {
                auto *j = static_cast<Job *>(arg);
                (*j->run)(j->calls);
                return nullptr;
            },
            &job);
    }
    for (pthread_t t : threads) {
        pthread_join(t, nullptr);
    }
    for (std::size_t d = 0; d < o.devs.size(); ++d) {
        if (varied[d]) {
            std::printf("%s VARIED\n", o.devs[d].c_str());
        } else {
            std::printf("%s %d\n", o.devs[d].c_str(), first[d]);
        }
    }
    if (o.measure) {
        std::printf("rss_growth_kb=%ld fd_growth=%d\n", rss_kb() - rss_start,
                    open_fds() - fds_start);
    }
}

struct CancelJob {
    GetPrio getprio;
    const Options *options;
    std::atomic<int> result{-1000};
};

/// -C: a call cancelled while it runs must still finish, release everything
/// and leave the library usable.
void cancelled_call(GetPrio getprio, const Options &o)
{
    CancelJob job{getprio, &o};
    pthread_t thread;
    pthread_create(
        &thread, nullptr,
        [](void *arg) -> void * {
            auto *j = static_cast<CancelJob *>(arg);
            j->result = call(j->getprio, j->options->devs[0], *j->options);
            pthread_testcancel();
            return nullptr;
        },
        &job);
    usleep(static_cast<useconds_t>(o.cancel_after_ms) * 1000);
    pthread_cancel(thread);
    void *status = nullptr;
    pthread_join(thread, &status);
    std::printf("cancelled=%s result=%d\n", status == PTHREAD_CANCELED ? "Y" : "N",
                job.result.load());
}

Options parse(int argc, char **argv)
{
    Options o;
    o.plugin = argc > 1 ? argv[1] : "";
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        bool value = i + 1 < argc;
        if (a == "-a" && value) {
            o.args = argv[++i];
        } else if (a == "-t" && value) {
            o.timeout = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "-R" && value) {
#ifdef HOST_RELEASE_KNOWN
            std::sscanf(argv[++i], "%u.%u.%u", &host_release[0], &host_release[1],
                        &host_release[2]);
#else
            ++i;
#endif
        } else if (a == "-n" && value) {
            o.calls = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "-T" && value) {
            o.threads = std::atoi(argv[++i]);
        } else if (a == "-m") {
            o.measure = true;
        } else if (a == "-C" && value) {
            o.cancel_after_ms = std::atoi(argv[++i]);
        } else if (a == "-L" && value) {
            o.cycles = std::atoi(argv[++i]);
        } else {
            o.devs.push_back(a);
        }
    }
    return o;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o = parse(argc, argv);
    if (o.devs.empty()) {
        std::fprintf(stderr, "usage: plugin_host PLUGIN [options] DEV...\n");
        return 1;
    }
    if (o.cycles > 0) {
        int fds = -1;
        for (int c = 0; c < o.cycles; ++c) {
            void *handle = nullptr;
            GetPrio getprio = load(o.plugin, &handle);
            call(getprio, o.devs[0], o);
            dlclose(handle);
            if (c == 0) {
                fds = open_fds();
            }
        }
        std::printf("fd_growth=%d\n", open_fds() - fds);
        return 0;
    }
    void *handle = nullptr;
    GetPrio getprio = load(o.plugin, &handle);
    std::size_t first = 0;
    if (o.cancel_after_ms >= 0) {
        cancelled_call(getprio, o);
        first = 1;
    }
    if (o.calls > 1 || o.threads > 1) {
        repeated(getprio, o);
    } else {
        for (std::size_t d = first; d < o.devs.size(); ++d) {
            auto begin = std::chrono::steady_clock::now();
            int result = call(getprio, o.devs[d], o);
            const char *shown = o.devs[d].empty() ? "-" : o.devs[d].c_str();
            std::printf("%s %d %ld\n", shown, result, ms_since(begin));
        }
    }
    dlclose(handle);
    return 0;
}

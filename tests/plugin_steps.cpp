// A stand-in for multipathd that keeps libpriotald.so loaded while the test
// changes things around it: it runs a script of steps, in its working
// directory, and catches syslog, plain and fortified, as plugin_host does
// ("syslog: PRIORITY TEXT" on standard error).
//
//   plugin_steps PLUGIN STEP...
//
//   DEV                    one call; the line "DEV RESULT MILLISECONDS"
//   &DEV                   one call in a thread of its own, while the steps
//                          go on; its line comes at the end
//   ~MS                    sleeps MS milliseconds
//   =MS                    the calls that follow pass the timeout MS (at
//                          first 0: the plugin's own bound)
//   @N                     creates the file at.N and waits for go.N
//   race=DEV,THREADS,A,B   THREADS threads call DEV until the file "stop"
//                          exists; it creates "racing" once they run. A call
//                          that began after the file "done" existed must give
//                          B, any other A or B; the line
//                          "race calls=C other=O stale=S" counts the calls,
//                          those that gave neither and those that gave A late.
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

#include <dlfcn.h>

namespace {

struct HostPath {
    char dev[256];
    unsigned char rest[2048];
};
using GetPrio = int (*)(HostPath *, char *, unsigned int);
GetPrio getprio = nullptr;
unsigned int timeout_ms = 0;

bool exists(const char *name) { return access(name, F_OK) == 0; }

int call(const std::string &dev, unsigned int timeout = 0)
{
    HostPath p;
    std::memset(&p, 0xa5, sizeof p);
    std::snprintf(p.dev, sizeof p.dev, "%s", dev.c_str());
    char args[] = "";
    return getprio(&p, args, timeout);
}

long timed_call(const std::string &dev, unsigned int timeout, int *result)
{
    auto begin = std::chrono::steady_clock::now();
    *result = call(dev, timeout);
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - begin)
                                 .count());
}

struct Background {
    pthread_t thread;
    std::string dev;
    unsigned int timeout = 0;
    int result = 0;
    long ms = 0;
};

void *background_call(void *arg)
{
    auto *b = static_cast<Background *>(arg);
    b->ms = timed_call(b->dev, b->timeout, &b->result);
    return nullptr;
}

void wait_for(const char *name)
{
    for (int i = 0; i < 60000 && !exists(name); ++i)
        usleep(1000);
}

struct Race {
    std::string dev;
    int old_value = 0;
    int new_value = 0;
    std::atomic<long> calls{0}, other{0}, stale{0};
};

void *race_thread(void *arg)
{
    auto *race = static_cast<Race *>(arg);
    while (!exists("stop")) {
        bool after = exists("done");
        int got = call(race->dev);
        ++race->calls;
        if (got != race->old_value && got != race->new_value)
            ++race->other;
        else if (after && got != race->new_value)
            ++race->stale;
    }
    return nullptr;
}

void race(const std::string &step)
{
    Race r;
    char dev[64] = "";
    int threads = 0;
    if (std::sscanf(step.c_str(), "%63[^,],%d,%d,%d", dev, &threads, &r.old_value,
                    &r.new_value) != 4)
        std::exit(2);
    r.dev = dev;
    std::vector<pthread_t> ids(static_cast<std::size_t>(threads));
    for (pthread_t &t : ids)
        pthread_create(&t, nullptr, race_thread, &r);
    std::fclose(std::fopen("racing", "w"));
    for (pthread_t t : ids)
        pthread_join(t, nullptr);
    std::printf("race calls=%s other=%ld stale=%ld\n", r.calls > 0 ? "some" : "none",
                r.other.load(), r.stale.load());
}

}  // namespace

int main(int argc, char **argv)
{
    void *handle = argc > 1 ? dlopen(argv[1], RTLD_NOW) : nullptr;
    getprio = handle ? reinterpret_cast<GetPrio>(dlsym(handle, "getprio")) : nullptr;
    if (getprio == nullptr) {
        std::fprintf(stderr, "usage: plugin_steps PLUGIN STEP...\n");
        return 2;
    }
    std::vector<Background *> background;
    for (int i = 2; i < argc; ++i) {
        std::string step = argv[i];
        if (step[0] == '&') {
            auto *b = new Background;
            b->dev = step.substr(1);
            b->timeout = timeout_ms;
            pthread_create(&b->thread, nullptr, background_call, b);
            background.push_back(b);
        } else if (step[0] == '~') {
            usleep(static_cast<useconds_t>(std::atoi(step.c_str() + 1)) * 1000);
        } else if (step[0] == '=') {
            timeout_ms = static_cast<unsigned int>(std::atoi(step.c_str() + 1));
        } else if (step[0] == '@') {
            std::fclose(std::fopen(("at." + step.substr(1)).c_str(), "w"));
            wait_for(("go." + step.substr(1)).c_str());
        } else if (step.rfind("race=", 0) == 0) {
            race(step.substr(5));
        } else {
            int result = 0;
            long ms = timed_call(step, timeout_ms, &result);
            std::printf("%s %d %ld\n", step.c_str(), result, ms);
        }
        std::fflush(stdout);
    }
    for (Background *b : background) {
        pthread_join(b->thread, nullptr);
        std::printf("%s %d %ld\n", b->dev.c_str(), b->result, b->ms);
        delete b;
    }
    dlclose(handle);
    return 0;
}

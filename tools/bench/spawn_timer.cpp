// spawn_timer: wall-clock timing of short-lived processes, for tools/bench.sh.
// A shell loop would add its own fork to every run; this starts each process
// with posix_spawn and times it from spawn to reap.
//
//   spawn_timer runs N -- [VAR=VALUE...] COMMAND [ARGS...] [-- [VAR=VALUE...] COMMAND...]
//       runs each COMMAND N times, standard output to /dev/null, the
//       commands taking turns (so that a change in the machine's load falls
//       on all of them alike); VAR=VALUE words set the environment of their
//       command. Prints one line per command: "median_us min_us max_us
//       cpu_median_us" (wall times, and the median of user + system time of
//       the process: the latter hardly moves when other work shares the
//       machine).
//   spawn_timer sweep P NODES ANSWERS [SCENARIO_DIR] -- COMMAND [ARGS...]
//       runs "COMMAND ARGS... NODE" once for every line NODE of the file
//       NODES, P processes at a time (as multipath starts its callouts);
//       prints "wall_ms cpu_ms" (total wall time; user + system time of all
//       processes), and writes "NODE ANSWER" lines in
//       the order of NODES to the file ANSWERS (ANSWER: the first line of the
//       process's standard output, "-" when it printed none). With
//       SCENARIO_DIR, each process gets SIMARRAY_SCENARIO=SCENARIO_DIR/X.scn
//       for NODE /dev/X: the simulated array's scenario of its node alone.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

long long now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: spawn_timer runs N -- [VAR=VALUE...] COMMAND [ARGS...] [-- ...]\n"
                 "       spawn_timer sweep P NODES ANSWERS [SCENARIO_DIR] -- COMMAND [ARGS...]\n");
    return 2;
}

/// Starts argv with its standard output on `out_fd`; returns the pid or -1.
pid_t start(char **argv, int out_fd, int close_fd, char **envp = environ)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    if (close_fd >= 0) posix_spawn_file_actions_addclose(&actions, close_fd);
    pid_t pid = -1;
    int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        std::fprintf(stderr, "spawn_timer: %s: %s\n", argv[0], std::strerror(err));
        return -1;
    }
    return pid;
}

long long cpu_us(const rusage &ru)
{
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL + ru.ru_utime.tv_usec +
           ru.ru_stime.tv_usec;
}

/// Waits for pid; its user + system time in us, or -1.
long long reap(pid_t pid)
{
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0)
        if (errno != EINTR) return -1;
    return cpu_us(ru);
}

long long median(std::vector<long long> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

/// One command of `runs`: its arguments and its environment.
struct Command {
    std::vector<char *> argv;
    std::vector<char *> env;
};

/// Splits "[VAR=VALUE...] COMMAND [ARGS...] [-- ...]" into commands; the
/// VAR=VALUE words replace or extend the environment of their command.
std::vector<Command> parse_commands(int argc, char **argv)
{
    std::vector<Command> commands;
    int i = 0;
    while (i < argc) {
        Command c;
        for (char **e = environ; *e != nullptr; ++e) c.env.push_back(*e);
        for (; i < argc && std::strchr(argv[i], '=') != nullptr && argv[i][0] != '/'; ++i) {
            std::size_t name = std::strchr(argv[i], '=') - argv[i] + 1;
            std::erase_if(c.env, [&](char *e) { return std::strncmp(e, argv[i], name) == 0; });
            c.env.push_back(argv[i]);
        }
        for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) c.argv.push_back(argv[i]);
        ++i;  // the "--" between commands
        if (c.argv.empty()) return {};
        c.argv.push_back(nullptr);
        c.env.push_back(nullptr);
        commands.push_back(std::move(c));
    }
    return commands;
}

int do_runs(long n, int argc, char **argv)
{
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<Command> commands = parse_commands(argc, argv);
    if (null_fd < 0 || n < 1 || commands.empty()) return usage();
    std::vector<std::vector<long long>> us(commands.size()), cpu(commands.size());
    for (long i = 0; i < n; ++i) {
        for (std::size_t k = 0; k < commands.size(); ++k) {
            long long t0 = now_ns();
            pid_t pid = start(commands[k].argv.data(), null_fd, -1, commands[k].env.data());
            long long c = pid < 0 ? -1 : reap(pid);
            if (c < 0) return 1;
            us[k].push_back((now_ns() - t0) / 1000);
            cpu[k].push_back(c);
        }
    }
    close(null_fd);
    for (std::size_t k = 0; k < commands.size(); ++k)
        std::printf("%lld %lld %lld %lld\n", median(us[k]),
                    *std::min_element(us[k].begin(), us[k].end()),
                    *std::max_element(us[k].begin(), us[k].end()), median(cpu[k]));
    return 0;
}

struct Running {
    pid_t pid;
    int read_fd;
    std::size_t node;
};

/// Reaps one of `running` (the first to end), reads its answer into answers.
bool finish_one(std::vector<Running> &running, std::vector<std::string> &answers,
                long long &cpu)
{
    int status = 0;
    rusage ru{};
    pid_t pid;
    while ((pid = wait4(-1, &status, 0, &ru)) < 0)
        if (errno != EINTR) return false;
    cpu += cpu_us(ru);
    auto it = std::find_if(running.begin(), running.end(),
                           [pid](const Running &r) { return r.pid == pid; });
    if (it == running.end()) return true;
    // The answer is a few bytes: it is all in the pipe once the process ended.
    std::string out;
    char buf[256];
    ssize_t got;
    while ((got = read(it->read_fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(got));
    close(it->read_fd);
    std::string first = out.substr(0, out.find('\n'));
    answers[it->node] = first.empty() ? "-" : first;
    running.erase(it);
    return true;
}

int do_sweep(long parallel, const char *nodes_file, const char *answers_file,
             const char *scenario_dir, int argc, char **argv)
{
    std::FILE *in = std::fopen(nodes_file, "r");
    if (in == nullptr || parallel < 1) return usage();
    std::vector<std::string> nodes;
    char line[4096];
    while (std::fgets(line, sizeof line, in) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        if (line[0] != '\0') nodes.emplace_back(line);
    }
    std::fclose(in);

    std::vector<char *> args(argv, argv + argc);
    args.push_back(nullptr);  // the node
    args.push_back(nullptr);
    constexpr const char *kScenarioVar = "SIMARRAY_SCENARIO=";
    std::vector<char *> env;
    for (char **e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, kScenarioVar, std::strlen(kScenarioVar)) != 0) env.push_back(*e);
    env.push_back(nullptr);  // the node's scenario
    env.push_back(nullptr);
    std::vector<std::string> scenarios;
    if (scenario_dir != nullptr)
        for (const std::string &n : nodes)
            scenarios.push_back(kScenarioVar + std::string(scenario_dir) + "/" +
                                n.substr(n.rfind('/') + 1) + ".scn");
    std::vector<std::string> answers(nodes.size());
    std::vector<Running> running;
    long long cpu = 0;
    long long t0 = now_ns();
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        while (running.size() >= static_cast<std::size_t>(parallel))
            if (!finish_one(running, answers, cpu)) return 1;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return 1;
        args[static_cast<std::size_t>(argc)] = nodes[i].data();
        if (scenario_dir != nullptr) env[env.size() - 2] = scenarios[i].data();
        pid_t pid = start(args.data(), fds[1], fds[0], scenario_dir != nullptr ? env.data() : environ);
        close(fds[1]);
        if (pid < 0) return 1;
        running.push_back({pid, fds[0], i});
    }
    while (!running.empty())
        if (!finish_one(running, answers, cpu)) return 1;
    long long ms = (now_ns() - t0) / 1000000;

    std::FILE *out = std::fopen(answers_file, "w");
    if (out == nullptr) return 1;
    for (std::size_t i = 0; i < nodes.size(); ++i)
        std::fprintf(out, "%s %s\n", nodes[i].c_str(), answers[i].c_str());
    std::fclose(out);
    std::printf("%lld %lld\n", ms, cpu / 1000);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 5 && std::strcmp(argv[1], "runs") == 0 && std::strcmp(argv[3], "--") == 0)
        return do_runs(std::atol(argv[2]), argc - 4, argv + 4);
    if (argc >= 7 && std::strcmp(argv[1], "sweep") == 0 && std::strcmp(argv[5], "--") == 0)
        return do_sweep(std::atol(argv[2]), argv[3], argv[4], nullptr, argc - 6, argv + 6);
    if (argc >= 8 && std::strcmp(argv[1], "sweep") == 0 && std::strcmp(argv[6], "--") == 0)
        return do_sweep(std::atol(argv[2]), argv[3], argv[4], argv[5], argc - 7, argv + 7);
    return usage();
}

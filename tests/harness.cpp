#include "harness.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {

namespace {
std::string hex_byte(int value)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02x", value & 0xff);
    return text;
}

std::vector<int> designator_bytes(const Lun &lun)
{
    return {(lun.lunref >> 8) & 3, lun.lunref & 0xff, 0x60, 0x0a, 0x0b, 0x80, 0x00, lun.tag};
}
}  // namespace

std::string designator_hex(const Lun &lun)
{
    std::string text;
    for (int byte : designator_bytes(lun)) {
        if (!text.empty()) {
            text += ' ';
        }
        text += hex_byte(byte);
    }
    return text;
}

std::string wwid_of(const Lun &lun)
{
    std::string wwid = "3";
    for (int byte : designator_bytes(lun)) {
        wwid += hex_byte(byte);
    }
    return wwid;
}

std::string node_text(const Lun &lun, const Path &path)
{
    // cp 0..3 = controller 1 port 1, controller 1 port 2, controller 2 port 1,
    // controller 2 port 2.
    std::ostringstream text;
    text << "node " << path.dev << "\n"
         << "addr " << path.host << ' ' << path.channel << ' ' << path.id << ' ' << path.lun
         << "\n"
         << "designator 3 " << designator_hex(lun) << "\n";
    if (!lun.alias.empty()) {
        text << "alias \"" << lun.alias << "\"\n";
    }
    text << "port " << (path.cp / 2 + 1) << ' ' << (path.cp % 2 + 1) << "\n";
    return text.str();
}

int default_for(int cp, int lunref)
{
    static const int table[4][4] = {{1, 3, 2, 4}, {2, 4, 3, 1}, {3, 1, 4, 2}, {4, 2, 1, 3}};
    return table[cp][lunref % 4];
}

std::string conf_line(const std::string &wwid, const std::string &alias,
                      const std::vector<Slot> &slots)
{
    std::string line = wwid + ",";
    for (int slot = 0; slot < 4; ++slot) {
        for (int cp = 0; cp < 4; ++cp) {
            const Slot *found = nullptr;
            for (const Slot &s : slots) {
                if (s.cp == cp && s.slot == slot) {
                    found = &s;
                }
            }
            if (found == nullptr) {
                line += "x,0:0:0:0,0,";
                continue;
            }
            const Path &p = found->path;
            line += p.dev + "," + std::to_string(p.host) + ":" + std::to_string(p.channel) + ":" +
                    std::to_string(p.id) + ":" + std::to_string(p.lun) + "," +
                    std::to_string(found->prio) + ",";
        }
    }
    return line + alias + "\n";
}

bool parse_conf(const std::string &text, std::vector<ConfRecord> *records)
{
    records->clear();
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> tokens;
        std::string token;
        for (char c : line) {
            if (c == ',' || c == ':') {
                tokens.push_back(token);
                token.clear();
            } else {
                token += c;
            }
        }
        tokens.push_back(token);
        if (tokens.size() != 98 || tokens[0].empty()) {
            return false;
        }
        ConfRecord rec;
        rec.wwid = tokens[0];
        for (int k = 0; k < 16; ++k) {
            int slot = k / 4;
            int cp = k % 4;
            const std::string *entry = &tokens[1 + 6 * k];
            rec.dev[cp][slot] = entry[0];
            rec.host[cp][slot] = std::atoi(entry[1].c_str());
            rec.prio[cp][slot] = std::atoi(entry[5].c_str());
        }
        rec.alias = tokens[97];
        records->push_back(rec);
    }
    return text.empty() || text.back() == '\n';
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string missing_line(const std::string &text, const std::vector<std::string> &lines)
{
    std::istringstream in(text);
    std::string line;
    std::size_t next = 0;
    while (next < lines.size() && std::getline(in, line)) {
        if (line == lines[next]) {
            ++next;
        }
    }
    return next < lines.size() ? lines[next] : std::string();
}

void SimTest::SetUp()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tald-e2e-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(mkdtemp(buffer.data()), nullptr) << std::strerror(errno);
    dir_ = buffer.data();
    state_ = dir_ + "/cache";
    scenario_path_ = dir_ + "/scenario.scn";
    log_path_ = dir_ + "/sim.log";
    ASSERT_EQ(mkdir(state_.c_str(), 0755), 0);
    scenario("");
}

void SimTest::TearDown()
{
    if (!own_state_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(own_state_, ignored);
    }
    if (!dir_.empty() && !HasFailure()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    } else if (!dir_.empty()) {
        std::printf("kept for inspection: %s\n", dir_.c_str());
    }
}

void SimTest::use_memory_state()
{
    char pattern[] = "/dev/shm/tald-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
    own_state_ = pattern;
    state_ = own_state_;
    sim_log_on_ = false;
}

void SimTest::use_reachable_state()
{
    char pattern[] = "/tmp/tald-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
    own_state_ = pattern;
    state_ = own_state_;
    ASSERT_EQ(chmod(state_.c_str(), 0755), 0);
}

void SimTest::scenario(const std::string &text)
{
    std::ofstream out(scenario_path_, std::ios::binary | std::ios::trunc);
    out << text;
}

bool SimTest::state_exists() const { return access(state_path().c_str(), F_OK) == 0; }

std::string SimTest::state() const { return read_file(state_path()); }

void SimTest::write_state(const std::string &text) const
{
    std::ofstream out(state_path(), std::ios::binary | std::ios::trunc);
    out << text;
}

std::string SimTest::sim_log() const { return read_file(log_path_); }

void SimTest::clear_log() const { std::ofstream out(log_path_, std::ios::trunc); }

Started SimTest::start(const char *program, const std::vector<std::string> &args, int index)
{
    Started started;
    started.begun = std::chrono::steady_clock::now();
    started.out_path = dir_ + "/out." + std::to_string(index);
    started.err_path = dir_ + "/err." + std::to_string(index);

    std::vector<std::string> env_text = {
        std::string("LD_PRELOAD=") + kSimarray,
        "SIMARRAY_SCENARIO=" + scenario_path_,
        "SIMARRAY_STATE_DIR=" + state_,
        "SIMARRAY_LOG=" + (sim_log_on_ ? log_path_ : std::string()),
        "ASAN_OPTIONS=verify_asan_link_order=0",
        "PATH=/usr/bin:/bin",
    };
    env_text.insert(env_text.end(), extra_env_.begin(), extra_env_.end());
    std::vector<char *> env;
    for (std::string &e : env_text) {
        env.push_back(e.data());
    }
    env.push_back(nullptr);

    std::vector<std::string> argv_text = {program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argv_text) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, stdin_source_.c_str(), O_RDONLY, 0);
    const std::string &out_target = stdout_target_.empty() ? started.out_path : stdout_target_;
    posix_spawn_file_actions_addopen(&actions, 1, out_target.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, started.err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Relative "device" words (an argument such as "--helpx") resolve in the
    // test's own directory.
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program, &actions, nullptr, argv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(rc, 0) << "posix_spawn " << program << ": " << std::strerror(rc);
    started.pid = rc == 0 ? pid : -1;
    return started;
}

Outcome SimTest::finish(const Started &started)
{
    Outcome outcome;
    if (started.pid < 0) {
        return outcome;
    }
    int wstatus = 0;
    pid_t waited;
    do {
        waited = waitpid(started.pid, &wstatus, 0);
    } while (waited < 0 && errno == EINTR);
    if (WIFEXITED(wstatus)) {
        outcome.status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        outcome.status = 1000 + WTERMSIG(wstatus);
    }
    outcome.out = read_file(started.out_path);
    outcome.err = read_file(started.err_path);
    return outcome;
}

Outcome SimTest::finish_within(const Started &started, int limit_ms, long *elapsed_ms)
{
    auto since_start = [&started] {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - started.begun)
                                     .count());
    };
    if (started.pid >= 0) {
        for (;;) {
            siginfo_t info = {};
            int rc = waitid(P_PID, static_cast<id_t>(started.pid), &info,
                            WEXITED | WNOHANG | WNOWAIT);
            if (rc != 0 || info.si_pid != 0 || since_start() >= limit_ms) {
                break;
            }
            usleep(2000);
        }
        kill(started.pid, SIGKILL);  // no effect on a run that has ended
    }
    long elapsed = since_start();
    Outcome outcome = finish(started);
    if (elapsed_ms != nullptr) {
        *elapsed_ms = elapsed;
    }
    return outcome;
}

Outcome SimTest::run(const char *program, const std::vector<std::string> &args)
{
    static int counter = 0;
    return finish(start(program, args, counter++));
}

/// The system calls that strace logged (without -f), from the opening of
/// the lock file on, each as its name and its occurrence among the calls of
/// that name since the start (strace's counter for "when=").
std::vector<std::pair<std::string, int>> calls_from_lock(const std::string &log)
{
    std::vector<std::pair<std::string, int>> calls;
    std::map<std::string, int> seen;
    std::istringstream lines(log);
    std::string line;
    bool locked = false;
    while (std::getline(lines, line)) {
        std::size_t paren = line.find('(');
        if (paren == std::string::npos || paren == 0 || line[0] == '+' || line[0] == '-') {
            continue;
        }
        std::string name = line.substr(0, paren);
        int occurrence = ++seen[name];
        locked = locked || line.find("tald.lock") != std::string::npos;
        if (locked) {
            calls.emplace_back(name, occurrence);
        }
    }
    return calls;
}

}  // namespace e2e

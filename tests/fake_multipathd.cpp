// A scripted multipathd on the daemon's own socket, for tald run with the
// real libmpathcmd.so.0: it enters a private network namespace (abstract
// socket names are per namespace, so it meets no real daemon and no other
// test), binds the name there in a child that runs as the given user, and
// execs the program in the same namespace. The child ends with the program
// (or after two minutes), and speaks the daemon's wire format: a command is
// its length (a size_t) and its bytes; a reply the same.
//
//   fake_multipathd [-u USER] [-d DIR] [-t MS] [-l MS] [-s MS] -- PROGRAM ARGS...
//     -u  the user the daemon runs as (default root)
//     -d  the replies: DIR/paths to `show paths format` (rows of the fields
//         %d|%D|%i|%w|%p|%T|%t|%m; a format without %i gets them without
//         the third, as an older tald asks), DIR/maps.json to
//         `show maps json` and `show map NAME json`; "fail" otherwise
//     -t  after the length, one byte of the reply every MS ms
//     -l  the length itself one byte every MS ms
//     -s  the replies to `show map...` only after MS ms
// Needs root (the namespace, the user).
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr char kSocketName[] = "/org/kernel/linux/storage/multipathd";
constexpr unsigned kLifeSeconds = 120;

/// What the daemon answers; the replies are read before it becomes the
/// user, who may not reach the test's directory.
struct Script {
    std::string user = "root";
    std::string paths = "fail\n";
    std::string maps = "fail\n";
    int trickle_ms = 0;
    int trickle_length_ms = 0;
    int slow_maps_ms = 0;
};

void pause_ms(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

std::string file(const std::string &dir, const char *name)
{
    std::ifstream in(dir + "/" + name, std::ios::binary);
    if (!in)
        return "fail\n";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool read_all(int fd, void *buf, std::size_t len)
{
    for (std::size_t got = 0; got < len;) {
        ssize_t n = read(fd, static_cast<char *>(buf) + got, len - got);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

/// Sends bytes [0, len), one every `ms` ms when ms > 0. false once the
/// client has gone.
bool send_bytes(int fd, const char *bytes, std::size_t len, int ms)
{
    for (std::size_t done = 0; done < len;) {
        std::size_t chunk = ms > 0 ? 1 : len - done;
        ssize_t n = send(fd, bytes + done, chunk, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
        if (ms > 0)
            pause_ms(ms);
    }
    return true;
}

/// The rows without their third field.
std::string without_address(const std::string &rows)
{
    std::string out;
    std::istringstream in(rows);
    for (std::string line; std::getline(in, line);) {
        std::size_t second = line.find('|', line.find('|') + 1);
        std::size_t third = second == std::string::npos ? second : line.find('|', second + 1);
        if (third != std::string::npos)
            line.erase(second, third - second);
        out += line + "\n";
    }
    return out;
}

void answer(const Script &s, int fd)
{
    std::size_t len = 0;
    if (!read_all(fd, &len, sizeof len) || len > 4096)
        return;
    std::string cmd(len, '\0');
    if (!read_all(fd, cmd.data(), len))
        return;
    cmd = cmd.c_str();
    std::string reply = "fail\n";
    if (cmd.rfind("show paths format ", 0) == 0) {
        reply = cmd.find("%i") != std::string::npos ? s.paths : without_address(s.paths);
    } else if (cmd.rfind("show map", 0) == 0) {
        pause_ms(s.slow_maps_ms);
        reply = s.maps;
    }
    std::size_t size = reply.size() + 1;
    if (send_bytes(fd, reinterpret_cast<const char *>(&size), sizeof size, s.trickle_length_ms))
        send_bytes(fd, reply.c_str(), size, s.trickle_ms);
}

/// The daemon: binds the name as the script's user, says so on `ready`,
/// then answers one connection after the other.
[[noreturn]] void serve(const Script &s, int ready)
{
    passwd *pw = getpwnam(s.user.c_str());
    if (pw == nullptr || setgroups(0, nullptr) != 0 || setgid(pw->pw_gid) != 0 ||
        setuid(pw->pw_uid) != 0)
        _exit(1);
    // After setuid, which clears it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(kLifeSeconds);
    int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, kSocketName, sizeof kSocketName - 1);
    auto size = static_cast<socklen_t>(sizeof(sa_family_t) + 1 + sizeof kSocketName - 1);
    if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&addr), size) != 0 || listen(lfd, 16) != 0)
        _exit(1);
    if (write(ready, "r", 1) != 1)
        _exit(1);
    close(ready);
    for (;;) {
        int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        answer(s, fd);
        close(fd);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Script s;
    int opt;
    while ((opt = getopt(argc, argv, "+u:d:t:l:s:")) != -1) {
        switch (opt) {
        case 'u': s.user = optarg; break;
        case 'd':
            s.paths = file(optarg, "paths");
            s.maps = file(optarg, "maps.json");
            break;
        case 't': s.trickle_ms = std::atoi(optarg); break;
        case 'l': s.trickle_length_ms = std::atoi(optarg); break;
        case 's': s.slow_maps_ms = std::atoi(optarg); break;
        default: return 2;
        }
    }
    if (optind >= argc || unshare(CLONE_NEWNET) != 0) {
        std::perror("fake_multipathd");
        return 2;
    }
    int ready[2];
    if (pipe(ready) != 0)
        return 2;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        serve(s, ready[1]);
    }
    close(ready[1]);
    char c = 0;
    if (pid < 0 || read(ready[0], &c, 1) != 1) {
        std::fprintf(stderr, "fake_multipathd: the daemon did not start\n");
        return 2;
    }
    close(ready[0]);
    execv(argv[optind], argv + optind);
    std::perror(argv[optind]);
    return 2;
}

// A stand-in for libmpathcmd.so.0 for tald's tests: no daemon. A connection
// is one end of a socket pair, whose other end (this process: root in the
// tests, as the daemon) carries the reply in multipathd's wire format, the
// length and then the bytes, written by a thread of its own so that a reply
// of any size fits. FAKE_MPATHD_DIR names a directory that scripts it:
//   refuse        present: every connect fails with ECONNREFUSED
//   silent        present: no reply ever comes
//   paths.N       the reply to the N-th `show paths format` of the run
//                 (from 0; the highest present serves every later one)
//   map.NAME.json the reply to `show map NAME json`
//   maps.json     the reply to `show maps json`, and to `show map NAME json`
//                 without a map.NAME.json
//   commands      every command sent is appended here, one a line
// Any other command is answered "fail".
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>

namespace {

int paths_asked = 0;
/// The daemon's end of each connection, by the client's end.
std::map<int, int> daemon_ends;

std::string dir() { return std::getenv("FAKE_MPATHD_DIR") ? std::getenv("FAKE_MPATHD_DIR") : "."; }

bool exists(const std::string &name) { return access((dir() + "/" + name).c_str(), F_OK) == 0; }

bool read_reply(const std::string &name, std::string *reply)
{
    FILE *f = std::fopen((dir() + "/" + name).c_str(), "rb");
    if (f == nullptr)
        return false;
    reply->clear();
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        reply->append(buf, n);
    std::fclose(f);
    return true;
}

std::string answer(const char *cmd)
{
    std::string reply = "fail\n";
    if (std::strncmp(cmd, "show paths format ", 18) == 0) {
        for (int k = paths_asked++; k >= 0; --k) {
            if (read_reply("paths." + std::to_string(k), &reply))
                break;
        }
    } else if (std::strcmp(cmd, "show maps json") == 0) {
        read_reply("maps.json", &reply);
    } else if (std::strncmp(cmd, "show map ", 9) == 0 && std::strstr(cmd, " json") != nullptr) {
        std::string map(cmd + 9, std::strstr(cmd, " json"));
        if (!read_reply("map." + map + ".json", &reply))
            read_reply("maps.json", &reply);
    }
    return reply;
}

/// Writes the reply as the daemon does (its NUL counted in) and closes.
void serve(int fd, std::string reply)
{
    std::size_t len = reply.size() + 1;
    std::string wire(reinterpret_cast<const char *>(&len), sizeof len);
    wire.append(reply.c_str(), len);
    for (std::size_t done = 0; done < wire.size();) {
        ssize_t n = send(fd, wire.data() + done, wire.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

}  // namespace

extern "C" {

int mpath_connect__(int)
{
    if (exists("refuse")) {
        errno = ECONNREFUSED;
        return -1;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return -1;
    daemon_ends[ends[0]] = ends[1];
    return ends[0];
}

int mpath_connect() { return mpath_connect__(0); }

int mpath_disconnect(int fd)
{
    auto end = daemon_ends.find(fd);
    // A reply still being written ends on the closed socket; a silent
    // daemon's end is closed here.
    if (end != daemon_ends.end() && end->second >= 0)
        close(end->second);
    daemon_ends.erase(fd);
    return close(fd);
}

int mpath_send_cmd(int fd, const char *cmd)
{
    FILE *log = std::fopen((dir() + "/commands").c_str(), "a");
    if (log != nullptr) {
        std::fprintf(log, "%s\n", cmd);
        std::fclose(log);
    }
    std::string reply = answer(cmd);
    auto end = daemon_ends.find(fd);
    if (end == daemon_ends.end() || exists("silent"))
        return 0;
    std::thread(serve, end->second, reply).detach();
    end->second = -1;
    return 0;
}

}  // extern "C"

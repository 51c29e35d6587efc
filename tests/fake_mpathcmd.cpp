// A stand-in for libmpathcmd.so.0 for tald's tests: no socket, no daemon.
// FAKE_MPATHD_DIR names a directory that scripts it:
//   refuse        present: every connect fails with ECONNREFUSED
//   silent        present: every reply times out after the caller's bound
//   paths.N       the reply to the N-th `show paths format` of the run
//                 (from 0; the highest present serves every later one)
//   maps.json     the reply to `show maps json` and `show map NAME json`
//   commands      every command sent is appended here, one a line
// Any other command is answered "fail".
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int paths_asked = 0;
std::string reply;

std::string dir() { return std::getenv("FAKE_MPATHD_DIR") ? std::getenv("FAKE_MPATHD_DIR") : "."; }

bool exists(const std::string &name) { return access((dir() + "/" + name).c_str(), F_OK) == 0; }

bool read_reply(const std::string &name)
{
    FILE *f = std::fopen((dir() + "/" + name).c_str(), "rb");
    if (f == nullptr)
        return false;
    reply.clear();
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        reply.append(buf, n);
    std::fclose(f);
    return true;
}

void answer(const char *cmd)
{
    reply = "fail\n";
    if (std::strncmp(cmd, "show paths format ", 18) == 0) {
        for (int k = paths_asked++; k >= 0; --k) {
            if (read_reply("paths." + std::to_string(k)))
                break;
        }
    } else if (std::strstr(cmd, " json") != nullptr && std::strncmp(cmd, "show map", 8) == 0) {
        read_reply("maps.json");
    }
}

}  // namespace

extern "C" {

int mpath_connect__(int)
{
    if (exists("refuse")) {
        errno = ECONNREFUSED;
        return -1;
    }
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

int mpath_connect() { return mpath_connect__(0); }

int mpath_disconnect(int fd) { return close(fd); }

int mpath_send_cmd(int, const char *cmd)
{
    FILE *log = std::fopen((dir() + "/commands").c_str(), "a");
    if (log != nullptr) {
        std::fprintf(log, "%s\n", cmd);
        std::fclose(log);
    }
    answer(cmd);
    return 0;
}

ssize_t mpath_recv_reply_len(int, unsigned int timeout)
{
    if (exists("silent")) {
        usleep(timeout * 1000);
        errno = ETIMEDOUT;
        return -1;
    }
    return static_cast<ssize_t>(reply.size() + 1);
}

int mpath_recv_reply_data(int, char *buf, size_t len, unsigned int)
{
    std::memcpy(buf, reply.c_str(), len < reply.size() + 1 ? len : reply.size() + 1);
    return 0;
}

}  // extern "C"

#include "command/multipathd.hpp"

#include <dlfcn.h>
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kLibrary = "libmpathcmd.so.0";
/// Between two tries of a connect that found the daemon's backlog full.
constexpr long kConnectRetryNs = 10L * 1000 * 1000;
constexpr const char *kMapsJson = "show maps json";
constexpr const char *kMapJsonFormat = "show map %s json";

/// What is left of the bound in ms, at least 1 while any is left; 0 once
/// it has passed.
unsigned left_ms(long long deadline)
{
    long long left = deadline - daemon_clock_ms();
    return left > 0 ? static_cast<unsigned>(left) : 0;
}

template <typename F>
bool bind(void *handle, const char *name, F *fn)
{
    *fn = reinterpret_cast<F>(dlsym(handle, name));
    return *fn != nullptr;
}

/// A connection to the daemon, closed through the library when it ends.
struct Connection {
    const DaemonLink &link;
    int fd;
    ~Connection()
    {
        if (fd >= 0)
            link.disconnect(fd);
    }
};

/// SIGPIPE ignored while the command is written: a daemon that went away
/// must give an error, not end tald.
struct QuietPipe {
    struct sigaction old = {};
    QuietPipe()
    {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &old);
    }
    ~QuietPipe() { sigaction(SIGPIPE, &old, nullptr); }
};

/// A connection within the bound: a full backlog (EAGAIN) is tried again;
/// any other failure means no daemon listens. -1 with *reach set.
int connect_within(const DaemonLink &link, long long deadline, DaemonReach *reach)
{
    if (link.connect_nb == nullptr) {
        int fd = link.connect();
        *reach = kDaemonNoSocket;
        return fd;
    }
    for (;;) {
        int fd = link.connect_nb(1);
        if (fd >= 0)
            return fd;
        *reach = kDaemonNoSocket;
        if (errno != EAGAIN)
            return -1;
        if (left_ms(deadline) == 0) {
            *reach = kDaemonTimedOut;
            return -1;
        }
        timespec pause = {0, kConnectRetryNs};
        nanosleep(&pause, nullptr);
    }
}

DaemonReach failed_receive()
{
    return errno == ETIMEDOUT ? kDaemonTimedOut : kDaemonRefused;
}

}  // namespace

int daemon_link_open(DaemonLink *link)
{
    *link = DaemonLink{};
    link->handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (link->handle == nullptr)
        return -1;
    // The non-blocking connect is named __mpath_connect before 0.10 and
    // mpath_connect__ from then on.
    if (!bind(link->handle, "mpath_connect__", &link->connect_nb))
        bind(link->handle, "__mpath_connect", &link->connect_nb);
    if (bind(link->handle, "mpath_connect", &link->connect) &&
        bind(link->handle, "mpath_disconnect", &link->disconnect) &&
        bind(link->handle, "mpath_send_cmd", &link->send_cmd) &&
        bind(link->handle, "mpath_recv_reply_len", &link->recv_len) &&
        bind(link->handle, "mpath_recv_reply_data", &link->recv_data))
        return 0;
    daemon_link_close(link);
    return -1;
}

void daemon_link_close(DaemonLink *link)
{
    if (link->handle != nullptr)
        dlclose(link->handle);
    *link = DaemonLink{};
}

DaemonReach daemon_ask(const DaemonLink &link, const char *cmd, int bound_ms, char **reply,
                       std::size_t *len)
{
    *reply = nullptr;
    *len = 0;
    if (link.handle == nullptr)
        return kDaemonNoLibrary;
    long long deadline = daemon_clock_ms() + (bound_ms > 0 ? bound_ms : 0);
    DaemonReach reach = kDaemonNoSocket;
    Connection conn{link, connect_within(link, deadline, &reach)};
    if (conn.fd < 0)
        return reach;
    {
        QuietPipe quiet;
        if (link.send_cmd(conn.fd, cmd) != 0)
            return kDaemonNoSocket;
    }
    unsigned left = left_ms(deadline);
    if (left == 0)
        return kDaemonTimedOut;
    ssize_t n = link.recv_len(conn.fd, left);
    if (n < 0)
        return failed_receive();
    if (static_cast<std::size_t>(n) > kMaxDaemonReply)
        return kDaemonRefused;
    auto size = static_cast<std::size_t>(n);
    char *text = static_cast<char *>(std::malloc(size + 1));
    if (text == nullptr)
        return kDaemonRefused;
    left = left_ms(deadline);
    if (size > 0 && (left == 0 || link.recv_data(conn.fd, text, size, left) != 0)) {
        DaemonReach why = left == 0 ? kDaemonTimedOut : failed_receive();
        std::free(text);
        return why;
    }
    text[size] = '\0';
    *reply = text;
    // The daemon counts the string's NUL into the length.
    *len = strnlen(text, size);
    return kDaemonReached;
}

namespace {

int by_dev(const void *a, const void *b)
{
    return std::strcmp(static_cast<const DaemonPath *>(a)->dev,
                       static_cast<const DaemonPath *>(b)->dev);
}

/// The rows of the paths reply, sorted by name; false when out of memory.
bool read_rows(const char *text, std::size_t len, DaemonView *view)
{
    std::size_t lines = 0;
    for (std::size_t i = 0; i < len; ++i)
        lines += text[i] == '\n' ? 1 : 0;
    view->paths = static_cast<DaemonPath *>(std::malloc((lines + 1) * sizeof(DaemonPath)));
    if (view->paths == nullptr)
        return false;
    std::size_t pos = 0;
    const char *line = nullptr;
    std::size_t n = 0;
    while (daemon_next_line(text, len, &pos, &line, &n) && view->count <= lines) {
        if (daemon_path_row(line, n, &view->paths[view->count]))
            ++view->count;
    }
    std::qsort(view->paths, view->count, sizeof(DaemonPath), by_dev);
    return true;
}

void set_group(void *context, const char *dev, DaemonGroup group)
{
    auto *view = static_cast<DaemonView *>(context);
    auto *path = const_cast<DaemonPath *>(daemon_find(*view, dev));
    if (path != nullptr)
        path->group = group;
}

/// A map name that the daemon reads back as one word of a command.
bool one_word(const char *map)
{
    if (map == nullptr || map[0] == '\0' || std::strcmp(map, "[orphan]") == 0)
        return false;
    return std::strpbrk(map, " \t\n\"'{}#!") == nullptr;
}

void read_groups(const DaemonLink &link, int bound_ms, const char *map, DaemonView *view)
{
    char cmd[sizeof kMapJsonFormat + kDaemonMapSize];
    if (one_word(map))
        std::snprintf(cmd, sizeof cmd, kMapJsonFormat, map);
    else
        std::snprintf(cmd, sizeof cmd, "%s", kMapsJson);
    char *text = nullptr;
    std::size_t len = 0;
    if (daemon_ask(link, cmd, bound_ms, &text, &len) == kDaemonReached)
        daemon_groups(text, len, {set_group, view});
    std::free(text);
}

}  // namespace

void daemon_view(const DaemonLink &link, int bound_ms, bool groups, const char *map,
                 DaemonView *view)
{
    daemon_view_free(view);
    char *text = nullptr;
    std::size_t len = 0;
    view->reach = daemon_ask(link, kPathsCommand, bound_ms, &text, &len);
    if (view->reach == kDaemonReached && !read_rows(text, len, view))
        view->reach = kDaemonRefused;
    if (view->reach == kDaemonReached && view->count == 0 && daemon_reply_failed(text, len))
        view->reach = kDaemonRefused;
    std::free(text);
    if (view->reach == kDaemonReached && groups && view->count > 0)
        read_groups(link, bound_ms, map, view);
}

void daemon_view_free(DaemonView *view)
{
    std::free(view->paths);
    *view = DaemonView{};
}

const DaemonPath *daemon_find(const DaemonView &view, const char *dev)
{
    if (std::strncmp(dev, "/dev/", 5) == 0)
        dev += 5;
    DaemonPath key{};
    std::size_t n = strnlen(dev, sizeof key.dev);
    if (n == sizeof key.dev)
        return nullptr;
    std::memcpy(key.dev, dev, n);
    return static_cast<const DaemonPath *>(
        std::bsearch(&key, view.paths, view.count, sizeof(DaemonPath), by_dev));
}

const DaemonPath *daemon_find_devt(const DaemonView &view, unsigned major, unsigned minor)
{
    for (std::size_t i = 0; i < view.count; ++i) {
        if (view.paths[i].major == major && view.paths[i].minor == minor)
            return &view.paths[i];
    }
    return nullptr;
}

const char *daemon_group_text(DaemonGroup group)
{
    switch (group) {
    case kGroupActive:
        return "active";
    case kGroupEnabled:
        return "enabled";
    case kGroupDisabled:
        return "disabled";
    default:
        return "unknown";
    }
}

const char *daemon_reach_text(const DaemonView &view)
{
    switch (view.reach) {
    case kDaemonReached:
        return "reached";
    case kDaemonNoLibrary:
        return "libmpathcmd.so.0 not found";
    case kDaemonNoSocket:
        return "no daemon listening";
    case kDaemonTimedOut:
        return "no answer in time";
    default:
        return "no answer read";
    }
}

long long daemon_clock_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

#include "daemon/multipathd.hpp"

#include "base/clock.hpp"
#include "base/grow_array.hpp"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kLibrary = "libmpathcmd.so.0";
/// Between two tries of a connect that found the daemon's backlog full.
constexpr long kConnectRetryNs = 10L * 1000 * 1000;

/// What is left of the bound in ms, at least 1 while any is left; 0 once
/// it has passed.
unsigned left_ms(long long deadline)
{
    long long left = deadline - monotonic_ms();
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

/// Whether the peer of a connected socket runs as root: only then is it
/// the daemon, whoever else may hold the socket's name.
bool peer_is_root(int fd)
{
    ucred cred = {};
    socklen_t size = sizeof cred;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0 && size == sizeof cred &&
           cred.uid == 0;
}

/// Reads len bytes into buf by the deadline, however the peer spreads
/// them. kDaemonReached, kDaemonTimedOut, or kDaemonRefused when the peer
/// closed first or the socket failed.
DaemonReach read_within(int fd, char *buf, std::size_t len, long long deadline)
{
    std::size_t got = 0;
    while (got < len) {
        unsigned left = left_ms(deadline);
        if (left == 0)
            return kDaemonTimedOut;
        pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            return kDaemonRefused;
        if (ready <= 0)
            continue;
        ssize_t n = recv(fd, buf + got, len - got, MSG_DONTWAIT);
        if (n == 0)
            return kDaemonRefused;
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return kDaemonRefused;
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return kDaemonReached;
}

/// The daemon's reply as its client reads it: the length (a size_t) and
/// then that many bytes. The buffer is taken whole for the length announced
/// (memory that the bytes never fill is never touched).
DaemonReach receive(int fd, long long deadline, GrowArray<char> *reply)
{
    std::size_t size = 0;
    DaemonReach reach = read_within(fd, reinterpret_cast<char *>(&size), sizeof size, deadline);
    if (reach != kDaemonReached)
        return reach;
    if (size > kMaxDaemonReply)
        return kDaemonTooLong;
    if (!reply->reserve(size + 1, size + 1))
        return kDaemonRefused;
    reach = read_within(fd, reply->items, size, deadline);
    if (reach != kDaemonReached)
        return reach;
    reply->count = size;
    reply->items[size] = '\0';
    return kDaemonReached;
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
        bind(link->handle, "mpath_send_cmd", &link->send_cmd))
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
    long long deadline = monotonic_ms() + (bound_ms > 0 ? bound_ms : 0);
    DaemonReach reach = kDaemonNoSocket;
    Connection conn{link, connect_within(link, deadline, &reach)};
    if (conn.fd < 0)
        return reach;
    if (!peer_is_root(conn.fd))
        return kDaemonNoSocket;
    {
        QuietPipe quiet;
        if (link.send_cmd(conn.fd, cmd) != 0)
            return kDaemonNoSocket;
    }
    GrowArray<char> text;
    reach = receive(conn.fd, deadline, &text);
    if (reach != kDaemonReached) {
        text.free();
        return reach;
    }
    // The daemon counts the string's NUL into the length.
    *len = strnlen(text.items, text.count);
    *reply = text.items;
    return kDaemonReached;
}

namespace {

int by_dev(const void *a, const void *b)
{
    return std::strcmp(static_cast<const DaemonPath *>(a)->dev,
                       static_cast<const DaemonPath *>(b)->dev);
}

/// The address as the store keeps it: the probe's SCSI_IOCTL_GET_IDLUN
/// gives the channel, the target and the LUN by their low byte only (the
/// host number whole).
int compare_address(const DaemonPath &a, const DaemonPath &b)
{
    const int left[] = {a.host, a.channel & 0xff, a.id & 0xff, a.lun & 0xff};
    const int right[] = {b.host, b.channel & 0xff, b.id & 0xff, b.lun & 0xff};
    for (int k = 0; k < 4; ++k) {
        if (left[k] != right[k])
            return left[k] < right[k] ? -1 : 1;
    }
    return std::strcmp(a.wwid, b.wwid);
}

int by_address(const void *a, const void *b)
{
    return compare_address(**static_cast<const DaemonPath *const *>(a),
                           **static_cast<const DaemonPath *const *>(b));
}

/// The rows of the paths reply, which the view keeps, sorted by name and by
/// address: one record per row, counted first. false when out of memory.
bool read_rows(char *text, std::size_t len, DaemonView *view)
{
    view->text = text;
    std::size_t rows = daemon_row_count(text, len);
    view->paths = static_cast<DaemonPath *>(std::malloc((rows + 1) * sizeof(DaemonPath)));
    view->by_address =
        static_cast<const DaemonPath **>(std::malloc((rows + 1) * sizeof(DaemonPath *)));
    if (view->paths == nullptr || view->by_address == nullptr)
        return false;
    std::size_t pos = 0;
    const char *line = nullptr;
    std::size_t n = 0;
    while (daemon_next_line(text, len, &pos, &line, &n) && view->count < rows) {
        if (daemon_path_row(text + (line - text), n, &view->paths[view->count]))
            ++view->count;
    }
    std::qsort(view->paths, view->count, sizeof(DaemonPath), by_dev);
    for (std::size_t i = 0; i < view->count; ++i)
        view->by_address[i] = &view->paths[i];
    std::qsort(view->by_address, view->count, sizeof(DaemonPath *), by_address);
    return true;
}

}  // namespace

void daemon_view(const DaemonLink &link, int bound_ms, DaemonView *view)
{
    daemon_view_free(view);
    char *text = nullptr;
    std::size_t len = 0;
    view->reach = daemon_ask(link, kPathsCommand, bound_ms, &text, &len);
    if (view->reach == kDaemonReached && daemon_reply_failed(text, len))
        view->reach = kDaemonRefused;
    if (view->reach != kDaemonReached) {
        std::free(text);
        return;
    }
    if (!read_rows(text, len, view))
        view->reach = kDaemonRefused;
}

void daemon_view_free(DaemonView *view)
{
    std::free(view->text);
    std::free(view->paths);
    std::free(view->by_address);
    *view = DaemonView{};
}

const DaemonPath *daemon_find(const DaemonView &view, const char *dev)
{
    if (std::strncmp(dev, "/dev/", 5) == 0)
        dev += 5;
    DaemonPath key{};
    key.dev = dev;
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

const DaemonPath *daemon_find_path(const DaemonView &view, const char *wwid, int host,
                                   int channel, int id, int lun)
{
    if (host < 0 || channel < 0 || id < 0 || lun < 0)
        return nullptr;
    DaemonPath key{};
    key.wwid = wwid;
    key.host = host;
    key.channel = channel;
    key.id = id;
    key.lun = lun;
    const DaemonPath *pkey = &key;
    auto *found = static_cast<const DaemonPath *const *>(
        std::bsearch(&pkey, view.by_address, view.count, sizeof(DaemonPath *), by_address));
    return found != nullptr ? *found : nullptr;
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

const char *daemon_reach_text(DaemonReach reach)
{
    switch (reach) {
    case kDaemonReached:
        return "reached";
    case kDaemonNoLibrary:
        return "libmpathcmd.so.0 not found";
    case kDaemonNoSocket:
        return "no daemon listening";
    case kDaemonTimedOut:
        return "no answer in time";
    case kDaemonTooLong:
        return "reply too long";
    case kDaemonSaidFail:
        return "answered \"fail\"";
    case kDaemonSaidTimeout:
        return "answered \"timeout\"";
    case kDaemonNotJson:
        return "reply cut short or not JSON";
    default:
        return "no answer read";
    }
}

#include "command/daemon_wait.hpp"

#include "command/multipathd.hpp"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <cstring>

namespace {

/// The bound of one exchange: the client's own default reply time-out.
constexpr int kExchangeMs = 4000;
/// Between two polls: the daemon's shortest path check interval is 1 s.
constexpr int kPollMs = 1000;
/// The least an exchange is given at the end of the wait's bound: the last
/// look must not count as no answer because the bound ran out under it.
constexpr int kLastExchangeMs = 500;

constexpr const char *kFmtReported =
    "multipathd: %s priority %d, %s, path group %s, after %.1f s\n";
constexpr const char *kFmtOther =
    "multipathd: %s priority %d, not %d, %s, path group %s, after %d s\n";
constexpr const char *kFmtUnknown = "multipathd: %s not among its paths after %d s\n";
constexpr const char *kFmtNotReached = "multipathd: not reached (%s)\n";

/// An exchange's bound when `left` ms of the wait's bound remain.
int exchange_bound(long long left)
{
    if (left >= kExchangeMs)
        return kExchangeMs;
    return left > kLastExchangeMs ? static_cast<int>(left) : kLastExchangeMs;
}

void pause_ms(long long ms)
{
    timespec ts = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    nanosleep(&ts, nullptr);
}

/// How the daemon's path is told from the others.
struct Target {
    const char *name;  ///< the node's name, without "/dev/"
    bool by_devt;
    unsigned major;
    unsigned minor;
};

Target target_of(const char *path)
{
    Target t{path, false, 0, 0};
    const char *slash = std::strrchr(path, '/');
    if (slash != nullptr)
        t.name = slash + 1;
    struct stat st = {};
    if (stat(path, &st) == 0 && S_ISBLK(st.st_mode)) {
        t.by_devt = true;
        t.major = major(st.st_rdev);
        t.minor = minor(st.st_rdev);
    }
    return t;
}

const DaemonPath *find(const DaemonView &view, const Target &t)
{
    return t.by_devt ? daemon_find_devt(view, t.major, t.minor) : daemon_find(view, t.name);
}

int not_reached(const DaemonView &view, FILE *out)
{
    std::fprintf(out, kFmtNotReached, daemon_reach_text(view));
    return kWaitNotReached;
}

/// The last look, with the group of the path in `map` (its map's own JSON;
/// every map's when the path was not found): the line for what the daemon
/// holds.
int report(const DaemonLink &link, const Target &t, const char *map, int prio, long long start,
           int seconds, FILE *out)
{
    DaemonView view;
    daemon_view(link, kExchangeMs, true, map, &view);
    const DaemonPath *path = find(view, t);
    int rc = 0;
    if (view.reach != kDaemonReached) {
        rc = not_reached(view, out);
    } else if (path == nullptr) {
        std::fprintf(out, kFmtUnknown, t.name, seconds);
        rc = kWaitTimedOut;
    } else if (path->prio == prio) {
        std::fprintf(out, kFmtReported, path->dev, path->prio, path->checker,
                     daemon_group_text(path->group), (daemon_clock_ms() - start) / 1000.0);
    } else {
        std::fprintf(out, kFmtOther, path->dev, path->prio, prio, path->checker,
                     daemon_group_text(path->group), seconds);
        rc = kWaitTimedOut;
    }
    daemon_view_free(&view);
    return rc;
}

}  // namespace

int daemon_wait(const char *path, int prio, int seconds, FILE *out)
{
    long long start = daemon_clock_ms();
    long long deadline = start + static_cast<long long>(seconds) * 1000;
    Target t = target_of(path);
    DaemonLink link;
    DaemonView view;
    if (daemon_link_open(&link) != 0)
        return not_reached(view, out);
    int rc = 0;
    for (;;) {
        long long left = deadline - daemon_clock_ms();
        daemon_view(link, exchange_bound(left), false, nullptr, &view);
        if (view.reach != kDaemonReached) {
            rc = not_reached(view, out);
            break;
        }
        const DaemonPath *found = find(view, t);
        left = deadline - daemon_clock_ms();
        if ((found != nullptr && found->prio == prio) || left <= 0) {
            rc = report(link, t, found != nullptr ? found->map : nullptr, prio, start, seconds,
                        out);
            break;
        }
        pause_ms(left < kPollMs ? left : kPollMs);
    }
    daemon_view_free(&view);
    daemon_link_close(&link);
    return rc;
}

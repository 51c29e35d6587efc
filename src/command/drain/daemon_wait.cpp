#include "command/drain/daemon_wait.hpp"

#include "base/clock.hpp"
#include "base/text.hpp"
#include "base/pathinfo.hpp"
#include "command/fleet/fleet.hpp"
#include "command/listing/list_json.hpp"
#include "daemon/multipathd.hpp"
#include "store/file.hpp"
#include "store/store.hpp"

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
/// The longest a name or state of the daemon's is shown.
constexpr std::size_t kShownSize = 128;

constexpr const char *kFmtReported =
    "multipathd: %s priority %d, %s, path group %s, after %.1f s\n";
constexpr const char *kFmtOther =
    "multipathd: %s priority %d, not %d, %s, path group %s, after %d s\n";
constexpr const char *kFmtUnknown = "multipathd: %s not among its paths after %d s\n";
constexpr const char *kFmtNotReached = "multipathd: not reached (%s)\n";
/// A path group that could not be read, where the line gives its state.
constexpr const char *kFmtGroupNotRead = "not read (%s)";

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

int not_reached(DaemonReach reach, FILE *out)
{
    std::fprintf(out, kFmtNotReached, daemon_reach_text(reach));
    return kWaitNotReached;
}

/// The whole seconds since `start`, rounded.
int seconds_since(long long start)
{
    return static_cast<int>((monotonic_ms() - start + 500) / 1000);
}

/// The state of the path's group as the line gives it, or why its map's
/// groups were not read.
const char *group_shown(const DaemonView &view, const DaemonPath &path, char *buf, std::size_t size)
{
    if (path.group != kGroupNotRead)
        return daemon_group_text(path.group);
    std::snprintf(buf, size, kFmtGroupNotRead, daemon_reach_text(view.groups_reach));
    return buf;
}

/// The line for what the daemon holds, from the last look (`view`, where
/// `path` is the path it found, or nullptr), with the group of the path
/// asked of its map's JSON within what is left of the wait's bound. The
/// daemon's texts are shown as the listing shows names.
int report(const DaemonLink &link, const Target &t, DaemonView *view, const DaemonPath *path,
           int prio, long long start, long long deadline, FILE *out)
{
    char shown[kShownSize];
    if (path == nullptr) {
        std::fprintf(out, kFmtUnknown, shown_name(t.name, shown, sizeof shown),
                     seconds_since(start));
        return kWaitTimedOut;
    }
    daemon_view_groups(link, exchange_bound(deadline - monotonic_ms()), path->map, view);
    char checker[kShownSize];
    char group[kShownSize];
    shown_name(path->dev, shown, sizeof shown);
    shown_name(path->checker, checker, sizeof checker);
    if (path->prio == prio) {
        std::fprintf(out, kFmtReported, shown, path->prio, checker,
                     group_shown(*view, *path, group, sizeof group),
                     (monotonic_ms() - start) / 1000.0);
        return 0;
    }
    std::fprintf(out, kFmtOther, shown, path->prio, prio, checker,
                 group_shown(*view, *path, group, sizeof group), seconds_since(start));
    return kWaitTimedOut;
}

}  // namespace

int daemon_wait(const char *path, int prio, int seconds, FILE *out, const AfterLock &)
{
    long long start = monotonic_ms();
    long long deadline = start + static_cast<long long>(seconds) * 1000;
    Target t = target_of(path);
    DaemonLink link;
    DaemonView view;
    if (daemon_link_open(&link) != 0)
        return not_reached(kDaemonNoLibrary, out);
    int rc = 0;
    for (;;) {
        long long left = deadline - monotonic_ms();
        daemon_view(link, exchange_bound(left), &view);
        if (view.reach != kDaemonReached) {
            rc = not_reached(view.reach, out);
            break;
        }
        const DaemonPath *found = find(view, t);
        left = deadline - monotonic_ms();
        if ((found != nullptr && found->prio == prio) || left <= 0) {
            rc = report(link, t, &view, found, prio, start, deadline, out);
            break;
        }
        pause_ms(left < kPollMs ? left : kPollMs);
    }
    daemon_view_free(&view);
    daemon_link_close(&link);
    return rc;
}

namespace {

constexpr const char *kFmtLunsMoved = "multipathd: active path groups of %zu LUN%s %s after %.1f s\n";
constexpr const char *kFmtNotMoved = "not moved: %s %s (%s)\n";
constexpr const char *kFmtLunsNotMoved = "multipathd: %zu of %zu LUN%s not moved after %d s\n";

constexpr const char *kWhyPriorities = "priorities not taken up";
constexpr const char *kFmtWhyGroup = "active group: %s";
constexpr const char *kFmtWhyNotRead = "path groups not read: %s";

/// How far the daemon follows one stored LUN.
enum LunFollow {
    kLunNotHeld,
    kLunFollows,
    kLunSwitched,
    kLunPrioritiesDiffer,
    kLunOtherGroup,
    kLunGroupsNotRead,  ///< its map's groups could not be read: not seen to move
};

LunFollow follow_of(const DaemonView &view, const pathinfo &rec, char *active, std::size_t size)
{
    int top = 0;
    bool held = false;
    bool taken = true;
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            int prio = rec.prio[cp][slot];
            const DaemonPath *p = prio > 0 ? stored_daemon_path(&view, rec, cp, slot) : nullptr;
            if (p == nullptr)
                continue;
            held = true;
            taken = taken && p->prio == prio;
            top = prio > top ? prio : top;
        }
    }
    if (!held)
        return kLunNotHeld;
    if (!taken)
        return kLunPrioritiesDiffer;
    bool named = false;
    bool hit = false;
    active[0] = '\0';
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            int prio = rec.prio[cp][slot];
            const DaemonPath *p = prio > 0 ? stored_daemon_path(&view, rec, cp, slot) : nullptr;
            if (p != nullptr && p->group == kGroupNotRead)
                return kLunGroupsNotRead;
            if (p == nullptr || p->group != kGroupActive)
                continue;
            named = true;
            hit = hit || prio == top;
            std::size_t len = std::strlen(active);
            std::snprintf(active + len, size - len, "%s%s", len > 0 ? " " : "", cp_names[cp]);
        }
    }
    return !named ? kLunSwitched : hit ? kLunFollows : kLunOtherGroup;
}

/// Why a LUN did not move (`f`), as its line gives it: the ports of its
/// active group `active`, or why its groups were not read.
void why_not_moved(LunFollow f, const char *active, const DaemonView &view, char *why,
                   std::size_t size)
{
    if (f == kLunPrioritiesDiffer)
        std::snprintf(why, size, "%s", kWhyPriorities);
    else if (f == kLunGroupsNotRead)
        std::snprintf(why, size, kFmtWhyNotRead, daemon_reach_text(view.groups_reach));
    else
        std::snprintf(why, size, kFmtWhyGroup, active);
}

/// Counts the LUNs the daemon holds, of them those it does not follow, and
/// in *switched those whose map names no active group (none since it last
/// switched groups, until I/O goes through it); with `out`, a line for
/// each that does not follow.
std::size_t not_following(Store *store, const DaemonView &view, std::size_t *held,
                          std::size_t *switched, FILE *out)
{
    std::size_t behind = 0;
    *held = 0;
    *switched = 0;
    file_walk_start(store);
    const pathinfo *rec = nullptr;
    while (file_walk_next(store, &rec) == kWalkRecord) {
        char active[64];
        LunFollow f = rec->wwid[0] != '\0' ? follow_of(view, *rec, active, sizeof active)
                                            : kLunNotHeld;
        *held += f != kLunNotHeld ? 1 : 0;
        *switched += f == kLunSwitched ? 1 : 0;
        if (f == kLunNotHeld || f == kLunFollows || f == kLunSwitched)
            continue;
        ++behind;
        if (out == nullptr)
            continue;
        char alias[kTextNameSize];
        char wwid[kWwidSize];
        char why[96];
        why_not_moved(f, active, view, why, sizeof why);
        std::fprintf(out, kFmtNotMoved, shown_name(lun_name(*rec), alias, sizeof alias),
                     shown_name(rec->wwid, wwid, sizeof wwid), why);
    }
    return behind;
}

}  // namespace

int daemon_wait_luns(Store *store, int seconds, const char *goal, FILE *out, const AfterLock &)
{
    long long start = monotonic_ms();
    long long deadline = start + static_cast<long long>(seconds) * 1000;
    DaemonLink link;
    DaemonView view;
    if (daemon_link_open(&link) != 0)
        return not_reached(kDaemonNoLibrary, out);
    int rc = 0;
    // A map that names no active group has switched and seen no I/O since:
    // with I/O, the next look names the group; only a map that stays so
    // for a second look is idle, and its next I/O goes to the group the
    // daemon switched to.
    bool followed_before = false;
    for (;;) {
        daemon_view_free(&view);
        daemon_view(link, exchange_bound(deadline - monotonic_ms()), &view);
        if (view.reach == kDaemonReached)
            daemon_view_groups(link, exchange_bound(deadline - monotonic_ms()), nullptr, &view);
        if (view.reach != kDaemonReached) {
            rc = not_reached(view.reach, out);
            break;
        }
        std::size_t held = 0;
        std::size_t switched = 0;
        std::size_t behind = not_following(store, view, &held, &switched, nullptr);
        long long left = deadline - monotonic_ms();
        if (behind == 0 && (switched == 0 || followed_before)) {
            std::fprintf(out, kFmtLunsMoved, held, held == 1 ? "" : "s", goal, (monotonic_ms() - start) / 1000.0);
            break;
        }
        followed_before = behind == 0;
        if (left <= 0 && behind == 0) {
            std::fprintf(out, kFmtLunsMoved, held, held == 1 ? "" : "s", goal,
                         (monotonic_ms() - start) / 1000.0);
            break;
        }
        if (left <= 0) {
            not_following(store, view, &held, &switched, out);
            std::fprintf(out, kFmtLunsNotMoved, behind, held, held == 1 ? "" : "s", seconds_since(start));
            rc = kWaitTimedOut;
            break;
        }
        pause_ms(left < kPollMs ? left : kPollMs);
    }
    daemon_view_free(&view);
    daemon_link_close(&link);
    return rc;
}

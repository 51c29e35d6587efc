// The path groups of multipathd's view: which group of each map is the
// active one, read from `show maps json` or map by map from `show map NAME
// json` (multipathd.hpp, daemon_view_groups). A path's group is set only
// from a reply read whole as JSON; a refusal, a cut reply or one that did
// not come leaves its map's paths kGroupNotRead, which every reader of the
// view (the listing, the waits, the metrics) tells from a group that was
// read, and counts the map as not read.
#include "base/clock.hpp"
#include "daemon/multipathd.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kMapsJson = "show maps json";
constexpr const char *kMapJsonFormat = "show map %s json";

/// Where the groups of one reply may go: the view's paths, only those of
/// `map` when that one map was asked (a reply about one map says nothing
/// of another's paths).
struct GroupTarget {
    DaemonView *view;
    const char *map;  ///< nullptr: any map
};

void set_group(void *context, const char *dev, DaemonGroup group)
{
    auto *target = static_cast<GroupTarget *>(context);
    auto *path = const_cast<DaemonPath *>(daemon_find(*target->view, dev));
    if (path != nullptr && (target->map == nullptr || std::strcmp(path->map, target->map) == 0))
        path->group = group;
}

/// Whether the path stands in a map; "[orphan]" is the daemon's word for none.
bool in_map(const DaemonPath &path)
{
    return path.map != nullptr && path.map[0] != '\0' && std::strcmp(path.map, "[orphan]") != 0;
}

/// A map name that the daemon reads back as one word of a command.
bool one_word(const char *map)
{
    if (map == nullptr || map[0] == '\0' || std::strcmp(map, "[orphan]") == 0)
        return false;
    return std::strpbrk(map, " \t\n\"'{}#!") == nullptr;
}

/// Whether the reply is `word` alone on its line.
bool said(const char *text, std::size_t len, const char *word)
{
    std::size_t n = std::strlen(word);
    return len >= n && std::memcmp(text, word, n) == 0 && (len == n || text[n] == '\n');
}

/// Asks `cmd` and sets the groups its JSON gives. kDaemonReached, or why
/// the reply gave none: a refusal is told as the refusal it is.
DaemonReach ask_groups(const DaemonLink &link, const char *cmd, int bound_ms, GroupTarget target)
{
    char *text = nullptr;
    std::size_t len = 0;
    DaemonReach reach = daemon_ask(link, cmd, bound_ms, &text, &len);
    if (reach == kDaemonReached && daemon_groups(text, len, {set_group, &target}) != 0) {
        reach = said(text, len, "fail")      ? kDaemonSaidFail
                : said(text, len, "timeout") ? kDaemonSaidTimeout
                                             : kDaemonNotJson;
    }
    std::free(text);
    return reach;
}

DaemonReach ask_map(const DaemonLink &link, const char *map, int bound_ms, DaemonView *view)
{
    char cmd[sizeof "show map  json" + kDaemonMapSize];
    std::snprintf(cmd, sizeof cmd, kMapJsonFormat, map);
    return ask_groups(link, cmd, bound_ms, {view, map});
}

/// After the reply about `count` paths: read whole, a path it did not name
/// is in no group; not read, no group it gave before it failed counts.
void settle(DaemonPath *const *paths, std::size_t count, bool read)
{
    for (std::size_t i = 0; i < count; ++i) {
        DaemonPath *path = paths[i];
        if (!in_map(*path))
            continue;
        if (!read)
            path->group = kGroupNotRead;
        else if (path->group == kGroupNotRead)
            path->group = kGroupUnknown;
    }
}

int by_map(const void *a, const void *b)
{
    return std::strcmp((*static_cast<DaemonPath *const *>(a))->map,
                       (*static_cast<DaemonPath *const *>(b))->map);
}

/// The view's paths sorted by map, each marked not read (none in no map);
/// in *maps how many maps they stand in. nullptr without memory.
DaemonPath **paths_by_map(DaemonView *view, std::size_t *maps)
{
    for (std::size_t i = 0; i < view->count; ++i)
        view->paths[i].group = in_map(view->paths[i]) ? kGroupNotRead : kGroupUnknown;
    auto **paths = static_cast<DaemonPath **>(std::malloc((view->count + 1) * sizeof(DaemonPath *)));
    *maps = 0;
    if (paths == nullptr)
        return nullptr;
    for (std::size_t i = 0; i < view->count; ++i)
        paths[i] = &view->paths[i];
    std::qsort(paths, view->count, sizeof(DaemonPath *), by_map);
    for (std::size_t i = 0; i < view->count; ++i) {
        bool first = i == 0 || std::strcmp(paths[i - 1]->map, paths[i]->map) != 0;
        *maps += first && in_map(*paths[i]) ? 1 : 0;
    }
    return paths;
}

/// How many paths from `from` on stand in the map of paths[from].
std::size_t map_run(DaemonPath *const *paths, std::size_t count, std::size_t from)
{
    std::size_t end = from + 1;
    while (end < count && std::strcmp(paths[end]->map, paths[from]->map) == 0)
        ++end;
    return end - from;
}

/// One map's failure to give its groups: counted, the first reason kept.
void map_unread(DaemonView *view, DaemonReach why, std::size_t how_many = 1)
{
    if (view->maps_unread == 0)
        view->groups_reach = why;
    view->maps_unread += how_many;
}

/// Every map's groups, one exchange per map, within kGroupsByMapMs in all;
/// `paths` are the view's, sorted by map.
void groups_map_by_map(const DaemonLink &link, int bound_ms, DaemonPath *const *paths,
                       std::size_t maps, DaemonView *view)
{
    long long deadline = monotonic_ms() + kGroupsByMapMs;
    std::size_t done = 0;
    for (std::size_t i = 0; i < view->count; i += map_run(paths, view->count, i)) {
        const char *map = paths[i]->map;
        if (!in_map(*paths[i]))
            continue;
        long long left = deadline - monotonic_ms();
        if (left <= 0) {
            map_unread(view, kDaemonTimedOut, maps - done);
            return;
        }
        ++done;
        // A name that the daemon would split into words cannot be asked:
        // its paths stay not read.
        int bound = left < bound_ms ? static_cast<int>(left) : bound_ms;
        DaemonReach reach = one_word(map) ? ask_map(link, map, bound, view) : kDaemonRefused;
        settle(paths + i, map_run(paths, view->count, i), reach == kDaemonReached);
        if (reach == kDaemonReached)
            continue;
        map_unread(view, reach);
        // A daemon that let one reply run out its bound is not asked again:
        // the rest would each wait as long.
        if (reach == kDaemonTimedOut || reach == kDaemonNoSocket) {
            map_unread(view, reach, maps - done);
            return;
        }
    }
}

/// The groups of one map, `map`: its paths' groups, the others' not read.
void groups_of_map(const DaemonLink &link, int bound_ms, const char *map,
                   DaemonPath *const *paths, DaemonView *view)
{
    view->maps = 1;
    std::size_t i = 0;
    while (i < view->count && std::strcmp(paths[i]->map, map) != 0)
        ++i;
    DaemonReach reach = ask_map(link, map, bound_ms, view);
    if (i < view->count)
        settle(paths + i, map_run(paths, view->count, i), reach == kDaemonReached);
    if (reach != kDaemonReached)
        map_unread(view, reach);
}

}  // namespace

void daemon_view_groups(const DaemonLink &link, int bound_ms, const char *map, DaemonView *view)
{
    view->maps = 0;
    view->maps_unread = 0;
    view->groups_reach = kDaemonReached;
    if (view->reach != kDaemonReached || view->count == 0)
        return;
    std::size_t maps = 0;
    DaemonPath **paths = paths_by_map(view, &maps);
    if (paths == nullptr) {
        map_unread(view, kDaemonRefused, view->count);
        return;
    }
    if (one_word(map)) {
        groups_of_map(link, bound_ms, map, paths, view);
    } else {
        view->maps = maps;
        DaemonReach reach = ask_groups(link, kMapsJson, bound_ms, {view, nullptr});
        if (reach == kDaemonTooLong) {
            groups_map_by_map(link, bound_ms, paths, maps, view);
        } else {
            settle(paths, view->count, reach == kDaemonReached);
            if (reach != kDaemonReached)
                map_unread(view, reach, maps);
        }
    }
    std::free(paths);
}

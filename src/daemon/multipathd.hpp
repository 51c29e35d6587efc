// multipathd's view of the paths, asked the way its own client asks: through
// libmpathcmd, loaded at run time, so that tald needs no multipath-tools to
// install or run. One connection per command, and one deadline per
// exchange: a non-blocking connect retried within it, then the reply read
// here, off the library's descriptor, with poll() against that deadline
// (the library's receive bounds each wait for data, not the whole reply),
// under a cap on the reply's length. Only a peer that runs as root is the
// daemon: the socket's name is abstract, with no owner and no mode, and any
// user can bind it while multipathd does not hold it. It only reads: the
// commands sent are `show paths format`, `show maps json` and `show map NAME
// json`.
//
// Nothing here may be asked while the run lock is held: the daemon's path
// checks call the prioritizer, which waits for that lock while the daemon
// holds its own.
#pragma once

#include "daemon/daemon_reply.hpp"

#include <sys/types.h>

#include <cstddef>

/// libmpathcmd's entry points, once loaded.
struct DaemonLink {
    void *handle = nullptr;
    int (*connect_nb)(int nonblocking) = nullptr;  ///< absent before 0.7
    int (*connect)() = nullptr;
    int (*disconnect)(int fd) = nullptr;
    int (*send_cmd)(int fd, const char *cmd) = nullptr;
};

/// Why the daemon gave no view; kDaemonReached when it gave one.
enum DaemonReach {
    kDaemonReached = 0,
    kDaemonNoLibrary,  ///< libmpathcmd.so.0 not found or incomplete
    kDaemonNoSocket,   ///< the connect failed, or the peer is not root's:
                       ///< no daemon listening
    kDaemonTimedOut,   ///< no whole answer within the bound
    kDaemonRefused,    ///< it answered with a refusal, or with no reply we read
    kDaemonTooLong,    ///< its reply is longer than kMaxDaemonReply
    // Why a map's path groups were not read although the daemon answered:
    kDaemonSaidFail,     ///< it answered "fail" to the JSON asked for
    kDaemonSaidTimeout,  ///< it answered "timeout": it was too busy to
    kDaemonNotJson,      ///< the JSON is cut short, or not JSON at all
};

/// The paths multipathd holds, sorted by name, with their groups' states.
struct DaemonView {
    char *text = nullptr;  ///< the paths reply, which the paths point into
    DaemonPath *paths = nullptr;
    std::size_t count = 0;
    /// The same paths by SCSI address, then wwid (daemon_find_path).
    const DaemonPath **by_address = nullptr;
    DaemonReach reach = kDaemonNoLibrary;
    /// The maps whose path groups were asked (daemon_view_groups), and how
    /// many of them gave none, the first failure's reason in groups_reach.
    std::size_t maps = 0;
    std::size_t maps_unread = 0;
    DaemonReach groups_reach = kDaemonReached;
};

/// The largest reply taken: the daemon's own limit (MAX_REPLY_LEN).
inline constexpr std::size_t kMaxDaemonReply = 32u << 20;

/// Loads libmpathcmd.so.0. 0, or -1 (kDaemonNoLibrary) when it is missing.
int daemon_link_open(DaemonLink *link);
void daemon_link_close(DaemonLink *link);

/// Sends `cmd` and takes the whole reply within `bound_ms` of the call:
/// *reply (malloc'd, NUL-terminated; the caller frees it) and *len.
/// kDaemonReached or why not; a peer that does not run as root is
/// kDaemonNoSocket, as no daemon at all.
DaemonReach daemon_ask(const DaemonLink &link, const char *cmd, int bound_ms, char **reply,
                       std::size_t *len);

/// The daemon's paths (kPathsCommand) into *view, within `bound_ms`.
/// view->reach says what came of it.
void daemon_view(const DaemonLink &link, int bound_ms, DaemonView *view);

/// The group state of the view's paths: from `show map MAP json` when `map`
/// is given, otherwise from `show maps json`, or, when that reply is longer
/// than the cap, map by map (`show map NAME json` for every map the paths
/// name) within kGroupsByMapMs in all. Each exchange within `bound_ms`.
/// Only a reply read whole as JSON sets groups, and only of the paths of
/// the map asked (of any map for `show maps json`): its paths that it does
/// not name are kGroupUnknown. The paths of a map whose reply fails (a
/// refusal, cut short, not in time), or of a map not asked, are
/// kGroupNotRead, and a failed map is counted in view->maps_unread; after a
/// reply that did not come in time no more maps are asked. A path in no
/// map ("[orphan]") is kGroupUnknown.
void daemon_view_groups(const DaemonLink &link, int bound_ms, const char *map, DaemonView *view);
void daemon_view_free(DaemonView *view);

/// How long the listing asks map by map, in all.
inline constexpr int kGroupsByMapMs = 60000;

/// The path named `dev` ("sdc", or "/dev/sdc"), or nullptr.
const DaemonPath *daemon_find(const DaemonView &view, const char *dev);
/// The path whose device number is major:minor, or nullptr.
const DaemonPath *daemon_find_devt(const DaemonView &view, unsigned major, unsigned minor);
/// The path of LUN `wwid` at SCSI address h:c:t:l (of c, t and l the low
/// byte, all the store holds), or nullptr.
const DaemonPath *daemon_find_path(const DaemonView &view, const char *wwid, int host,
                                   int channel, int id, int lun);

/// "active", "enabled", "disabled" or "unknown": a path's group as written.
const char *daemon_group_text(DaemonGroup group);
/// One line's worth of why the daemon gave no view (`reach`).
const char *daemon_reach_text(DaemonReach reach);

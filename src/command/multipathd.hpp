// multipathd's view of the paths, asked the way its own client asks: through
// libmpathcmd, loaded at run time, so that tald needs no multipath-tools to
// install or run. One connection per command; every step bounded (a
// non-blocking connect retried within the bound, the library's time-outs on
// the receive, a cap on the reply's length). It only reads: the commands
// sent are `show paths format` and `show maps json` / `show map NAME json`.
//
// Nothing here may be asked while the run lock is held: the daemon's path
// checks call the prioritizer, which waits for that lock while the daemon
// holds its own.
#pragma once

#include "command/daemon_reply.hpp"

#include <sys/types.h>

#include <cstddef>

/// libmpathcmd's entry points, once loaded.
struct DaemonLink {
    void *handle = nullptr;
    int (*connect_nb)(int nonblocking) = nullptr;  ///< absent before 0.7
    int (*connect)() = nullptr;
    int (*disconnect)(int fd) = nullptr;
    int (*send_cmd)(int fd, const char *cmd) = nullptr;
    ssize_t (*recv_len)(int fd, unsigned timeout_ms) = nullptr;
    int (*recv_data)(int fd, char *reply, std::size_t len, unsigned timeout_ms) = nullptr;
};

/// Why the daemon gave no view; kDaemonReached when it gave one.
enum DaemonReach {
    kDaemonReached = 0,
    kDaemonNoLibrary,  ///< libmpathcmd.so.0 not found or incomplete
    kDaemonNoSocket,   ///< the connect failed: no daemon listening
    kDaemonTimedOut,   ///< no answer within the bound
    kDaemonRefused,    ///< it answered with a refusal, or with no reply we read
};

/// The paths multipathd holds, sorted by name, with their groups' states.
struct DaemonView {
    DaemonPath *paths = nullptr;
    std::size_t count = 0;
    DaemonReach reach = kDaemonNoLibrary;
};

/// The largest reply taken: the daemon's own limit (MAX_REPLY_LEN).
inline constexpr std::size_t kMaxDaemonReply = 32u << 20;

/// The clock the exchanges' bounds are counted on: CLOCK_MONOTONIC in ms.
long long daemon_clock_ms();

/// Loads libmpathcmd.so.0. 0, or -1 (kDaemonNoLibrary) when it is missing.
int daemon_link_open(DaemonLink *link);
void daemon_link_close(DaemonLink *link);

/// Sends `cmd` and takes the reply within `bound_ms`: *reply (malloc'd,
/// NUL-terminated; the caller frees it) and *len. kDaemonReached or why not.
DaemonReach daemon_ask(const DaemonLink &link, const char *cmd, int bound_ms, char **reply,
                       std::size_t *len);

/// The daemon's paths (kPathsCommand) into *view, and when `groups` the
/// group state of each from `show map MAP json` (`map` given) or `show maps
/// json`; each exchange within `bound_ms`. A JSON reply that fails leaves the
/// groups unknown and the view as it is. view->reach says what came of it.
void daemon_view(const DaemonLink &link, int bound_ms, bool groups, const char *map,
                 DaemonView *view);
void daemon_view_free(DaemonView *view);

/// The path named `dev` ("sdc", or "/dev/sdc"), or nullptr.
const DaemonPath *daemon_find(const DaemonView &view, const char *dev);
/// The path whose device number is major:minor, or nullptr.
const DaemonPath *daemon_find_devt(const DaemonView &view, unsigned major, unsigned minor);

/// "active", "enabled", "disabled" or "unknown": a path's group as written.
const char *daemon_group_text(DaemonGroup group);
/// One line's worth of why the daemon gave no view.
const char *daemon_reach_text(const DaemonView &view);

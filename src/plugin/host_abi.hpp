// What the plugin takes from its host, multipath-tools' prioritizer loader:
// the path's kernel name from the host's path record, whether the host
// passes the call's timeout as a third argument, and the words of prio_args.
#pragma once

#include <cstddef>

/// The host's path record. Its first member, in every release, is
/// `char dev[256]`, the kernel name of the path; nothing else is read.
struct path;

/// The bound of a call when the host passes none.
inline constexpr unsigned kDefaultTimeoutMs = 5000;
/// Room for "/dev/" and the host's name.
inline constexpr std::size_t kNodeSize = sizeof "/dev/" + 256;

/// "/dev/<dev>" of the host's record into `node`; false when the name is no
/// plain kernel name (empty, unterminated, or holding a "/").
bool node_of(const struct path *pp, char *node, std::size_t size);

/// The call's bound in ms: `timeout_ms` when the host passes a third
/// argument and it is not 0, otherwise kDefaultTimeoutMs.
unsigned call_timeout(unsigned timeout_ms);

/// The trace verbosity that prio_args asks for: "-v 1", "-v 2", "-v 3" as
/// tald's -v (levels 4, 6, 7); without one, errors only (3), as tald without
/// -v. One syslog warning for each new prio_args text that holds words not
/// understood.
int verbosity_from_args(const char *args);

/// Forgets what the library remembers of its host (unloading).
void host_abi_forget();

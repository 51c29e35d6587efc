// `tald -l --json`: the LUN list as one JSON document, for monitoring and
// configuration management, with multipathd's view of each stored path
// beside the stored one.
//
//   {"luns": [{"wwid": ..., "alias": ..., "multipathd_differs": false,
//              "paths": [{"port": "C0P0", "hctl": "2:0:0:1", "device": "/dev/sdb",
//                         "priority": 8, "override": true,
//                         "multipathd": {"priority": 8, "state": "ready",
//                                        "dm_state": "active", "group_active": true,
//                                        "group_state": "active"}}, ...]}, ...],
//    "multipathd_reached": true}
//
// "multipathd" is null for a path the daemon does not hold under that name
// for that LUN. Without a daemon that answered, "multipathd_reached" is false
// and no other field of the daemon's is written.
//
// The same records and paths as the listing, in its order: LUNs newest
// first, paths controller port by port, only slots with a priority above 0.
// A record without a wwid (what an empty file loads) is left out.
//
// The document is written as it goes, like the listing, so that it needs no
// memory of its own: indented by two blanks per level, keys in the order
// above, an empty array as "[]".
#pragma once

#include "base/json_string.hpp"

#include <cstddef>
#include <cstdio>

struct Store;
struct DaemonView;
struct DaemonPath;
struct pathinfo;

/// Writes the document of the store's LUN list to `out`, ended by a line
/// feed. Names are taken byte for byte: '"', '\\' and the control
/// characters are escaped ("\n", "\u001b"...), and each piece of bytes that
/// is no UTF-8 (a byte that cannot begin a character, or the longest start
/// of a character that the next byte or the end breaks off) becomes one
/// U+FFFD, so the text is always valid JSON. `view` is what multipathd gave
/// (nullptr: not asked). 0, or -1 when there is no list (nothing written).
int list_json_to(Store *store, FILE *out, const DaemonView *view = nullptr);

/// Whether the view holds the daemon's answer.
bool daemon_reached(const DaemonView *view);
/// The daemon's path that is the stored one: the same LUN at the same SCSI
/// address. A node name says nothing alone: a path that vanished leaves its
/// slot with a name that another path of the LUN may have taken since.
/// nullptr when the daemon was not reached or holds no such path.
const DaemonPath *stored_daemon_path(const DaemonView *view, const pathinfo &rec, int cp, int slot);

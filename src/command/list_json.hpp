// `tald -l --json`: the LUN list as one JSON document, for monitoring and
// configuration management, with multipathd's view of each stored path
// beside the stored one.
//
//   {"luns": [{"wwid": ..., "alias": ..., "multipathd_differs": false,
//              "paths": [{"port": "C0P0", "hctl": "2:0:0:1", "device": "/dev/sdb",
//                         "priority": 8, "override": true,
//                         "multipathd": {"priority": 8, "state": "ready",
//                                        "dm_state": "active", "group_active": true}},
//                        ...]}, ...],
//    "multipathd_reached": true}
//
// The same records and paths as the listing, in its order: LUNs newest
// first, paths controller port by port, only slots with a priority above 0.
// A record without a wwid (what an empty file loads) is left out. When the
// daemon was not reached, "multipathd_reached" is false and no other field
// of the daemon's is written.
#pragma once

#include <string>

struct conf_store;
struct DaemonView;

/// The document of the store's LUN list, indented, ended by a line feed, into
/// *text. Names are taken byte for byte; bytes that are not valid UTF-8 are
/// replaced by U+FFFD, so the text is always valid JSON. `view` is what
/// multipathd gave (nullptr: not asked). 0, or -1 when there is no list.
int list_json(conf_store *store, const DaemonView *view, std::string *text);

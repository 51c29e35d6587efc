// The document that `tald --apply` reads: what each LUN it names should
// have, port by port, checked whole before anything is looked up.
//
//   {"luns": [{"wwid": W, "alias": A, "preferred_port": "C1P0"},
//             {"alias": A, "ports": "default"},
//             {"wwid": W, "ports": {"C0P0": 8, "C0P1": "default",
//                                   "C1P0": {"priority": 3, "override": false}}}]}
//
// A LUN is named by its wwid, its alias or both, and has exactly one of
// "preferred_port" (that port's paths 8, every other port its default) and
// "ports": "default" for every port, or an object whose ports get a
// priority 5..8, "default", or what the export writes for a port.
#pragma once

#include "base/grow_array.hpp"
#include "base/json_read.hpp"
#include "base/pathinfo.hpp"

#include <cstddef>
#include <cstdio>

/// One LUN of the document.
struct FleetEntry {
    const char *wwid;   ///< nullptr when not given; points into the document
    const char *alias;  ///< nullptr when not given
    int want[kControllerPorts];  ///< kWantKeep, kWantDefault or 5..8
};

struct FleetInput {
    GrowArray<char> bytes;
    JsonDoc doc;
    GrowArray<FleetEntry> entries;
};

void fleet_input_free(FleetInput *input);

/// The most bytes a document may hold: 16 MiB, as the refusal names it.
inline constexpr std::size_t kFleetInputMax = std::size_t{16} << 20;

/// Reads the document at `file` ("-": standard input) whole into
/// input->bytes. A `file` must be a regular file: anything else (a FIFO, a
/// directory, a device, a socket) is refused at once, unopened or opened
/// without waiting. Standard input may be anything (a pipe, say), and is
/// read no further than one byte past the limit. 0, or -1 with a line on
/// `err`: "FILE: not a regular file", "FILE: longer than 16 MiB" or "FILE:
/// cannot be read: REASON".
int fleet_read(const char *file, FleetInput *input, FILE *err);

/// Parses input->bytes and checks every entry into input->entries. 0, or -1
/// with one line on `err` naming the first entry at fault:
/// "FILE: luns[INDEX] (NAME): reason", or for a document that is no JSON
/// "FILE: line L, column C: reason".
int fleet_parse(const char *file, FleetInput *input, FILE *err);

/// The name an entry is shown by: its alias, or its wwid, or "".
const char *entry_name(const FleetEntry &entry);

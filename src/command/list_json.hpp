// `tald -l --json`: the LUN list as one JSON document, for monitoring and
// configuration management.
//
//   {"luns": [{"wwid": ..., "alias": ...,
//              "paths": [{"port": "C0P0", "hctl": "2:0:0:1", "device": "/dev/sdb",
//                         "priority": 8, "override": true}, ...]}, ...]}
//
// The same records and paths as the listing, in its order: LUNs newest
// first, paths controller port by port, only slots with a priority above 0.
// A record without a wwid (what an empty file loads) is left out.
//
// The document is written as it goes, like the listing, so that it needs no
// memory of its own: indented by two blanks per level, keys in the order
// above, an empty array as "[]".
#pragma once

#include <cstdio>

/// Writes the document of the LUN list `conf` to `out`, ended by a line
/// feed. Names are taken byte for byte: '"', '\\' and the control
/// characters are escaped ("\n", "\u001b"...), and each piece of bytes that
/// is no UTF-8 (a byte that cannot begin a character, or the longest start
/// of a character that the next byte or the end breaks off) becomes one
/// U+FFFD, so the text is always valid JSON. 0, or -1 when there is no list
/// (nothing written).
int list_json_to(FILE *out);

/// Writes the field (at most `size` bytes, up to its NUL) as a JSON string,
/// quotes included, as list_json_to writes each name.
void json_string_to(FILE *out, const char *field, std::size_t size);

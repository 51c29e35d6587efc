// The kept drain, kDrainPath: its text as the drain writes it, and its
// reading, which the restore takes whole or not at all.
//
//   drained C0
//   LUN lines: 64
//   <the preference file's line of each LUN the drain changed, as it stood>
//
// The second line counts the LUN lines after it, so that a record cut at any
// length, at the end of a line too, or missing a line, is told from a whole
// one. A record of a drain made before the count (its second line a LUN
// line) is taken when every line reads whole. Every LUN line must be exactly
// what the store's writer gives for the record it reads, and name its LUN
// once.
#pragma once

#include "base/grow_array.hpp"
#include "store/disk.hpp"

#include <cstddef>

/// The most bytes a kept drain holds: 16384 LUNs of 4 KiB lines. The drain
/// writes none longer, and the restore reads none longer.
inline constexpr std::size_t kDrainRecordMax = 64u << 20;

/// Appends the first two lines of a drain of controller `drained` that
/// keeps `luns` LUN lines. False without memory.
bool record_begin(GrowArray<char> *text, int drained, std::size_t luns);

/// Reads the kept drain into *kept (at most kDrainRecordMax bytes): the
/// controller its first line names, or -1 with the line that says why on
/// standard error when `want_drained` is not met (a drain kept, for a
/// restore; none, for a drain, which then returns 0).
int record_read(DiskContent *kept, bool want_drained);

/// Checks every line of a kept drain read by record_read: 0 when it reads
/// whole and clean; otherwise -1, and one line on standard error names the
/// line at fault and why.
int record_check(const DiskContent &kept);

/// The LUN lines of a record that record_check passed, one per call from
/// *pos (0 at first): its text without the line feed. False after the last.
bool record_next_lun(const DiskContent &kept, std::size_t *pos, const char **line,
                     std::size_t *len);

/// Whether kDrainPath is still the file whose identity record_read took.
bool record_unchanged(const DiskIdentity &identity);

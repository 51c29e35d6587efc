// One line of the preference file: a record written as text and read back.
//
//   wwid,{dev,host:channel:id:lun,prio,} x16,alias
//
// the 16 entries slot by slot, within a slot controller port by port. The
// reader splits at every "," and ":" alike (runs of them count as one). An
// empty device name is written "x". In wwid, device names and alias the
// bytes "," ":" "%" and every byte outside printable ASCII are written as %XX
// (uppercase hex) and decoded on reading; other names are written as they
// stand. Number tokens are read as strtol does (leading digits; none gives
// 0); a value beyond the int range becomes INT_MAX or INT_MIN.
#pragma once

#include "base/pathinfo.hpp"

#include <cstddef>

namespace conf_line {

constexpr std::size_t kIntText = 11;  // "-2147483648"
constexpr std::size_t encoded_size(std::size_t field_size) { return (field_size - 1) * 3; }
constexpr std::size_t kEntryText =
    encoded_size(kDevSize) + 1 + (4 * kIntText + 3 + 1) + (kIntText + 1);
/// The longest line a record can give, line feed included: every text field
/// at its full length with every byte percent-encoded, every number at its
/// widest. A longer line in the file is no record.
constexpr std::size_t kMaxLine = encoded_size(kWwidSize) + 1 +
                                 kControllerPorts * kSlotsPerPort * kEntryText +
                                 encoded_size(kTextNameSize) + 1;

/// One line of the file's content, without its end.
struct Line {
    std::size_t offset;  ///< where it begins in the content
    std::size_t len;
    bool lf_ended;       ///< ended by a line feed (not a carriage return, not the end)
};

/// What next_line found.
enum LineKind {
    kNoLine = -1,   ///< the end of the data
    kEmpty = 0,     ///< an empty line
    kText = 1,      ///< a line that may hold a record
    kTooLong = 2,   ///< longer than kMaxLine: no record, and not to be split
    kHoldsNul = 3,  ///< holds a NUL byte, which would cut its text short
};

/// Splits the line at *pos off data[0..size) into *line and moves *pos past
/// its end. A line ends at a line feed, a carriage return or the end of the
/// data, so a CRLF end leaves an empty line behind.
LineKind next_line(const char *data, std::size_t size, std::size_t *pos, Line *line);

/// Writes rec's line, line feed included, to `out`, which has room for
/// kMaxLine bytes; returns its length. Numbers are written as they stand,
/// an address number above 255 too (see invalid_address); format itself
/// writes no warning.
std::size_t format(const pathinfo *rec, char *out);

/// The first address of rec's slots, in the order of its line, with a
/// channel, id or lun above 255 (a host number may be larger), from entry
/// `from_entry` (0..15, entry k = slot k div 4 of port k mod 4) on: that
/// entry's index, or -1 when there is none. The store warns of each such
/// address when it writes the line.
int invalid_address(const pathinfo *rec, int from_entry);

/// A text field of `size` bytes as the line holds it (percent-encoded, no
/// separator after it) into `out`, which has room for encoded_size(size)
/// bytes; returns its length.
std::size_t encode(const char *field, std::size_t size, char *out);

/// What canonical() found out about a line.
struct Shape {
    std::size_t wwid_len;  ///< length of the first token, the encoded wwid
    bool bad_address;      ///< a channel, id or lun above 255
};

/// True when `line` (len bytes, its end excluded) is exactly what format
/// writes for the record that parse reads from it: parsing it and formatting
/// the record again gives the same bytes. Checked on the text alone, without
/// filling a record; a line it refuses may still be one (it is then read and
/// written the long way).
bool canonical(const char *line, std::size_t len, Shape *shape);

/// Fills rec (cleared by the caller) from the NUL-terminated text of one
/// line without its end, which it splits in place. 0 complete; -1 when a
/// token is missing (rec keeps what was read before it).
int parse(char *line, pathinfo *rec);

}  // namespace conf_line

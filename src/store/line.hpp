// One line of the preference file: a record written as text and read back,
// and the scan of a content's lines as a run reads them.
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

#include "base/grow_array.hpp"
#include "base/hash_index.hpp"
#include "base/pathinfo.hpp"

#include <cstddef>
#include <cstdint>

constexpr std::size_t kIntText = 11;  // "-2147483648"
constexpr std::size_t line_encoded_size(std::size_t field_size) { return (field_size - 1) * 3; }
constexpr std::size_t kEntryText =
    line_encoded_size(kDevSize) + 1 + (4 * kIntText + 3 + 1) + (kIntText + 1);
/// The longest line a record can give, line feed included: every text field
/// at its full length with every byte percent-encoded, every number at its
/// widest. A longer line in the file is no record.
constexpr std::size_t kMaxLine = line_encoded_size(kWwidSize) + 1 +
                                 kControllerPorts * kSlotsPerPort * kEntryText +
                                 line_encoded_size(kTextNameSize) + 1;

/// One line of the file's content, without its end.
struct LineBounds {
    std::size_t offset;  ///< where it begins in the content
    std::size_t len;
    bool lf_ended;       ///< ended by a line feed (not a carriage return, not the end)
};

/// What line_next found.
enum class LineKind {
    kNone = -1,     ///< the end of the data
    kEmpty = 0,     ///< an empty line
    kText = 1,      ///< a line that may hold a record
    kTooLong = 2,   ///< longer than kMaxLine: no record, and not to be split
    kHoldsNul = 3,  ///< holds a NUL byte, which would cut its text short
};

/// Splits the line at *pos off data[0..size) into *line and moves *pos past
/// its end. A line ends at a line feed, a carriage return or the end of the
/// data, so a CRLF end leaves an empty line behind.
LineKind line_next(const char *data, std::size_t size, std::size_t *pos, LineBounds *line);

/// Writes rec's line, line feed included, to `out`, which has room for
/// kMaxLine bytes; returns its length. Numbers are written as they stand,
/// an address number above 255 too (see line_invalid_address); line_format itself
/// writes no warning.
std::size_t line_format(const pathinfo *rec, char *out);

/// The first address of rec's slots, in the order of its line, with a
/// channel, id or lun above 255 (a host number may be larger), from entry
/// `from_entry` (0..15, entry k = slot k div 4 of port k mod 4) on: that
/// entry's index, or -1 when there is none. The store warns of each such
/// address when it writes the line.
int line_invalid_address(const pathinfo *rec, int from_entry);

/// A text field of `size` bytes as the line holds it (percent-encoded, no
/// separator after it) into `out`, which has room for line_encoded_size(size)
/// bytes; returns its length.
std::size_t line_encode(const char *field, std::size_t size, char *out);

/// What line_canonical found out about a line.
struct LineShape {
    std::size_t wwid_len;  ///< length of the first token, the encoded wwid
    bool bad_address;      ///< a channel, id or lun above 255
};

/// True when `line` (len bytes, its end excluded) is exactly what line_format
/// writes for the record that line_parse reads from it: parsing it and formatting
/// the record again gives the same bytes. Checked on the text alone, without
/// filling a record; a line it refuses may still be one (it is then read and
/// written the long way).
bool line_canonical(const char *line, std::size_t len, LineShape *shape);

/// Fills rec (cleared by the caller) from the NUL-terminated text of one
/// line without its end, which it splits in place. 0 complete; -1 when a
/// token is missing (rec keeps what was read before it).
int line_parse(char *line, pathinfo *rec);

// --- the scan of a content -----------------------------------------------------
//
// How a run reads the preference file, line by line: where each line ends,
// what kind of line it is, the record it holds, and whether that record's
// LUN came earlier in the file. The whole load builds its list from these
// verdicts; `tald --check` reports them. The one reader of the file's lines.

/// One line as a run reads it: the bytes up to a line feed or a carriage
/// return (a CRLF end leaves an empty line between the two).
struct ScanPiece {
    LineKind kind;      ///< never kNone
    LineBounds line;    ///< where it stands in the content
    /// The line's number as an editor counts lines (ended by line feeds),
    /// from 1: the pieces of a line cut by carriage returns share it.
    std::size_t number;
    /// For kText, after scan_record: the record was read whole (every
    /// field present).
    bool complete;
    /// For kText, after scan_record: the number of the line that held the
    /// record's LUN first, or 0 when this is its first line (a record
    /// without wwid is never a repeat).
    std::size_t repeat_of;
    /// For kText, after scan_record: the LUNs seen could not be remembered
    /// (no memory), so repeat_of could not be told; the caller must look.
    bool unsure;
};

/// The reader's position in the content, and the LUNs of the records read.
struct Scanner {
    const char *data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    std::size_t number = 1;
    /// The wwid of every record read so far, each with its line's number,
    /// kept NUL-ended one after the other in `wwids`.
    GrowArray<char> wwids;
    GrowArray<std::uint32_t> wwid_at;    ///< offset into wwids, per record seen
    GrowArray<std::size_t> wwid_line;    ///< line number, per record seen
    HashIndex seen;
    bool forgetful = false;  ///< a LUN could not be remembered
    /// The text of the last kText line, NUL-ended, split in place by
    /// scan_record.
    char text[kMaxLine + 1];

    Scanner(const char *content, std::size_t content_size) : data(content), size(content_size) {}
    ~Scanner();
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;
};

/// The next line of the content into *piece; for a kText line its bytes are
/// in scanner->text. False at the end of the data.
bool scan_next(Scanner *scanner, ScanPiece *piece);

/// Reads the kText line just scanned into rec (cleared first, unless the
/// caller says it is clear already: a whole load's fresh records are), and
/// tells whether its LUN came earlier: piece->complete, repeat_of and
/// unsure. The first line of a LUN is remembered.
void scan_record(Scanner *scanner, ScanPiece *piece, pathinfo *rec, bool rec_clear = false);

// How a run reads the preference file, line by line: where each line ends,
// what kind of line it is, the record it holds, and whether that record's
// LUN came earlier in the file. The whole load builds its list from these
// verdicts; `tald --check` reports them. The one reader of the file's lines.
#pragma once

#include "base/hash_index.hpp"
#include "base/pathinfo.hpp"
#include "store/conf_line.hpp"

#include <cstddef>
#include <cstdint>

namespace conf_scan {

/// One line as a run reads it: the bytes up to a line feed or a carriage
/// return (a CRLF end leaves an empty line between the two).
struct Piece {
    conf_line::LineKind kind;  ///< never kNoLine
    conf_line::Line line;      ///< where it stands in the content
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
    char *wwids = nullptr;
    std::size_t wwids_used = 0;
    std::size_t wwids_capacity = 0;
    std::uint32_t *wwid_at = nullptr;     ///< offset into wwids, per record seen
    std::size_t *wwid_line = nullptr;     ///< line number, per record seen
    std::size_t seen_count = 0;
    std::size_t seen_capacity = 0;
    HashIndex seen;
    bool forgetful = false;  ///< a LUN could not be remembered
    /// The text of the last kText line, NUL-ended, split in place by
    /// scan_record.
    char text[conf_line::kMaxLine + 1];

    Scanner(const char *content, std::size_t content_size) : data(content), size(content_size) {}
    ~Scanner();
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;
};

/// The next line of the content into *piece; for a kText line its bytes are
/// in scanner->text. False at the end of the data.
bool scan_next(Scanner *scanner, Piece *piece);

/// Reads the kText line just scanned into rec (cleared first, unless the
/// caller says it is clear already: a whole load's fresh records are), and
/// tells whether its LUN came earlier: piece->complete, repeat_of and
/// unsure. The first line of a LUN is remembered.
void scan_record(Scanner *scanner, Piece *piece, pathinfo *rec, bool rec_clear = false);

}  // namespace conf_scan

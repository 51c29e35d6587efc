// What the files of the store share among themselves, and with nothing else
// of the library: the records of the LUN list, and what the store keeps of
// the preference file it last read.
#pragma once

#include "store/conf_disk.hpp"
#include "store/pathinfo.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>

namespace conf_records {

enum WalkStep { kWalkRecord, kWalkEnd, kWalkNull };

/// One step of the walk over conf (after dlist_start): the next record, the
/// end of the list, or a node that holds no record.
WalkStep walk_next(pathinfo **rec);
/// Finds the record of `wwid`: kWalkRecord with *found set, kWalkEnd when
/// the LUN is not in the list, kWalkNull when a node without record ends the
/// walk first.
WalkStep find_lun(const char *wwid, pathinfo **found);

/// Prepares the records of a load of `lines` lines (see conf_records.cpp).
void arena_open(std::size_t lines);
/// A record cleared to its last byte, or nullptr.
pathinfo *new_record();
/// Frees a record of new_record, or any malloc'd one.
void free_record(void *rec);

}  // namespace conf_records

namespace conf_loaded {

/// One record line of the file, its end excluded.
struct LineSpan {
    std::size_t offset;
    std::uint32_t len;
    std::uint16_t wwid_len;  ///< the first token (indexed loads only)
    bool bad_address;        ///< an address number above 255 (indexed loads only)
};

/// What the last load_config read, kept until the next load or conf_reset:
/// the file's bytes with the reader's position in them, and the lines that
/// became records, in file order. `canonical` holds while the file is
/// exactly those lines, each ended by a line feed alone, each in the form
/// the writer gives: a save that writes the same lines in the reverse order
/// (a load reverses them) then leaves the file as it is.
///
/// An indexed load (a run that needs one LUN alone) keeps every line of a
/// canonical file with its wwid in a hash index and parses only the line of
/// that LUN into `wanted`, the one record of the file in conf; a save then
/// copies every other line from the text. A file that is not canonical is
/// read whole the usual way.
struct LoadedFile {
    conf_disk::Content content;
    std::size_t pos;
    LineSpan *lines;
    std::size_t count;
    std::size_t capacity;
    bool canonical;
    bool unread;   ///< the file exists but was not read whole: never rewrite it
    char unread_why[64];  ///< why, for the admin ("Permission denied"...)
    bool unread_memory;   ///< for want of memory
    bool indexed;  ///< an indexed load
    std::uint32_t *index;  ///< line number + 1 by wwid hash, 0 for a free slot
    std::size_t index_capacity;
    char served[kWwidSize];  ///< the one LUN of an indexed load
    pathinfo *wanted;        ///< its record, when the file holds it
    std::size_t wanted_line;
    /// conf_peek's answers for this content (conf_resolve.cpp), one heap
    /// block of memo_capacity entries.
    void *memo;
    std::size_t memo_capacity;
    std::size_t memo_count;
    /// The content is the file as it stands while the file's identity is
    /// content.identity (a save that writes clears this).
    bool current;
    char path[PATH_MAX];
};

extern LoadedFile loaded;

/// Frees what the last load kept.
void forget();
/// Marks the file as not read whole, for `why` (a strerror text or the
/// like), so that no save replaces it.
void mark_unread(const char *why);
/// The same, for want of memory.
void mark_unread_memory();
/// Notes a record line; false without memory.
bool note_line(const LineSpan &span);
/// Builds the index of the noted lines by wwid; false without memory or when
/// two lines hold the same wwid.
bool build_index();
/// The line number of `wwid` in an indexed load, or -1.
long find(const char *wwid);
/// Parses record line `i` into rec (cleared first). 0 complete; -1 not.
int parse_line(std::size_t i, pathinfo *rec);
/// Turns an indexed load into an ordinary one: every line of the file gets
/// its record in conf, in the order a whole load gives, the records added
/// since the load still first.
void materialize();

}  // namespace conf_loaded

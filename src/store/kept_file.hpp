// The kept file: what a store keeps of the preference file it last read, and
// what it can tell from it without the lock. Its bytes and identity, its
// record lines, for an indexed load their index by wwid and the one LUN it
// serves, and the answers it gave (resolve_peek's). For store/*.cpp and the
// store's tests alone: nothing here knows the store's list.
#pragma once

#include "base/grow_array.hpp"
#include "base/hash_index.hpp"
#include "base/pathinfo.hpp"
#include "store/disk.hpp"
#include "store/line.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>

/// One record line of the loaded file, its end excluded.
struct LineSpan {
    std::size_t offset;
    std::uint32_t len;
    std::uint16_t wwid_len;  ///< the first token (indexed loads only)
    bool bad_address;        ///< an address number above 255 (indexed loads only)
};

/// What resolve_peek answered for one probed path of one line of the loaded
/// text: everything of the probed record that conf_getPrio reads.
struct PeekAnswer {
    std::uint32_t line;
    int cp, host, channel, id, lun, lunref, prio;
    char dev[24];
    char text_name[kTextNameSize];
};

/// What the last load_config read, kept until the next load or store_reset:
/// the file's bytes and the lines that became records, in file order.
/// `canonical` holds while the file is exactly those lines, each ended by a
/// line feed alone, each in the form the writer gives: a save that writes
/// the same lines in the reverse order (a load reverses them) then leaves
/// the file as it is.
///
/// An indexed load (a run that needs one LUN alone) keeps every line of a
/// canonical file with its wwid in `index` and parses only the line of that
/// LUN into `wanted`, the one record of the file in the list; a save then
/// copies every other line from the text. A file that is not canonical is
/// read whole the usual way.
struct LoadedFile {
    DiskContent content{};
    GrowArray<LineSpan> lines;
    bool canonical = false;
    bool unread = false;   ///< the file exists but was not read whole: never rewrite it
    char unread_why[64] = "";     ///< why, for the admin ("Permission denied"...)
    bool unread_memory = false;   ///< for want of memory
    bool indexed = false;  ///< an indexed load
    HashIndex index;       ///< line numbers by encoded wwid (indexed loads)
    char served[kWwidSize] = "";  ///< the one LUN of an indexed load
    pathinfo *wanted = nullptr;   ///< its record, when the file holds it
    std::size_t wanted_line = 0;
    /// resolve_peek's answers for this content, by line, port and host.
    GrowArray<PeekAnswer> answers;
    HashIndex answer_index;
    /// The content is the file as it stands while the file's identity is
    /// content.identity (a save that writes clears this).
    bool current = false;
    char path[PATH_MAX] = "";
};

/// Frees all the kept file holds and empties it.
void kept_forget(LoadedFile *loaded);
/// Marks the file as not read whole, for `why` (a strerror text or the
/// like), so that no save replaces it.
void kept_mark_unread(LoadedFile *loaded, const char *why);
/// The same, for want of memory.
void kept_mark_unread_memory(LoadedFile *loaded);
/// Notes a record line; false without memory.
bool kept_note_line(LoadedFile *loaded, const LineSpan &span);

/// Notes every line of a canonical file with its wwid and builds their
/// index by wwid, for an indexed load of `wwid`: true when every line is in
/// the writer's form, each of another LUN. False leaves nothing noted.
bool kept_index(LoadedFile *loaded, const char *wwid);
/// The line number of `wwid` in an indexed load, or -1.
long kept_find(const LoadedFile &loaded, const char *wwid);
/// Parses record line `i` into rec (cleared first), through `scratch`
/// (kMaxLine + 1 bytes). 0 complete; -1 not.
int kept_parse_line(const LoadedFile &loaded, std::size_t i, char *scratch, pathinfo *rec);
/// True when `text` (len bytes, line feed included) is the loaded record
/// line `i`.
bool kept_line_is(const LoadedFile &loaded, std::size_t i, const char *text, std::size_t len);

/// The answer remembered for `probed` on line `line`, or 0: the same path,
/// probed the same, on the same unchanged line gets the same answer.
int kept_answer(const LoadedFile &loaded, std::size_t line, const pathinfo *probed);
/// Remembers the answer `prio` for `probed` on line `line`; without memory
/// (or for a long device name) it is only not remembered.
void kept_remember(LoadedFile *loaded, std::size_t line, const pathinfo *probed, int prio);

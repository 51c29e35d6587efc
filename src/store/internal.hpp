// The store's own parts, for store/*.cpp and the store's tests alone: what a
// store keeps of the file it read (LoadedFile), the answers of resolve_peek,
// the arena of a load's records, the scratch line, and the functions by
// which the rooms of the store reach one another.
//
// The rooms: store.cpp (the value, its list, its records and the walk),
// line.cpp (one record line's text, and the scan of a content's lines),
// disk.cpp (the file read whole and replaced atomically), file.cpp (the
// file loaded into the list and saved from it), kept.cpp (what a load keeps
// of the file: its lines, their index by wwid, the indexed load and save),
// resolve.cpp (conf_getPrio, conf_setPrio and resolve_peek).
#pragma once

#include "base/grow_array.hpp"
#include "base/hash_index.hpp"
#include "base/pathinfo.hpp"
#include "store/disk.hpp"
#include "store/line.hpp"
#include "store/file.hpp"
#include "store/resolve.hpp"
#include "store/store.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <new>


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

/// The records of a large load, carved from one anonymous mapping (see
/// store.cpp); empty for a small one.
struct RecordArena {
    char *base = nullptr;
    std::size_t size = 0;
    std::size_t used = 0;
};

/// A store's own state, held in place in Store::inside.
struct StoreInside {
    LoadedFile loaded;
    RecordArena arena;
    /// The LUN that the next load serves alone (empty: every LUN).
    char serve[kWwidSize] = "";
    /// One line's bytes while it is parsed or formatted; resolve_peek's record.
    char scratch[kMaxLine + 1];
    pathinfo peek_record;
};

inline StoreInside *store_inside(Store *store)
{
    return std::launder(reinterpret_cast<StoreInside *>(store->inside));
}
inline const StoreInside *store_inside(const Store *store)
{
    return std::launder(reinterpret_cast<const StoreInside *>(store->inside));
}
inline LoadedFile &store_loaded_file(Store *store) { return store_inside(store)->loaded; }

// --- store.cpp: the list and its records -------------------------------------

/// Puts rec at the front of the store's list (which then owns it) and sets
/// its lunref to 0. Returns 0, or -1 when there is no list.
int add_confNode(Store *store, pathinfo *rec);
/// Frees a record of the store's list: one of its arena, or a malloc'd one.
void store_free_record(Store *store, void *rec);
/// Frees what the last load_config kept of the file.
void store_forget_loaded(Store *store);
/// One step of the walk over the store's list (after dlist_start): the next
/// record, the end of the list, or a node that holds no record.
WalkStep store_list_next(Store *store, pathinfo **rec);
/// Finds the record of `wwid`: kWalkRecord with *found set, kWalkEnd when
/// the LUN is not in the list, kWalkNull when a node without record ends the
/// walk first.
WalkStep store_find_lun(Store *store, const char *wwid, pathinfo **found);
/// Prepares the records of a load of `lines` lines (see store.cpp).
void store_arena_open(Store *store, std::size_t lines);
/// A record cleared to its last byte, or nullptr.
pathinfo *store_new_record(Store *store);

// --- store.cpp: the lines a save writes ----------------------------------------

/// Makes room for `more` bytes, at least for the loaded file and a line more.
/// false without memory.
bool store_reserve_text(const LoadedFile &loaded, GrowArray<char> *out, std::size_t more);
/// Traces a save that ran out of memory; false.
bool store_save_no_memory();
/// Appends rec's line to `out` and traces it; its length, 0 without memory.
std::size_t store_put_record(const LoadedFile &loaded, GrowArray<char> *out, const pathinfo *rec);
/// Appends `len` bytes of a line kept from the loaded text, and its line
/// feed, to `out` (room made by the caller), and traces it.
void store_put_text(GrowArray<char> *out, const char *text, std::size_t len);
/// Whether the walk of the list goes on to the next record (not at the end,
/// nor at a node without record, which is traced).
bool store_next_record(Store *store, pathinfo **rec);

// --- kept.cpp: what a store keeps of the file it read ------------------------

/// Marks the file as not read whole, for `why` (a strerror text or the
/// like), so that no save replaces it.
void kept_mark_unread(LoadedFile *loaded, const char *why);
/// The same, for want of memory.
void kept_mark_unread_memory(LoadedFile *loaded);
/// Notes a record line; false without memory.
bool kept_note_line(LoadedFile *loaded, const LineSpan &span);
/// The line number of `wwid` in an indexed load, or -1.
long kept_find(const LoadedFile &loaded, const char *wwid);
/// Parses record line `i` into rec (cleared first), through the store's
/// scratch line. 0 complete; -1 not.
int kept_parse_line(Store *store, std::size_t i, pathinfo *rec);
/// True when `text` (len bytes, line feed included) is the loaded record
/// line `i`.
bool kept_line_is(const LoadedFile &loaded, std::size_t i, const char *text, std::size_t len);
/// The indexed load: true when every line of the file is canonical, each of
/// another LUN, and the served LUN's line, if any, is now `rec` in the list
/// (which then owns it). False leaves nothing noted and the file unread, for
/// the whole load to take over.
bool kept_load_indexed(Store *store, pathinfo *rec);
/// Turns an indexed load into an ordinary one: every line of the file gets
/// its record in the list, in the order a whole load gives, the records
/// added since the load still first.
void kept_make_whole(Store *store);
/// After an indexed load: the records added since the load, then every line
/// of the file from the last to the first, the wanted LUN's formatted from
/// its record and the others copied. *same: they are the loaded file's
/// lines in the reverse order, and nothing else.
bool kept_build_spliced(Store *store, GrowArray<char> *out, bool *same);

// --- resolve.cpp ---------------------------------------------------------------

/// conf_getPrio's steps on the stored record of a known LUN: the probed path
/// merged in, the alias refreshed, the priority kept or defaulted. The
/// priority.
int resolve_merge_known(pathinfo *stored, const pathinfo *probed);

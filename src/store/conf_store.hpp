// The store as a value: everything one user of the preference file holds.
//
// Life of a store: a program run makes one for the file it serves; a load
// fills it (the LUN list `conf`, and what it read of the file in `loaded`);
// resolutions change the list and save it; the run ends and the store frees
// all of it. The plugin keeps one store across calls, so that its `loaded`
// text and index serve the next call while the file on disk is unchanged
// (conf_peek); conf_drop_records frees the records between calls and keeps
// that text. No part of the store is global: every store function takes the
// store it works on.
#pragma once

#include "base/hash_index.hpp"
#include "base/pathinfo.hpp"
#include "store/conf_disk.hpp"
#include "store/conf_line.hpp"

#include <climits>
#include <cstddef>
#include <cstdint>

struct dlist;

/// One record line of the loaded file, its end excluded.
struct LineSpan {
    std::size_t offset;
    std::uint32_t len;
    std::uint16_t wwid_len;  ///< the first token (indexed loads only)
    bool bad_address;        ///< an address number above 255 (indexed loads only)
};

/// What conf_peek answered for one probed path of one line of the loaded
/// text: everything of the probed record that conf_getPrio reads.
struct PeekAnswer {
    std::uint32_t line;
    int cp, host, channel, id, lun, lunref, prio;
    char dev[24];
    char text_name[kTextNameSize];
};

/// What the last load_config read, kept until the next load or conf_reset:
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
    conf_disk::Content content{};
    LineSpan *lines = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;
    bool canonical = false;
    bool unread = false;   ///< the file exists but was not read whole: never rewrite it
    char unread_why[64] = "";     ///< why, for the admin ("Permission denied"...)
    bool unread_memory = false;   ///< for want of memory
    bool indexed = false;  ///< an indexed load
    HashIndex index;       ///< line numbers by encoded wwid (indexed loads)
    char served[kWwidSize] = "";  ///< the one LUN of an indexed load
    pathinfo *wanted = nullptr;   ///< its record, when the file holds it
    std::size_t wanted_line = 0;
    /// conf_peek's answers for this content, by line, port and host.
    PeekAnswer *answers = nullptr;
    std::size_t answer_count = 0;
    std::size_t answer_capacity = 0;
    HashIndex answer_index;
    /// The content is the file as it stands while the file's identity is
    /// content.identity (a save that writes clears this).
    bool current = false;
    char path[PATH_MAX] = "";
};

/// The records of a large load, carved from one anonymous mapping (see
/// conf_records.cpp); empty for a small one.
struct RecordArena {
    char *base = nullptr;
    std::size_t size = 0;
    std::size_t used = 0;
};

struct conf_store {
    /// A store whose resolutions save to `file`; nothing loaded yet.
    explicit conf_store(const char *file);
    /// Frees everything the store holds (conf_reset).
    ~conf_store();
    conf_store(const conf_store &) = delete;
    conf_store &operator=(const conf_store &) = delete;

    /// The LUN list of pathinfo records, newest first; nullptr until a load.
    struct dlist *conf = nullptr;
    LoadedFile loaded;
    RecordArena arena;
    /// The LUN that the next load serves alone (empty: every LUN).
    char serve[kWwidSize] = "";
    /// The file that conf_getPrio and conf_setPrio save to.
    char file[PATH_MAX] = "";
    /// Resolutions store nothing: save_config writes nothing and fails (a
    /// run that could not take the lock reads the file and leaves it).
    bool read_only = false;
    /// How the file's bytes are read (nullptr: read(2) whole); tests fake it.
    const conf_disk::Reader *reader = nullptr;
    /// One line's bytes while it is parsed or formatted; conf_peek's record.
    char scratch[conf_line::kMaxLine + 1];
    pathinfo peek_record;
};

/// Frees everything the store holds: its list with all records (any pointer
/// into it dies) and what the last load_config kept of the file. Afterwards
/// load_config starts as in a fresh store; a store that serves many requests
/// is reset after each one.
void conf_reset(conf_store *store);
/// Frees the list with all its records, and keeps what the last load_config
/// read of the file, for conf_peek.
void conf_drop_records(conf_store *store);

/// Frees what the last load_config kept of the file.
void conf_forget_loaded(conf_store *store);
/// Frees a record of the store's list: one of its arena, or a malloc'd one.
void conf_free_record(conf_store *store, void *rec);

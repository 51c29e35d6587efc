// Loading the preference file into a store's list: whole, every line a
// record (the listing, and every run that shows its traces), or indexed,
// only the line of the one LUN that a run resolves parsed.
#include "store/conf_load.hpp"

#include "store/conf_index.hpp"
#include "store/conf_line.hpp"
#include "store/conf_records.hpp"
#include "store/conf_scan.hpp"
#include "base/text.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {


constexpr int kLineParseReadline = 88;
constexpr int kLineParseTooLong = 90;
constexpr int kLineParseNul = 91;
constexpr int kLineParseWwid = 158;
constexpr int kLineParsePrio = 169;
constexpr int kLineParseIncomplete = 174;
constexpr int kLineParseIncompleteWwid = 175;
constexpr int kLineParseIncompletePrio = 186;
constexpr int kLineLoadMalloc = 305;
constexpr int kLineLoadDlistNew = 311;
constexpr int kLineLoadOpen = 317;
constexpr int kLineLoadUnreadable = 319;
constexpr int kLineLoadLock = 330;
constexpr int kLineLoadMallocNext = 341;
constexpr int kLineLoadDuplicate = 345;

constexpr const char *kMsgOpenFailed = "Could not open configuration file";
constexpr const char *kMsgLockFailed = "Could not get lock on file.";
constexpr const char *kFmtUnreadable =
    "Configuration file could not be read, it will not be rewritten: %s";
/// The lowest level whose traces show every line read.
constexpr int kLineTraceLevel = 7;

/// Marks the file as not read whole, for `why` (a strerror text or the
/// like), so that no save replaces it.
void mark_unread(LoadedFile *loaded, const char *why)
{
    loaded->unread = true;
    copy_field(loaded->unread_why, sizeof loaded->unread_why, why);
}

/// The same, for want of memory.
void mark_unread_memory(LoadedFile *loaded)
{
    mark_unread(loaded, std::strerror(ENOMEM));
    loaded->unread_memory = true;
}

/// Marks the file as not read whole, so that no save replaces it.
void refuse_saving(LoadedFile *loaded, const char *reason)
{
    mark_unread(loaded, reason);
    log_trace(kLineLoadUnreadable, 4, kFmtUnreadable, reason);
}

void trace_record(int wwid_line, int prio_line, const pathinfo *rec)
{
    log_trace(wwid_line, 7, "pathinfo->wwid: %s", rec->wwid);
    for (int slot = 0; slot < kSlotsPerPort; ++slot)
        log_trace(prio_line, 7,
                  "pathinfo->prio[0-3]: %s:%d %s:%d %s:%d %s:%d", rec->slot_dev[0][slot],
                  rec->prio[0][slot], rec->slot_dev[1][slot], rec->prio[1][slot],
                  rec->slot_dev[2][slot], rec->prio[2][slot], rec->slot_dev[3][slot],
                  rec->prio[3][slot]);
}

/// The next record line of the content into rec (cleared first), with the
/// traces of the lines skipped on the way and of the record read: false at
/// the end of the data. *piece tells the record's verdict.
bool parse_pathinfo(conf_store *store, conf_scan::Scanner *scanner, conf_scan::Piece *piece,
                    pathinfo *rec)
{
    LoadedFile &loaded = store->loaded;
    for (;;) {
        if (!conf_scan::scan_next(scanner, piece)) {
            std::memset(rec, 0, sizeof *rec);
            return false;
        }
        // Only record lines ended by a line feed alone are what the writer gives.
        if (piece->kind != conf_line::kText || !piece->line.lf_ended)
            loaded.canonical = false;
        if (piece->kind == conf_line::kText)
            break;
        if (piece->kind == conf_line::kTooLong)
            log_trace(kLineParseTooLong, 4,
                      "Configuration file line longer than %zu characters skipped",
                      conf_line::kMaxLine);
        if (piece->kind == conf_line::kHoldsNul)
            log_trace(kLineParseNul, 4,
                      "Configuration file line holding a NUL byte skipped");
    }
    log_trace(kLineParseReadline, 7, "readline: %s", scanner->text);
    // Every record reaches here clear (calloc, the arena, or cleared after a
    // repeated LUN): clearing its 4.7 KB again cost a whole load 6 %.
    conf_scan::scan_record(scanner, piece, rec, true);
    if (!piece->complete) {
        loaded.canonical = false;
        log_trace(kLineParseIncomplete, 4,
                  "Incomplete configuration file line encountered");
        trace_record(kLineParseIncompleteWwid, kLineParseIncompletePrio, rec);
        return true;
    }
    // A line that cannot be noted only costs the save its shortcut.
    LineSpan span = {piece->line.offset, static_cast<std::uint32_t>(piece->line.len), 0, false};
    if (!conf_loaded::note_line(&loaded, span))
        loaded.canonical = false;
    trace_record(kLineParseWwid, kLineParsePrio, rec);
    return true;
}

/// Whether the record just read repeats a LUN of an earlier line: the
/// scanner's word, or the list's when the scanner ran out of memory.
bool repeats(conf_store *store, const conf_scan::Piece &piece, const pathinfo *rec)
{
    if (piece.unsure) {
        pathinfo *found = nullptr;
        return conf_records::find_lun(store, rec->wwid, &found) == kWalkRecord;
    }
    return piece.repeat_of != 0;
}

std::size_t count_lines(const conf_disk::Content &content)
{
    std::size_t lines = 1;
    for (const char *p = content.data, *end = content.data + content.size;
         (p = static_cast<const char *>(std::memchr(p, '\n', end - p))) != nullptr; ++p)
        ++lines;
    return lines;
}

/// The whole load after the first record was allocated: every line a record.
void load_every_line(conf_store *store, pathinfo *rec)
{
    LoadedFile &loaded = store->loaded;
    conf_records::arena_open(store, count_lines(loaded.content));
    conf_scan::Scanner scanner(loaded.content.data, loaded.content.size);
    conf_scan::Piece piece{};
    // The first record joins the list even from an empty file.
    parse_pathinfo(store, &scanner, &piece, rec);
    add_confNode(store, rec);
    for (rec = nullptr;;) {
        if (rec == nullptr)
            rec = conf_records::new_record(store);
        if (rec == nullptr) {
            log_trace(kLineLoadMallocNext, 3, "Error: malloc == NULL!");
            // What was not loaded would be lost by a save.
            refuse_saving(&loaded, std::strerror(ENOMEM));
            mark_unread_memory(&loaded);
            break;
        }
        if (!parse_pathinfo(store, &scanner, &piece, rec)) {
            conf_free_record(store, rec);
            break;
        }
        // Each save reverses the lines, so a second line of a LUN would take
        // turns with the first at answering; the first one read stays.
        if (rec->wwid[0] != '\0' && repeats(store, piece, rec)) {
            log_trace(kLineLoadDuplicate, 4,
                      "Configuration file line repeating LUN %s skipped", rec->wwid);
            loaded.canonical = false;
            std::memset(rec, 0, sizeof *rec);
            continue;
        }
        add_confNode(store, rec);
        rec = nullptr;
    }
}

/// Notes every line of a file in the writer's form with its wwid; false
/// (nothing noted) at the first line that is not. Lines are found by their
/// line feeds alone: a carriage return or a NUL byte, where next_line would
/// cut or refuse a line, is a control byte that canonical() refuses anyway.
bool note_canonical_lines(LoadedFile *loaded)
{
    const char *data = loaded->content.data;
    const std::size_t size = loaded->content.size;
    bool plain = true;
    for (std::size_t pos = 0; plain && pos < size;) {
        const char *begin = data + pos;
        const auto *lf = static_cast<const char *>(std::memchr(begin, '\n', size - pos));
        std::size_t len = lf != nullptr ? static_cast<std::size_t>(lf - begin) : 0;
        conf_line::Shape shape{};
        plain = lf != nullptr && len > 0 && len <= conf_line::kMaxLine &&
                conf_line::canonical(begin, len, &shape) &&
                conf_loaded::note_line(loaded, {pos, static_cast<std::uint32_t>(len),
                                                static_cast<std::uint16_t>(shape.wwid_len),
                                                shape.bad_address});
        pos += len + 1;
    }
    if (!plain)
        loaded->count = 0;
    return plain;
}

/// The indexed load: true when every line of the file is canonical, each of
/// another LUN, and the served LUN's line, if any, is now `rec` in the list
/// (which then owns it). False leaves nothing noted and the file unread, for
/// the whole load to take over.
bool load_indexed(conf_store *store, pathinfo *rec)
{
    LoadedFile &loaded = store->loaded;
    if (!note_canonical_lines(&loaded))
        return false;
    if (!conf_loaded::build_index(&loaded)) {
        loaded.count = 0;
        hash_free(&loaded.index);
        return false;
    }
    loaded.indexed = true;
    copy_field(loaded.served, sizeof loaded.served, store->serve);
    long at = conf_loaded::find(loaded, store->serve);
    if (at < 0) {
        std::free(rec);
        return true;
    }
    conf_loaded::parse_line(store, static_cast<std::size_t>(at), rec);
    add_confNode(store, rec);
    loaded.wanted = rec;
    loaded.wanted_line = static_cast<std::size_t>(at);
    return true;
}

}  // namespace

bool conf_unreadable(const conf_store *store) { return store->loaded.unread; }

const char *conf_unread_reason(const conf_store *store)
{
    return store->loaded.unread ? store->loaded.unread_why : nullptr;
}

bool conf_out_of_memory(const conf_store *store) { return store->loaded.unread_memory; }

void conf_load_for(conf_store *store, const char *wwid)
{
    copy_field(store->serve, sizeof store->serve, wwid ? wwid : "");
}

int load_config(conf_store *store, const char *path)
{
    LoadedFile &loaded = store->loaded;
    conf_forget_loaded(store);
    // calloc: the reader fills a record that is clear to its last byte.
    auto *rec = static_cast<pathinfo *>(std::calloc(1, sizeof(pathinfo)));
    if (rec == nullptr) {
        log_trace(kLineLoadMalloc, 3, "Error: malloc == NULL!");
        return -3;
    }
    store->conf = dlist_new(sizeof(pathinfo));
    if (store->conf == nullptr) {
        log_trace(kLineLoadDlistNew, 3, "Error: dlist_new == NULL!");
        std::free(rec);
        return -2;
    }
    const char *reason = nullptr;
    int got = conf_disk::read_whole(path, &loaded.content, &reason, store->reader);
    copy_field(loaded.path, sizeof loaded.path, path);
    if (got != 1) {
        if (got >= -1)
            log_trace(kLineLoadOpen, 4, kMsgOpenFailed);
        if (got == -3)
            log_trace(kLineLoadLock, 4, kMsgLockFailed);
        if (got == -1 || got == -2 || got == -4)
            refuse_saving(&loaded, reason);
        if (got == -4)
            mark_unread_memory(&loaded);
        std::free(rec);
        return -1;
    }
    loaded.canonical = true;
    loaded.current = true;
    // A run that shows the lines it reads reads them all.
    if (store->serve[0] != '\0' && log_level() < kLineTraceLevel && load_indexed(store, rec))
        return 0;
    load_every_line(store, rec);
    return 0;
}

void conf_make_whole(conf_store *store)
{
    LoadedFile &loaded = store->loaded;
    dlist *conf = store->conf;
    if (!loaded.indexed || conf == nullptr)
        return;
    loaded.indexed = false;
    // The records added since the load, front first, leave the list for a
    // moment; the file's records go in below them as a whole load puts them.
    std::size_t added = 0;
    auto **front = static_cast<pathinfo **>(std::calloc(conf->count + 1, sizeof(pathinfo *)));
    while (conf->count > 0) {
        auto *rec = static_cast<pathinfo *>(dlist_shift(conf));
        if (rec != loaded.wanted && front != nullptr)
            front[added++] = rec;
    }
    // What could not be kept or read into a record would be lost by a save:
    // the file is then never rewritten, as after a whole load that ran out.
    if (front == nullptr)
        mark_unread_memory(&loaded);
    for (std::size_t i = 0; i < loaded.count; ++i) {
        pathinfo *rec = loaded.wanted != nullptr && i == loaded.wanted_line ? loaded.wanted : nullptr;
        if (rec == nullptr && (rec = conf_records::new_record(store)) != nullptr)
            conf_loaded::parse_line(store, i, rec);
        if (rec != nullptr)
            add_confNode(store, rec);
        else
            mark_unread_memory(&loaded);
    }
    // Put back as they stood: dlist_insert, not add_confNode, which would
    // clear the probed record's lunref.
    while (added > 0) {
        dlist_start(conf);
        dlist_insert(conf, front[--added], 1);
    }
    std::free(front);
    loaded.wanted = nullptr;
}

bool conf_walk_start(conf_store *store)
{
    if (store->conf == nullptr)
        return false;
    // A load for one LUN holds that LUN alone: a walk shows them all.
    if (store->loaded.indexed)
        conf_make_whole(store);
    dlist_start(store->conf);
    return true;
}

WalkStep conf_walk_next(conf_store *store, const pathinfo **rec)
{
    pathinfo *next = nullptr;
    WalkStep step = conf_records::walk_next(store, &next);
    *rec = next;
    return step;
}

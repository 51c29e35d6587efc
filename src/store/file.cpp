// The preference file loaded into a store's list, and the walk over it.
//
// A whole load makes every line a record (the listing, and every run that
// shows its traces); an indexed load parses only the line of the one LUN
// that a run resolves, the other lines kept as text in the kept file
// (kept_file.hpp) until a walk or another LUN needs them whole. The save is
// save.cpp's.
#include "base/grow_array.hpp"
#include "base/text.hpp"
#include "store/file.hpp"
#include "store/records.hpp"
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
constexpr int kLineLoadMallocNext = 341;
constexpr int kLineLoadDuplicate = 345;

constexpr const char *kMsgOpenFailed = "Could not open configuration file";
constexpr const char *kFmtUnreadable =
    "Configuration file could not be read, it will not be rewritten: %s";
/// The lowest level whose traces show every line read.
constexpr int kLineTraceLevel = 7;

/// Marks the file as not read whole, so that no save replaces it, and says so.
void refuse_saving(LoadedFile *loaded, const char *reason)
{
    kept_mark_unread(loaded, reason);
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
bool parse_pathinfo(Store *store, Scanner *scanner, ScanPiece *piece, pathinfo *rec)
{
    LoadedFile &loaded = store_inside(store)->loaded;
    for (;;) {
        if (!scan_next(scanner, piece)) {
            std::memset(rec, 0, sizeof *rec);
            return false;
        }
        // Only record lines ended by a line feed alone are what the writer gives.
        if (piece->kind != LineKind::kText || !piece->line.lf_ended)
            loaded.canonical = false;
        if (piece->kind == LineKind::kText)
            break;
        if (piece->kind == LineKind::kTooLong)
            log_trace(kLineParseTooLong, 4,
                      "Configuration file line longer than %zu characters skipped",
                      kMaxLine);
        if (piece->kind == LineKind::kHoldsNul)
            log_trace(kLineParseNul, 4,
                      "Configuration file line holding a NUL byte skipped");
    }
    log_trace(kLineParseReadline, 7, "readline: %s", scanner->text);
    // Every record reaches here clear (calloc, the arena, or cleared after a
    // repeated LUN): clearing its 4.7 KB again cost a whole load 6 %.
    scan_record(scanner, piece, rec, true);
    if (!piece->complete) {
        loaded.canonical = false;
        log_trace(kLineParseIncomplete, 4,
                  "Incomplete configuration file line encountered");
        trace_record(kLineParseIncompleteWwid, kLineParseIncompletePrio, rec);
        return true;
    }
    // A line that cannot be noted only costs the save its shortcut.
    LineSpan span = {piece->line.offset, static_cast<std::uint32_t>(piece->line.len), 0, false};
    if (!kept_note_line(&loaded, span))
        loaded.canonical = false;
    trace_record(kLineParseWwid, kLineParsePrio, rec);
    return true;
}

/// Whether the record just read repeats a LUN of an earlier line: the
/// scanner's word, or the list's when the scanner ran out of memory.
bool repeats(Store *store, const ScanPiece &piece, const pathinfo *rec)
{
    if (piece.unsure) {
        pathinfo *found = nullptr;
        return store_find_lun(store, rec->wwid, &found) == kWalkRecord;
    }
    return piece.repeat_of != 0;
}

std::size_t count_lines(const DiskContent &content)
{
    std::size_t lines = 1;
    for (const char *p = content.data, *end = content.data + content.size;
         (p = static_cast<const char *>(std::memchr(p, '\n', end - p))) != nullptr; ++p)
        ++lines;
    return lines;
}

/// The whole load after the first record was allocated: every line a record.
void load_every_line(Store *store, pathinfo *rec)
{
    LoadedFile &loaded = store_inside(store)->loaded;
    store_arena_open(store, count_lines(loaded.content));
    Scanner scanner(loaded.content.data, loaded.content.size);
    ScanPiece piece{};
    // The first record joins the list even from an empty file.
    parse_pathinfo(store, &scanner, &piece, rec);
    add_confNode(store, rec);
    for (rec = nullptr;;) {
        if (rec == nullptr)
            rec = store_new_record(store);
        if (rec == nullptr) {
            log_trace(kLineLoadMallocNext, 3, "Error: malloc == NULL!");
            // What was not loaded would be lost by a save.
            refuse_saving(&loaded, std::strerror(ENOMEM));
            kept_mark_unread_memory(&loaded);
            break;
        }
        if (!parse_pathinfo(store, &scanner, &piece, rec)) {
            store_free_record(store, rec);
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

/// The indexed load of `wwid`: true when every line of the file is
/// canonical, each of another LUN, and the served LUN's line, if any, is now
/// `rec` in the list (which then owns it). False leaves nothing noted and the
/// file unread, for the whole load to take over.
bool load_indexed(Store *store, const char *wwid, pathinfo *rec)
{
    StoreInside *inside = store_inside(store);
    LoadedFile &loaded = inside->loaded;
    if (!kept_index(&loaded, wwid))
        return false;
    long at = kept_find(loaded, wwid);
    if (at < 0) {
        std::free(rec);
        return true;
    }
    kept_parse_line(loaded, static_cast<std::size_t>(at), inside->scratch, rec);
    add_confNode(store, rec);
    loaded.wanted = rec;
    loaded.wanted_line = static_cast<std::size_t>(at);
    return true;
}

}  // namespace

bool file_unreadable(const Store *store) { return store_inside(store)->loaded.unread; }

const char *file_unread_reason(const Store *store)
{
    const LoadedFile &loaded = store_inside(store)->loaded;
    return loaded.unread ? loaded.unread_why : nullptr;
}

bool file_canonical(const Store *store) { return store_inside(store)->loaded.canonical; }

bool file_out_of_memory(const Store *store) { return store_inside(store)->loaded.unread_memory; }

int load_config(Store *store, const char *path) { return file_load(store, path, nullptr); }

namespace {
/// A quiet load's traces left unwritten: the thread's verbosity 0 for as
/// long as the load lasts, and given back as it was.
struct QuietLoad {
    int before;
    explicit QuietLoad(bool quiet) : before(quiet ? log_thread_use(0) : kNotQuiet) {}
    ~QuietLoad()
    {
        if (before != kNotQuiet)
            log_thread_use(before);
    }
    QuietLoad(const QuietLoad &) = delete;
    QuietLoad &operator=(const QuietLoad &) = delete;
    static constexpr int kNotQuiet = -2;
};

int load_file(Store *store, const char *path, const char *wwid);
}  // namespace

int file_load(Store *store, const char *path, const char *wwid, LoadTrace trace)
{
    QuietLoad quiet(trace == LoadTrace::kQuiet);
    return load_file(store, path, wwid);
}

namespace {
int load_file(Store *store, const char *path, const char *wwid)
{
    LoadedFile &loaded = store_inside(store)->loaded;
    kept_forget(&loaded);
    // calloc: the reader fills a record that is clear to its last byte.
    auto *rec = static_cast<pathinfo *>(std::calloc(1, sizeof(pathinfo)));
    if (rec == nullptr) {
        log_trace(kLineLoadMalloc, 3, "Error: malloc == NULL!");
        return -3;
    }
    store->luns = dlist_new(sizeof(pathinfo));
    if (store->luns == nullptr) {
        log_trace(kLineLoadDlistNew, 3, "Error: dlist_new == NULL!");
        std::free(rec);
        return -2;
    }
    const char *reason = nullptr;
    DiskRead got = disk_read_whole(path, &loaded.content, &reason, store->test_reader);
    copy_field(loaded.path, sizeof loaded.path, path);
    if (got != kDiskRead) {
        if (got == kDiskMissing || got == kDiskNotOpened)
            log_trace(kLineLoadOpen, 4, kMsgOpenFailed);
        if (got != kDiskMissing)
            refuse_saving(&loaded, reason);
        if (got == kDiskNoMemory)
            kept_mark_unread_memory(&loaded);
        std::free(rec);
        return -1;
    }
    loaded.canonical = true;
    loaded.current = true;
    // A run that shows the lines it reads reads them all.
    if (wwid != nullptr && wwid[0] != '\0' && log_level() < kLineTraceLevel &&
        load_indexed(store, wwid, rec))
        return 0;
    load_every_line(store, rec);
    return 0;
}
}  // namespace

void file_make_whole(Store *store)
{
    LoadedFile &loaded = store_inside(store)->loaded;
    dlist *luns = store->luns;
    if (!loaded.indexed || luns == nullptr)
        return;
    loaded.indexed = false;
    // The records added since the load, front first, leave the list for a
    // moment; the file's records go in below them as a whole load puts them.
    std::size_t added = 0;
    auto **front = static_cast<pathinfo **>(std::calloc(luns->count + 1, sizeof(pathinfo *)));
    while (luns->count > 0) {
        auto *rec = static_cast<pathinfo *>(dlist_shift(luns));
        if (rec != loaded.wanted && front != nullptr)
            front[added++] = rec;
    }
    // What could not be kept or read into a record would be lost by a save:
    // the file is then never rewritten, as after a whole load that ran out.
    if (front == nullptr)
        kept_mark_unread_memory(&loaded);
    for (std::size_t i = 0; i < loaded.lines.size(); ++i) {
        pathinfo *rec = loaded.wanted != nullptr && i == loaded.wanted_line ? loaded.wanted : nullptr;
        if (rec == nullptr && (rec = store_new_record(store)) != nullptr)
            kept_parse_line(loaded, i, store_inside(store)->scratch, rec);
        if (rec != nullptr)
            add_confNode(store, rec);
        else
            kept_mark_unread_memory(&loaded);
    }
    // Put back as they stood: dlist_insert, not add_confNode, which would
    // clear a record's lunref.
    while (added > 0) {
        dlist_start(luns);
        dlist_insert(luns, front[--added], 1);
    }
    std::free(front);
    loaded.wanted = nullptr;
}


bool file_walk_start(Store *store)
{
    if (store->luns == nullptr)
        return false;
    // A load for one LUN holds that LUN alone: a walk shows them all.
    if (store_inside(store)->loaded.indexed)
        file_make_whole(store);
    dlist_start(store->luns);
    return true;
}

WalkStep file_walk_next(Store *store, const pathinfo **rec)
{
    pathinfo *next = nullptr;
    WalkStep step = store_list_next(store, &next);
    *rec = next;
    return step;
}

pathinfo *file_find(Store *store, const char *wwid)
{
    if (!file_walk_start(store))
        return nullptr;
    pathinfo *found = nullptr;
    return store_find_lun(store, wwid, &found) == kWalkRecord ? found : nullptr;
}

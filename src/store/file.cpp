// The preference file loaded into a store's list and saved from it.
//
// A whole load makes every line a record (the listing, and every run that
// shows its traces); an indexed load (kept.cpp) parses only the line of the
// one LUN that a run resolves. A save builds the lines in one buffer, newest
// first, and hands them to disk_replace whole, or writes nothing when they
// are the lines the file already holds; after an indexed load every line
// but those of the records in the list is copied from the loaded text
// (kept.cpp), in the same order a whole save would write it.
#include "base/grow_array.hpp"
#include "base/text.hpp"
#include "store/internal.hpp"
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
constexpr int kLineSaveEntry = 212;
constexpr int kLineSaveNullConf = 215;
constexpr int kLineSaveNotRead = 217;

constexpr const char *kMsgOpenFailed = "Could not open configuration file";
constexpr const char *kFmtUnreadable =
    "Configuration file could not be read, it will not be rewritten: %s";
constexpr const char *kFmtInvalidAddress = "!!! invalid scsi address (%d:%d:%d:%d";
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
    LoadedFile &loaded = store_loaded_file(store);
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
    LoadedFile &loaded = store_loaded_file(store);
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

/// The warning for each address number above 255 of a line being written.
void warn_addresses(const pathinfo *rec)
{
    for (int k = line_invalid_address(rec, 0); k >= 0; k = line_invalid_address(rec, k + 1)) {
        int cp = k % kControllerPorts;
        int slot = k / kControllerPorts;
        log_text(kFmtInvalidAddress, rec->slot_host[cp][slot], rec->slot_channel[cp][slot],
                 rec->slot_id[cp][slot], rec->slot_lun[cp][slot]);
    }
}

/// The lines of every record of the list, newest first. *same: they are the
/// loaded file's lines in the reverse order, and nothing else.
bool build_whole(Store *store, GrowArray<char> *out, bool *same)
{
    const LoadedFile &loaded = store_loaded_file(store);
    std::size_t lines = 0;
    dlist_start(store->luns);
    for (pathinfo *rec = nullptr; store_next_record(store, &rec);) {
        if (rec->wwid[0] == '\0')
            continue;
        std::size_t len = store_put_record(loaded, out, rec);
        if (len == 0)
            return false;
        std::size_t count = loaded.lines.size();
        *same = *same && lines < count &&
                kept_line_is(loaded, count - 1 - lines, out->items + out->count - len, len);
        ++lines;
    }
    *same = *same && lines == loaded.lines.size();
    return true;
}

/// The warnings of the lines about to be written, in their order.
void warn_all(Store *store)
{
    const LoadedFile &loaded = store_loaded_file(store);
    dlist_start(store->luns);
    for (pathinfo *rec = nullptr; store_list_next(store, &rec) == kWalkRecord;) {
        if (rec->wwid[0] != '\0' && (!loaded.indexed || rec != loaded.wanted))
            warn_addresses(rec);
    }
    if (!loaded.indexed)
        return;
    pathinfo *scratch = nullptr;
    for (std::size_t i = loaded.lines.size(); i-- > 0;) {
        if (loaded.wanted != nullptr && i == loaded.wanted_line) {
            warn_addresses(loaded.wanted);
        } else if (loaded.lines[i].bad_address) {
            if (scratch == nullptr &&
                (scratch = static_cast<pathinfo *>(std::malloc(sizeof(pathinfo)))) == nullptr)
                return;
            kept_parse_line(store, i, scratch);
            warn_addresses(scratch);
        }
    }
    std::free(scratch);
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

void file_load_for(Store *store, const char *wwid)
{
    StoreInside *inside = store_inside(store);
    copy_field(inside->serve, sizeof inside->serve, wwid ? wwid : "");
}

int load_config(Store *store, const char *path)
{
    StoreInside *inside = store_inside(store);
    LoadedFile &loaded = inside->loaded;
    store_forget_loaded(store);
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
    if (inside->serve[0] != '\0' && log_level() < kLineTraceLevel && kept_load_indexed(store, rec))
        return 0;
    load_every_line(store, rec);
    return 0;
}

int save_config(Store *store, const char *path)
{
    LoadedFile &loaded = store_loaded_file(store);
    log_trace(kLineSaveEntry, 7, "ENTRY");
    if (store->luns == nullptr) {
        log_trace(kLineSaveNullConf, 7, "Null Conf");
        return -1;
    }
    if (store->read_only)
        return -1;
    if (loaded.unread) {
        log_trace(kLineSaveNotRead, 4,
                  "Configuration file was not read whole; not rewritten");
        return -1;
    }
    GrowArray<char> out;
    GrowArrayFreed<char> freed{&out};
    // Whether every line is the loaded file's, in the reverse order.
    bool same = loaded.canonical && std::strcmp(path, loaded.path) == 0;
    bool built =
        loaded.indexed ? kept_build_spliced(store, &out, &same) : build_whole(store, &out, &same);
    if (!built)
        return -1;
    // Nothing changed: the file keeps its bytes, and the disk its sync.
    if (same)
        return 0;
    warn_all(store);
    loaded.current = false;
    if (disk_replace(path, out.items, out.count, store->held) < 0)
        return -1;
    loaded.canonical = false;
    return 0;
}

bool file_walk_start(Store *store)
{
    if (store->luns == nullptr)
        return false;
    // A load for one LUN holds that LUN alone: a walk shows them all.
    if (store_inside(store)->loaded.indexed)
        kept_make_whole(store);
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

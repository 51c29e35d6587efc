// The save: the lines of the store's list built in one buffer, newest
// first, and handed to disk_replace whole, or nothing written when they are
// the lines the file already holds. After an indexed load every line but
// those of the records in the list is copied from the kept file's text, in
// the same order a whole save would write it.
#include "base/grow_array.hpp"
#include "store/records.hpp"
#include "store/file.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kLineSaveEntry = 212;
constexpr int kLineSaveNullConf = 215;
constexpr int kLineSaveNotRead = 217;
constexpr int kLineSaveListNull = 237;
constexpr int kLineSaveLine = 291;

constexpr const char *kFmtInvalidAddress = "!!! invalid scsi address (%d:%d:%d:%d";
/// The level of the traces of the lines a save writes.
constexpr int kLineTraceLevel = 7;

// --- the lines written ---------------------------------------------------------

/// Makes room for `more` bytes, at least for the loaded file and a line more.
/// false without memory.
bool reserve_text(const LoadedFile &loaded, GrowArray<char> *out, std::size_t more)
{
    // Most saves write about what was loaded: the buffer then grows once.
    return out->reserve(out->count + more, loaded.content.size + kMaxLine);
}

/// Traces a save that ran out of memory; false.
bool save_no_memory()
{
    disk_trace_write_failure(ENOMEM);
    return false;
}

/// Appends rec's line to `out` and traces it; its length, 0 without memory.
std::size_t put_record(const LoadedFile &loaded, GrowArray<char> *out, const pathinfo *rec)
{
    if (!reserve_text(loaded, out, kMaxLine)) {
        save_no_memory();
        return 0;
    }
    char *line = out->items + out->count;
    std::size_t len = line_format(rec, line);
    out->count += len;
    log_trace(kLineSaveLine, 7, "%.*s", static_cast<int>(len), line);
    return len;
}

/// Appends `len` bytes of a line kept from the loaded text, and its line
/// feed, to `out` (room made by the caller), and traces it.
void put_text(GrowArray<char> *out, const char *text, std::size_t len)
{
    char *line = out->items + out->count;
    std::memcpy(line, text, len);
    line[len] = '\n';
    out->count += len + 1;
    log_trace(kLineSaveLine, 7, "%.*s", static_cast<int>(len + 1), line);
}

/// Whether the walk of the list goes on to the next record (not at the end,
/// nor at a node without record, which is traced).
bool next_record(Store *store, pathinfo **rec)
{
    WalkStep step = store_list_next(store, rec);
    if (step == kWalkNull)
        log_trace(kLineSaveListNull, 7, "List Null");
    return step == kWalkRecord;
}

// --- what is written -----------------------------------------------------------

/// After an indexed load, for a save whose lines nobody sees: whether the
/// list holds no record but the loaded one of its LUN, unchanged, so that
/// the file would get its own lines again (then nothing need be built).
bool unchanged_since_load(Store *store)
{
    StoreInside *inside = store_inside(store);
    const LoadedFile &loaded = inside->loaded;
    if (log_level() >= kLineTraceLevel)
        return false;
    dlist_start(store->luns);
    for (pathinfo *rec = nullptr; store_list_next(store, &rec) == kWalkRecord;) {
        if (rec->wwid[0] != '\0' && rec != loaded.wanted)
            return false;
    }
    if (loaded.wanted == nullptr)
        return true;
    std::size_t len = line_format(loaded.wanted, inside->scratch);
    return kept_line_is(loaded, loaded.wanted_line, inside->scratch, len);
}

/// After an indexed load: the records added since the load, then every line
/// of the file from the last to the first, the wanted LUN's formatted from
/// its record and the others copied. *same: they are the loaded file's
/// lines in the reverse order, and nothing else.
bool build_spliced(Store *store, GrowArray<char> *out, bool *same)
{
    const LoadedFile &loaded = store_inside(store)->loaded;
    if (*same && unchanged_since_load(store))
        return true;
    dlist_start(store->luns);
    for (pathinfo *rec = nullptr; next_record(store, &rec);) {
        if (rec->wwid[0] == '\0' || rec == loaded.wanted)
            continue;
        if (put_record(loaded, out, rec) == 0)
            return false;
        *same = false;
    }
    if (!reserve_text(loaded, out, loaded.content.size + kMaxLine))
        return save_no_memory();
    for (std::size_t i = loaded.lines.size(); i-- > 0;) {
        const LineSpan &span = loaded.lines[i];
        if (loaded.wanted != nullptr && i == loaded.wanted_line) {
            std::size_t len = put_record(loaded, out, loaded.wanted);
            *same = *same && kept_line_is(loaded, i, out->items + out->count - len, len);
            continue;
        }
        put_text(out, loaded.content.data + span.offset, span.len);
    }
    return true;
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
    const LoadedFile &loaded = store_inside(store)->loaded;
    std::size_t lines = 0;
    dlist_start(store->luns);
    for (pathinfo *rec = nullptr; next_record(store, &rec);) {
        if (rec->wwid[0] == '\0')
            continue;
        std::size_t len = put_record(loaded, out, rec);
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
    const LoadedFile &loaded = store_inside(store)->loaded;
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
            kept_parse_line(loaded, i, store_inside(store)->scratch, scratch);
            warn_addresses(scratch);
        }
    }
    std::free(scratch);
}

}  // namespace

int save_config(Store *store, const char *path)
{
    LoadedFile &loaded = store_inside(store)->loaded;
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
        loaded.indexed ? build_spliced(store, &out, &same) : build_whole(store, &out, &same);
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

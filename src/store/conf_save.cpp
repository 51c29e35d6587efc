// Saving a store's list to the preference file: the lines built in one buffer,
// newest first, and handed to conf_disk::replace whole, or not written at
// all when they are the lines the file already holds. After an indexed load
// every line but those of the records in conf is copied from the loaded
// text, in the same order a whole save would write it.
#include "store/conf_save.hpp"

#include "base/byte_buffer.hpp"
#include "store/conf_index.hpp"
#include "store/conf_line.hpp"
#include "store/conf_records.hpp"
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
constexpr int kLineSaveWrite = 293;

constexpr const char *kFmtInvalidAddress = "!!! invalid scsi address (%d:%d:%d:%d";
/// The level of the traces of the lines a save writes.
constexpr int kLineTraceLevel = 7;

/// Makes room for `more` bytes, at least for the loaded file and a line more:
/// most saves write about what was loaded, and the buffer then grows once.
/// false without memory.
bool reserve(const LoadedFile &loaded, ByteBuffer *out, std::size_t more)
{
    return byte_buffer_reserve(out, more, loaded.content.size + conf_line::kMaxLine);
}

bool out_of_memory()
{
    log_trace(kLineSaveWrite, 4, "Could not write configuration file: %s",
              std::strerror(ENOMEM));
    return false;
}

/// Appends rec's line to `out` and traces it; its length, 0 without memory.
std::size_t put_record(const LoadedFile &loaded, ByteBuffer *out, const pathinfo *rec)
{
    if (!reserve(loaded, out, conf_line::kMaxLine)) {
        out_of_memory();
        return 0;
    }
    char *line = out->data + out->len;
    std::size_t len = conf_line::format(rec, line);
    out->len += len;
    log_trace(kLineSaveLine, 7, "%.*s", static_cast<int>(len), line);
    return len;
}

/// True when the line just put at the end of `out` (len bytes, line feed
/// included) is the loaded record line `span`.
bool same_line(const LoadedFile &loaded, const LineSpan &span, const ByteBuffer &out,
               std::size_t len)
{
    return span.len + 1 == len &&
           std::memcmp(loaded.content.data + span.offset, out.data + out.len - len, span.len) == 0;
}

/// The warning for each address number above 255 of a line being written.
void warn_addresses(const pathinfo *rec)
{
    for (int k = conf_line::invalid_address(rec, 0); k >= 0;
         k = conf_line::invalid_address(rec, k + 1)) {
        int cp = k % kControllerPorts;
        int slot = k / kControllerPorts;
        log_text(kFmtInvalidAddress, rec->slot_host[cp][slot], rec->slot_channel[cp][slot],
                 rec->slot_id[cp][slot], rec->slot_lun[cp][slot]);
    }
}

/// Whether the walk of the list goes on to the next record (not at the end,
/// nor at a node without record, which is traced).
bool next_record(conf_store *store, pathinfo **rec)
{
    WalkStep step = conf_records::walk_next(store, rec);
    if (step == kWalkNull)
        log_trace(kLineSaveListNull, 7, "List Null");
    return step == kWalkRecord;
}

/// The lines of every record of conf, newest first. *same: they are the
/// loaded file's lines in the reverse order, and nothing else.
bool build_whole(conf_store *store, ByteBuffer *out, bool *same)
{
    const LoadedFile &loaded = store->loaded;
    std::size_t lines = 0;
    dlist_start(store->conf);
    for (pathinfo *rec = nullptr; next_record(store, &rec);) {
        if (rec->wwid[0] == '\0')
            continue;
        std::size_t len = put_record(loaded, out, rec);
        if (len == 0)
            return false;
        *same = *same && lines < loaded.count &&
                same_line(loaded, loaded.lines[loaded.count - 1 - lines], *out, len);
        ++lines;
    }
    *same = *same && lines == loaded.count;
    return true;
}

/// After an indexed load, for a save whose lines nobody sees: whether the
/// list holds no record but the loaded one of its LUN, unchanged, so that
/// the file would get its own lines again (then nothing need be built).
bool unchanged_since_load(conf_store *store)
{
    const LoadedFile &loaded = store->loaded;
    if (log_level() >= kLineTraceLevel)
        return false;
    dlist_start(store->conf);
    for (pathinfo *rec = nullptr; conf_records::walk_next(store, &rec) == kWalkRecord;) {
        if (rec->wwid[0] != '\0' && rec != loaded.wanted)
            return false;
    }
    if (loaded.wanted == nullptr)
        return true;
    std::size_t len = conf_line::format(loaded.wanted, store->scratch);
    const LineSpan &span = loaded.lines[loaded.wanted_line];
    return span.len + 1 == len &&
           std::memcmp(loaded.content.data + span.offset, store->scratch, span.len) == 0;
}

/// After an indexed load: the records added since the load, then every line
/// of the file from the last to the first, the wanted LUN's formatted from
/// its record and the others copied.
bool build_spliced(conf_store *store, ByteBuffer *out, bool *same)
{
    const LoadedFile &loaded = store->loaded;
    if (*same && unchanged_since_load(store))
        return true;
    dlist_start(store->conf);
    for (pathinfo *rec = nullptr; next_record(store, &rec);) {
        if (rec->wwid[0] == '\0' || rec == loaded.wanted)
            continue;
        if (put_record(loaded, out, rec) == 0)
            return false;
        *same = false;
    }
    if (!reserve(loaded, out, loaded.content.size + conf_line::kMaxLine))
        return out_of_memory();
    for (std::size_t i = loaded.count; i-- > 0;) {
        const LineSpan &span = loaded.lines[i];
        if (loaded.wanted != nullptr && i == loaded.wanted_line) {
            std::size_t len = put_record(loaded, out, loaded.wanted);
            *same = *same && same_line(loaded, span, *out, len);
            continue;
        }
        char *line = out->data + out->len;
        std::memcpy(line, loaded.content.data + span.offset, span.len);
        line[span.len] = '\n';
        out->len += span.len + 1;
        log_trace(kLineSaveLine, 7, "%.*s",
                  static_cast<int>(span.len + 1), line);
    }
    return true;
}

/// The warnings of the lines about to be written, in their order.
void warn_all(conf_store *store)
{
    const LoadedFile &loaded = store->loaded;
    dlist_start(store->conf);
    for (pathinfo *rec = nullptr; conf_records::walk_next(store, &rec) == kWalkRecord;) {
        if (rec->wwid[0] != '\0' && (!loaded.indexed || rec != loaded.wanted))
            warn_addresses(rec);
    }
    if (!loaded.indexed)
        return;
    pathinfo *scratch = nullptr;
    for (std::size_t i = loaded.count; i-- > 0;) {
        if (loaded.wanted != nullptr && i == loaded.wanted_line) {
            warn_addresses(loaded.wanted);
        } else if (loaded.lines[i].bad_address) {
            if (scratch == nullptr &&
                (scratch = static_cast<pathinfo *>(std::malloc(sizeof(pathinfo)))) == nullptr)
                return;
            conf_loaded::parse_line(store, i, scratch);
            warn_addresses(scratch);
        }
    }
    std::free(scratch);
}

}  // namespace

int save_config(conf_store *store, const char *path)
{
    LoadedFile &loaded = store->loaded;
    log_trace(kLineSaveEntry, 7, "ENTRY");
    if (store->conf == nullptr) {
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
    ByteBuffer out;
    // Whether every line is the loaded file's, in the reverse order.
    bool same = loaded.canonical && std::strcmp(path, loaded.path) == 0;
    bool built = loaded.indexed ? build_spliced(store, &out, &same) : build_whole(store, &out, &same);
    if (!built)
        return -1;
    // Nothing changed: the file keeps its bytes, and the disk its sync.
    if (same)
        return 0;
    warn_all(store);
    loaded.current = false;
    if (conf_disk::replace(path, out.data, out.len) < 0)
        return -1;
    loaded.canonical = false;
    return 0;
}

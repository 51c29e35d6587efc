// Loading the preference file into the LUN list: whole, every line a record
// (the listing, and every run that shows its traces), or indexed, only the
// line of the one LUN that a run resolves parsed.
#include "store/conf.hpp"
#include "store/conf_internal.hpp"
#include "store/conf_line.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using conf_loaded::loaded;

constexpr const char *kModule = "conf";

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

/// The LUN that the next load serves alone (empty: every LUN).
char wanted_wwid[kWwidSize] = "";
/// The line being parsed: the one copy of its bytes, split in place.
char read_buffer[conf_line::kMaxLine + 1];

/// Marks the file as not read whole, so that no save replaces it.
void refuse_saving(const char *reason)
{
    conf_loaded::mark_unread(reason);
    log_trace(kModule, "load_config", kLineLoadUnreadable, 4, kFmtUnreadable, reason);
}

/// Takes the next line of the loaded content, without its end, into
/// read_buffer (a line of kind kText only); *offset is where it begins.
conf_line::LineKind read_line(std::size_t *offset, std::size_t *len)
{
    conf_line::Line line{};
    conf_line::LineKind kind = conf_line::kNoLine;
    if (loaded.content.data != nullptr)
        kind = conf_line::next_line(loaded.content.data, loaded.content.size, &loaded.pos, &line);
    if (kind == conf_line::kNoLine)
        return kind;
    // Only record lines ended by a line feed alone are what the writer gives.
    if (kind != conf_line::kText || !line.lf_ended)
        loaded.canonical = false;
    *offset = line.offset;
    *len = line.len;
    if (kind == conf_line::kText) {
        std::memcpy(read_buffer, loaded.content.data + line.offset, line.len);
        read_buffer[line.len] = '\0';
    }
    return kind;
}

void trace_record(int wwid_line, int prio_line, const pathinfo *rec)
{
    log_trace(kModule, "parse_pathinfo", wwid_line, 7, "pathinfo->wwid: %s", rec->wwid);
    for (int slot = 0; slot < kSlotsPerPort; ++slot)
        log_trace(kModule, "parse_pathinfo", prio_line, 7,
                  "pathinfo->prio[0-3]: %s:%d %s:%d %s:%d %s:%d", rec->slot_dev[0][slot],
                  rec->prio[0][slot], rec->slot_dev[1][slot], rec->prio[1][slot],
                  rec->slot_dev[2][slot], rec->prio[2][slot], rec->slot_dev[3][slot],
                  rec->prio[3][slot]);
}

/// parse_pathinfo on a record that is already clear.
int read_record(pathinfo *rec)
{
    std::size_t offset = 0;
    std::size_t len = 0;
    // Empty lines, and the empty line between the CR and LF of a CRLF end,
    // are not the end of the data.
    for (;;) {
        conf_line::LineKind kind = read_line(&offset, &len);
        if (kind == conf_line::kNoLine)
            return 0;
        if (kind == conf_line::kText)
            break;
        if (kind == conf_line::kTooLong)
            log_trace(kModule, "parse_pathinfo", kLineParseTooLong, 4,
                      "Configuration file line longer than %zu characters skipped",
                      conf_line::kMaxLine);
        if (kind == conf_line::kHoldsNul)
            log_trace(kModule, "parse_pathinfo", kLineParseNul, 4,
                      "Configuration file line holding a NUL byte skipped");
    }
    log_trace(kModule, "parse_pathinfo", kLineParseReadline, 7, "readline: %s", read_buffer);
    if (conf_line::parse(read_buffer, rec) < 0) {
        loaded.canonical = false;
        log_trace(kModule, "parse_pathinfo", kLineParseIncomplete, 4,
                  "Incomplete configuration file line encountered");
        trace_record(kLineParseIncompleteWwid, kLineParseIncompletePrio, rec);
        return 1;
    }
    // A line that cannot be noted only costs the save its shortcut.
    if (!conf_loaded::note_line({offset, static_cast<std::uint32_t>(len), 0, false}))
        loaded.canonical = false;
    trace_record(kLineParseWwid, kLineParsePrio, rec);
    return 1;
}

/// The wwids of the records loaded so far, as pointers into the records: an
/// open-addressing hash set. Without memory for it the list itself is
/// searched.
struct WwidSet {
    const char **slots = nullptr;
    std::size_t capacity = 0;  // a power of two, or 0
    std::size_t count = 0;
    WwidSet() = default;
    WwidSet(const WwidSet &) = delete;
    WwidSet &operator=(const WwidSet &) = delete;
    ~WwidSet() { std::free(slots); }
};

std::size_t wwid_hash(const char *wwid)
{
    std::size_t h = 14695981039346656037ull;  // FNV-1a
    for (; *wwid != '\0'; ++wwid)
        h = (h ^ static_cast<unsigned char>(*wwid)) * 1099511628211ull;
    return h;
}

/// The slot of `wwid` in the set: where it is, or the free one it would take.
std::size_t wwid_slot(const WwidSet &set, const char *wwid)
{
    std::size_t mask = set.capacity - 1;
    std::size_t i = wwid_hash(wwid) & mask;
    while (set.slots[i] != nullptr && std::strcmp(set.slots[i], wwid) != 0)
        i = (i + 1) & mask;
    return i;
}

bool wwid_set_grow(WwidSet *set)
{
    std::size_t grown = set->capacity == 0 ? 512 : set->capacity * 2;
    auto *old = set->slots;
    std::size_t old_capacity = set->capacity;
    set->slots = static_cast<const char **>(std::calloc(grown, sizeof *set->slots));
    if (set->slots == nullptr) {
        set->slots = old;
        return false;
    }
    set->capacity = grown;
    for (std::size_t i = 0; i < old_capacity; ++i) {
        if (old[i] != nullptr)
            set->slots[wwid_slot(*set, old[i])] = old[i];
    }
    std::free(old);
    return true;
}

/// Adds `wwid` (which must outlive the set); false when it was there already.
bool wwid_set_add(WwidSet *set, const char *wwid)
{
    if ((set->count + 1) * 2 > set->capacity && !wwid_set_grow(set)) {
        pathinfo *found = nullptr;
        return conf_records::find_lun(wwid, &found) != conf_records::kWalkRecord;
    }
    std::size_t i = wwid_slot(*set, wwid);
    if (set->slots[i] != nullptr)
        return false;
    set->slots[i] = wwid;
    ++set->count;
    return true;
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
void load_every_line(pathinfo *rec)
{
    conf_records::arena_open(count_lines(loaded.content));
    // The first record joins the list even from an empty file.
    read_record(rec);
    add_confNode(rec);
    WwidSet seen;
    if (rec->wwid[0] != '\0')
        wwid_set_add(&seen, rec->wwid);
    for (rec = nullptr;;) {
        if (rec == nullptr)
            rec = conf_records::new_record();
        if (rec == nullptr) {
            log_trace(kModule, "load_config", kLineLoadMallocNext, 3, "Error: malloc == NULL!");
            // What was not loaded would be lost by a save.
            refuse_saving(std::strerror(ENOMEM));
            conf_loaded::mark_unread_memory();
            break;
        }
        if (read_record(rec) == 0) {
            conf_records::free_record(rec);
            break;
        }
        // Each save reverses the lines, so a second line of a LUN would take
        // turns with the first at answering; the first one read stays.
        if (rec->wwid[0] != '\0' && !wwid_set_add(&seen, rec->wwid)) {
            log_trace(kModule, "load_config", kLineLoadDuplicate, 4,
                      "Configuration file line repeating LUN %s skipped", rec->wwid);
            loaded.canonical = false;
            std::memset(rec, 0, sizeof *rec);
            continue;
        }
        add_confNode(rec);
        rec = nullptr;
    }
}

/// The indexed load: true when every line of the file is canonical, each of
/// another LUN, and the wanted LUN's line, if any, is now `rec` in conf
/// (which then owns it). False leaves nothing noted and the file unread, for
/// the whole load to take over.
bool load_indexed(pathinfo *rec)
{
    std::size_t pos = 0;
    conf_line::Line line{};
    conf_line::LineKind kind;
    const char *data = loaded.content.data;
    while (data != nullptr &&
           (kind = conf_line::next_line(data, loaded.content.size, &pos, &line)) !=
               conf_line::kNoLine) {
        conf_line::Shape shape{};
        if (kind != conf_line::kText || !line.lf_ended ||
            !conf_line::canonical(data + line.offset, line.len, &shape) ||
            !conf_loaded::note_line({line.offset, static_cast<std::uint32_t>(line.len),
                                     static_cast<std::uint16_t>(shape.wwid_len),
                                     shape.bad_address})) {
            loaded.count = 0;
            return false;
        }
    }
    if (!conf_loaded::build_index()) {
        loaded.count = 0;
        std::free(loaded.index);
        loaded.index = nullptr;
        loaded.index_capacity = 0;
        return false;
    }
    loaded.indexed = true;
    copy_field(loaded.served, sizeof loaded.served, wanted_wwid);
    long at = conf_loaded::find(wanted_wwid);
    if (at < 0) {
        std::free(rec);
        return true;
    }
    conf_loaded::parse_line(static_cast<std::size_t>(at), rec);
    add_confNode(rec);
    loaded.wanted = rec;
    loaded.wanted_line = static_cast<std::size_t>(at);
    return true;
}

}  // namespace

int parse_pathinfo(pathinfo *rec)
{
    std::memset(rec, 0, sizeof *rec);
    return read_record(rec);
}

bool conf_unreadable() { return loaded.unread; }

const char *conf_unread_reason() { return loaded.unread ? loaded.unread_why : nullptr; }

bool conf_out_of_memory() { return loaded.unread_memory; }

void conf_load_for(const char *wwid) { copy_field(wanted_wwid, sizeof wanted_wwid, wwid ? wwid : ""); }

int load_config(const char *path)
{
    conf_loaded::forget();
    // calloc: the reader fills a record that is clear to its last byte.
    auto *rec = static_cast<pathinfo *>(std::calloc(1, sizeof(pathinfo)));
    if (rec == nullptr) {
        log_trace(kModule, "load_config", kLineLoadMalloc, 3, "Error: malloc == NULL!");
        return -3;
    }
    conf = dlist_new(sizeof(pathinfo));
    if (conf == nullptr) {
        log_trace(kModule, "load_config", kLineLoadDlistNew, 3, "Error: dlist_new == NULL!");
        std::free(rec);
        return -2;
    }
    const char *reason = nullptr;
    int got = conf_disk::read_whole(path, &loaded.content, &reason);
    copy_field(loaded.path, sizeof loaded.path, path);
    if (got != 1) {
        if (got >= -1)
            log_trace(kModule, "load_config", kLineLoadOpen, 4, kMsgOpenFailed);
        if (got == -3)
            log_trace(kModule, "load_config", kLineLoadLock, 4, kMsgLockFailed);
        if (got == -1 || got == -2 || got == -4)
            refuse_saving(reason);
        if (got == -4)
            conf_loaded::mark_unread_memory();
        std::free(rec);
        return -1;
    }
    loaded.canonical = true;
    loaded.current = true;
    // A run that shows the lines it reads reads them all.
    if (wanted_wwid[0] != '\0' && log_level() < kLineTraceLevel && load_indexed(rec))
        return 0;
    load_every_line(rec);
    return 0;
}

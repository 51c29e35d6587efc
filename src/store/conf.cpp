// The path preference store.
//
// Life cycle: a request loads the preference file into the LUN list `conf`
// (load_config) while its caller holds the lock file. The list owns every
// record handed to it and lives until conf_reset frees it (a program simply
// exits; a long-lived caller resets after each request). Each priority
// resolution (conf_getPrio, conf_setPrio) changes the list and rewrites the
// whole file from it (save_config). A rewrite never touches the file in
// place: it writes "<file>.tmp" beside it, syncs it, renames it over the file
// and syncs the directory, so the file always holds either the old or the
// new content, whatever happens to the process or the disk. A file that
// exists but could not be read whole is never rewritten by that request.
#include "store/conf.hpp"

#include "operations/operations.hpp"
#include "store/conf_disk.hpp"
#include "store/conf_line.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

struct dlist *conf = nullptr;

void copy_field(char *dst, std::size_t size, const char *src)
{
    if (size == 0)
        return;
    std::size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

namespace {

constexpr const char *kModule = "conf";

// Trace lines of the module.
constexpr int kLineParseReadline = 88;
constexpr int kLineParseTooLong = 90;
constexpr int kLineParseNul = 91;
constexpr int kLineParseWwid = 158;
constexpr int kLineParsePrio = 169;
constexpr int kLineParseIncomplete = 174;
constexpr int kLineParseIncompleteWwid = 175;
constexpr int kLineParseIncompletePrio = 186;
constexpr int kLineAddNullConf = 194;
constexpr int kLineSaveEntry = 212;
constexpr int kLineSaveNullConf = 215;
constexpr int kLineSaveNotRead = 217;
constexpr int kLineSaveListNull = 237;
constexpr int kLineSaveLine = 291;
constexpr int kLineSaveWrite = 293;
constexpr int kLineLoadMalloc = 305;
constexpr int kLineLoadDlistNew = 311;
constexpr int kLineLoadOpen = 317;
constexpr int kLineLoadUnreadable = 319;
constexpr int kLineLoadLock = 330;
constexpr int kLineLoadMallocNext = 341;
constexpr int kLineLoadDuplicate = 345;
constexpr int kLineDumpEntry = 363;
constexpr int kLineDumpNullConf = 365;
constexpr int kLineDumpListNull = 374;
constexpr int kLineGetEntry = 426;
constexpr int kLineGetNullConf = 428;
constexpr int kLineGetListNull = 436;
constexpr int kLineGetAdding = 448;
constexpr int kLineGetUpdating = 451;
constexpr int kLineGetPrio = 459;
constexpr int kLineGetNewLun = 466;
constexpr int kLineSetEntry = 482;
constexpr int kLineSetNullConf = 484;
constexpr int kLineSetListNull = 492;
constexpr int kLineSetUpdating = 505;
constexpr int kLineSetOutOfRange = 508;
constexpr int kLineSetReset = 513;
constexpr int kLineSetOverride = 516;
constexpr int kLineSetAddFailed = 530;
constexpr int kLineAddDevMatch = 564;

constexpr const char *kMsgNoValidEntry = "No valid entry found in /etc/lvm/cache/tald \n ";
constexpr const char *kMsgCheckDeviceType =
    "Check if discovered device type exists in /etc/multipath.conf file \n ";
constexpr const char *kFmtListHeader = "%s (%s)\n";
constexpr const char *kFmtListPath = "\\_ %s [%d:%d:%d:%d] [priority=%d] [%s]\n";
constexpr const char *kMsgOpenFailed = "Could not open configuration file";
constexpr const char *kMsgLockFailed = "Could not get lock on file.";
constexpr const char *kFmtUnreadable =
    "Configuration file could not be read, it will not be rewritten: %s";

constexpr std::size_t kPathBufferSize = PATH_MAX;

// --- list walk ---------------------------------------------------------------

enum WalkStep { kWalkRecord, kWalkEnd, kWalkNull };

/// One step of the walk over conf (after dlist_start): the next record, the
/// end of the list, or a node that holds no record.
WalkStep walk_next(pathinfo **rec)
{
    _dlist_mark_move(conf, 1);
    if (conf->marker == conf->head)
        return kWalkEnd;
    *rec = static_cast<pathinfo *>(dlist_mark(conf));
    return *rec != nullptr ? kWalkRecord : kWalkNull;
}

/// Finds the record of `wwid`: kWalkRecord with *found set, kWalkEnd when
/// the LUN is not in the list, kWalkNull when a node without record ends the
/// walk first.
WalkStep find_lun(const char *wwid, pathinfo **found)
{
    dlist_start(conf);
    for (;;) {
        pathinfo *rec = nullptr;
        WalkStep step = walk_next(&rec);
        if (step != kWalkRecord)
            return step;
        if (std::strcmp(rec->wwid, wwid) == 0) {
            *found = rec;
            return kWalkRecord;
        }
    }
}

// --- the loaded file ---------------------------------------------------------

/// Where one record line of the loaded file lies in its content, its line
/// feed excluded.
struct LineSpan {
    std::size_t offset;
    std::size_t len;
};

/// What the last load_config read, kept until the next load or conf_reset:
/// the file's bytes with parse_pathinfo's position in them, and the lines
/// that became records, in file order. `canonical` holds while the file is
/// exactly those lines, each ended by a line feed alone: a save that would
/// write the same lines in the reverse order (the load reversed them) then
/// leaves the file as it is.
struct LoadedFile {
    conf_disk::Content content;
    std::size_t pos;
    LineSpan *lines;
    std::size_t count;
    std::size_t capacity;
    bool canonical;
    bool unread;  ///< the file exists but was not read whole: never rewrite it
    char path[kPathBufferSize];
};

LoadedFile loaded = {};
char conf_path[kPathBufferSize] = "";
/// The line being parsed: the one copy of its bytes, split in place.
char read_buffer[conf_line::kMaxLine + 1];

void forget_loaded_file()
{
    conf_disk::release(&loaded.content);
    std::free(loaded.lines);
    loaded = LoadedFile{};
}

/// Notes the line at `offset` as the record line just read. A line that
/// cannot be noted only costs the save its shortcut.
void note_record_line(std::size_t offset, std::size_t len)
{
    if (loaded.count == loaded.capacity) {
        std::size_t grown = loaded.capacity == 0 ? 256 : loaded.capacity * 2;
        auto *bigger =
            static_cast<LineSpan *>(std::realloc(loaded.lines, grown * sizeof(LineSpan)));
        if (bigger == nullptr) {
            loaded.canonical = false;
            return;
        }
        loaded.lines = bigger;
        loaded.capacity = grown;
    }
    loaded.lines[loaded.count++] = {offset, len};
}

/// True when `line` (len bytes, line feed included) is the loaded record
/// line `span`.
bool same_line(const LineSpan &span, const char *line, std::size_t len)
{
    return span.len + 1 == len &&
           std::memcmp(loaded.content.data + span.offset, line, span.len) == 0;
}

/// Marks the file as not read whole, so that no save replaces it.
void refuse_saving(const char *reason)
{
    loaded.unread = true;
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
    note_record_line(offset, len);
    trace_record(kLineParseWwid, kLineParsePrio, rec);
    return 1;
}

/// The records of one load, carved from one anonymous mapping sized for the
/// file's lines. A fresh process pays a page fault for every 4 KiB of its
/// records, and a record is 4.7 KiB; from the mapping, advised as huge pages
/// where the kernel offers them, a file of a thousand LUNs costs a few faults
/// instead of 1200. Smaller files take their records from the heap. Records
/// that did not come from it (the probe's, handed to the list) stay ordinary
/// heap blocks; free_record tells them apart.
struct RecordArena {
    char *base;
    std::size_t size;
    std::size_t used;
};

RecordArena arena = {};
constexpr std::size_t kHugePage = std::size_t{2} << 20;

void arena_open(const conf_disk::Content &content)
{
    if (arena.base != nullptr || content.data == nullptr)
        return;
    std::size_t lines = 1;
    for (const char *p = content.data, *end = content.data + content.size;
         (p = static_cast<const char *>(std::memchr(p, '\n', end - p))) != nullptr; ++p)
        ++lines;
    std::size_t bytes = lines * sizeof(pathinfo);
    if (bytes < kHugePage)
        return;
    std::size_t size = bytes + kHugePage;
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return;
    auto start = reinterpret_cast<std::uintptr_t>(map);
    std::size_t skip = ((start + kHugePage - 1) & ~(kHugePage - 1)) - start;
    // Advice only: without huge pages the mapping still serves.
    madvise(static_cast<char *>(map) + skip, (size - skip) & ~(kHugePage - 1), MADV_HUGEPAGE);
    arena = {static_cast<char *>(map), size, skip};
}

void arena_close()
{
    if (arena.base != nullptr)
        munmap(arena.base, arena.size);
    arena = {};
}

/// A record cleared to its last byte: from the arena while it has room,
/// else from the heap.
pathinfo *new_record()
{
    if (arena.base != nullptr && arena.size - arena.used >= sizeof(pathinfo)) {
        auto *rec = reinterpret_cast<pathinfo *>(arena.base + arena.used);
        arena.used += sizeof(pathinfo);
        return rec;
    }
    return static_cast<pathinfo *>(std::calloc(1, sizeof(pathinfo)));
}

void free_record(void *rec)
{
    auto *at = static_cast<char *>(rec);
    if (arena.base != nullptr && at >= arena.base && at < arena.base + arena.size)
        return;
    std::free(rec);
}

/// Frees every record of conf, leaving the list empty.
void empty_list()
{
    while (conf->count > 0)
        free_record(dlist_shift(conf));
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
        return find_lun(wwid, &found) != kWalkRecord;
    }
    std::size_t i = wwid_slot(*set, wwid);
    if (set->slots[i] != nullptr)
        return false;
    set->slots[i] = wwid;
    ++set->count;
    return true;
}

/// The content that save_config builds before it hands it over whole.
struct SaveBuffer {
    char *data = nullptr;
    std::size_t len = 0;
    std::size_t capacity = 0;
    SaveBuffer() = default;
    SaveBuffer(const SaveBuffer &) = delete;
    SaveBuffer &operator=(const SaveBuffer &) = delete;
    ~SaveBuffer() { std::free(data); }
};

/// Makes room for `more` bytes. false without memory.
bool reserve(SaveBuffer *out, std::size_t more)
{
    if (out->capacity - out->len >= more)
        return true;
    std::size_t grown = out->capacity * 2;
    if (grown < out->len + more)
        grown = out->len + more;
    if (grown < loaded.content.size + more)
        grown = loaded.content.size + more;
    auto *bigger = static_cast<char *>(std::realloc(out->data, grown));
    if (bigger == nullptr)
        return false;
    out->data = bigger;
    out->capacity = grown;
    return true;
}

/// The value rule of conf_setPrio: the priority to apply for the request v,
/// or 0 when v is refused.
int applied_prio(const pathinfo *probed, int v)
{
    const char *label = cp_names[probed->cp];
    if (v >= 5 && v <= 8) {
        log_trace(kModule, "conf_setPrio", kLineSetOverride, 7,
                  "Prio     %s, host port %d  (%s):%d; setting to user override.", label,
                  probed->host, probed->dev, v);
        return v;
    }
    if (v == 0) {
        int d = defaultPrio(probed->cp, probed->lunref);
        log_trace(kModule, "conf_setPrio", kLineSetReset, 7,
                  "Prio     %s(%s):%d; resetting to defaults", label, probed->dev, d);
        return d;
    }
    log_trace(kModule, "conf_setPrio", kLineSetOutOfRange, 7, "Prio     %s(%s):%d; out of range.",
              label, probed->dev, v);
    return 0;
}

}  // namespace

// --- slot table and list -----------------------------------------------------

int setPathPrio(pathinfo *rec, int host, int cp, int prio)
{
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        if (rec->slot_host[cp][slot] == host) {
            rec->prio[cp][slot] = prio;
            return prio;
        }
    }
    return -1;
}

int getPathPrio(pathinfo *rec, int host, int cp)
{
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        if (rec->slot_host[cp][slot] == host)
            return rec->prio[cp][slot];
    }
    return -1;
}

int addDevToPathInfo(pathinfo *rec, const char *dev, int host, int channel, int id, int lun,
                     int cp)
{
    bool matched = false;
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        if (rec->slot_host[cp][slot] == host && rec->prio[cp][slot] != 0) {
            log_trace(kModule, "addDevToPathInfo", kLineAddDevMatch, 7,
                      "addDevToPathInfo: Match found.");
            matched = true;
        }
    }
    if (matched)
        return 0;
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        if (rec->prio[cp][slot] != 0)
            continue;
        copy_field(rec->slot_dev[cp][slot], kDevSize, dev);
        rec->slot_host[cp][slot] = host;
        rec->slot_channel[cp][slot] = channel;
        rec->slot_id[cp][slot] = id;
        rec->slot_lun[cp][slot] = lun;
        break;
    }
    return 0;
}

int add_confNode(pathinfo *rec)
{
    if (conf == nullptr) {
        log_trace(kModule, "add_confNode", kLineAddNullConf, 3, "Error: conf == NULL!");
        return -1;
    }
    rec->lunref = 0;
    dlist_start(conf);
    dlist_insert(conf, rec, 1);
    return 0;
}

namespace {
/// `name` for the listing: at most `size`-1 bytes, each outside 0x20..0x7e
/// shown as "?".
const char *shown_name(const char *name, char *shown, std::size_t size)
{
    std::size_t i = 0;
    for (; i + 1 < size && name[i] != '\0'; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        shown[i] = (c >= 0x20 && c <= 0x7e) ? name[i] : '?';
    }
    shown[i] = '\0';
    return shown;
}
}  // namespace

int dump_config() { return dump_config_to(stdout); }

int dump_config_to(FILE *out)
{
    log_trace(kModule, "dump_config", kLineDumpEntry, 7, "ENTRY");
    if (conf == nullptr) {
        log_trace(kModule, "dump_config", kLineDumpNullConf, 7, "Null Conf");
        return -1;
    }
    char alias[kTextNameSize];
    char wwid[kWwidSize];
    char dev[kDevSize];
    std::fprintf(out, "\n");
    dlist_start(conf);
    for (;;) {
        pathinfo *rec = nullptr;
        WalkStep step = walk_next(&rec);
        if (step == kWalkEnd)
            break;
        if (step == kWalkNull) {
            log_trace(kModule, "dump_config", kLineDumpListNull, 7, "List Null");
            break;
        }
        bool named = false;
        for (char c : rec->wwid)
            named = named || c != '\0';
        if (!named) {
            std::fprintf(out, "%s\n", kMsgNoValidEntry);
            std::fprintf(out, "%s\n", kMsgCheckDeviceType);
            continue;
        }
        std::fprintf(out, kFmtListHeader, shown_name(rec->text_name, alias, sizeof alias),
                     shown_name(rec->wwid, wwid, sizeof wwid));
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            for (int slot = 0; slot < kSlotsPerPort; ++slot) {
                if (rec->prio[cp][slot] > 0)
                    std::fprintf(out, kFmtListPath, cp_names[cp], rec->slot_host[cp][slot],
                                 rec->slot_channel[cp][slot], rec->slot_id[cp][slot],
                                 rec->slot_lun[cp][slot], rec->prio[cp][slot],
                                 shown_name(rec->slot_dev[cp][slot], dev, sizeof dev));
            }
        }
    }
    std::fprintf(out, "\n");
    return 0;
}

// --- preference file ---------------------------------------------------------

int lock_config(int) { return 1; }
int unlock_config(int) { return 1; }

int parse_pathinfo(pathinfo *rec)
{
    std::memset(rec, 0, sizeof *rec);
    return read_record(rec);
}

int load_config(const char *path)
{
    forget_loaded_file();
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
    if (got != 1) {
        if (got >= -1)
            log_trace(kModule, "load_config", kLineLoadOpen, 4, kMsgOpenFailed);
        if (got == -3)
            log_trace(kModule, "load_config", kLineLoadLock, 4, kMsgLockFailed);
        if (got == -1 || got == -2)
            refuse_saving(reason);
        std::free(rec);
        return -1;
    }
    copy_field(loaded.path, sizeof loaded.path, path);
    loaded.canonical = true;
    arena_open(loaded.content);
    // The first record joins the list even from an empty file.
    read_record(rec);
    add_confNode(rec);
    WwidSet seen;
    if (rec->wwid[0] != '\0')
        wwid_set_add(&seen, rec->wwid);
    for (rec = nullptr;;) {
        if (rec == nullptr)
            rec = new_record();
        if (rec == nullptr) {
            log_trace(kModule, "load_config", kLineLoadMallocNext, 3, "Error: malloc == NULL!");
            // What was not loaded would be lost by a save.
            refuse_saving(std::strerror(ENOMEM));
            break;
        }
        if (read_record(rec) == 0) {
            free_record(rec);
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
    return 0;
}

int save_config(const char *path)
{
    log_trace(kModule, "save_config", kLineSaveEntry, 7, "ENTRY");
    if (conf == nullptr) {
        log_trace(kModule, "save_config", kLineSaveNullConf, 7, "Null Conf");
        return -1;
    }
    if (loaded.unread) {
        log_trace(kModule, "save_config", kLineSaveNotRead, 4,
                  "Configuration file was not read whole; not rewritten");
        return -1;
    }
    SaveBuffer out;
    // Whether every line so far is the loaded file's, in the reverse order.
    bool same = loaded.canonical && std::strcmp(path, loaded.path) == 0;
    std::size_t lines = 0;
    dlist_start(conf);
    for (;;) {
        pathinfo *rec = nullptr;
        WalkStep step = walk_next(&rec);
        if (step == kWalkEnd)
            break;
        if (step == kWalkNull) {
            log_trace(kModule, "save_config", kLineSaveListNull, 7, "List Null");
            break;
        }
        if (rec->wwid[0] == '\0')
            continue;
        if (!reserve(&out, conf_line::kMaxLine)) {
            log_trace(kModule, "save_config", kLineSaveWrite, 4,
                      "Could not write configuration file: %s", std::strerror(ENOMEM));
            return -1;
        }
        char *line = out.data + out.len;
        std::size_t len = conf_line::format(rec, line);
        out.len += len;
        same = same && lines < loaded.count &&
               same_line(loaded.lines[loaded.count - 1 - lines], line, len);
        ++lines;
        log_trace(kModule, "save_config", kLineSaveLine, 7, "%.*s", static_cast<int>(len), line);
    }
    // Nothing changed: the file keeps its bytes, and the disk its sync.
    if (same && lines == loaded.count)
        return 0;
    if (conf_disk::replace(path, out.data, out.len) < 0)
        return -1;
    loaded.canonical = false;
    return 0;
}

const char *conf_file() { return conf_path[0] != '\0' ? conf_path : kConfigPath; }

void conf_use_file(const char *path) { copy_field(conf_path, sizeof conf_path, path ? path : ""); }

void conf_reset()
{
    forget_loaded_file();
    if (conf == nullptr)
        return;
    // dlist_destroy stops at a node without record; empty the list first.
    empty_list();
    dlist_destroy(conf);
    conf = nullptr;
    arena_close();
}

// --- priority resolution -----------------------------------------------------

bool conf_holds(const pathinfo *rec)
{
    if (conf == nullptr || rec == nullptr)
        return false;
    // An empty dlist's head has no neighbours at all.
    for (DL_node *node = conf->head->next; node != nullptr && node != conf->head;
         node = node->next) {
        if (node->data == rec)
            return true;
    }
    return false;
}

int conf_getPrio(pathinfo *probed)
{
    int lunref = probed->lunref;
    int d = defaultPrio(probed->cp, lunref);
    log_trace(kModule, "conf_getPrio", kLineGetEntry, 7, "ENTRY");
    if (conf == nullptr) {
        log_trace(kModule, "conf_getPrio", kLineGetNullConf, 7, "Null Conf");
        return d;
    }
    pathinfo *stored = nullptr;
    WalkStep found = find_lun(probed->wwid, &stored);
    if (found == kWalkNull) {
        log_trace(kModule, "conf_getPrio", kLineGetListNull, 7, "List Null");
        return d;
    }
    if (found == kWalkEnd) {
        log_trace(kModule, "conf_getPrio", kLineGetNewLun, 7,
                  "conf_getPrio called for new LUN (%s).  Setting prio to default %d.",
                  probed->dev, d);
        add_confNode(probed);
        setPathPrio(probed, probed->host, probed->cp, d);
        probed->lunref = lunref;
        save_config(conf_file());
        return d;
    }
    const char *label = cp_names[probed->cp];
    addDevToPathInfo(stored, probed->dev, probed->host, probed->channel, probed->id, probed->lun,
                     probed->cp);
    log_trace(kModule, "conf_getPrio", kLineGetAdding, 7, "Adding %s to %s", probed->dev, label);
    if (stored != probed) {
        std::memset(stored->text_name, 0, kTextNameSize);
        copy_field(stored->text_name, kTextNameSize, probed->text_name);
    }
    log_trace(kModule, "conf_getPrio", kLineGetUpdating, 7, "Updating %s (%s)", stored->text_name,
              stored->wwid);
    int p = getPathPrio(stored, probed->host, probed->cp);
    if (p < 5 || p > 8) {
        p = defaultPrio(probed->cp, probed->lunref);
        setPathPrio(stored, probed->host, probed->cp, p);
    }
    log_trace(kModule, "conf_getPrio", kLineGetPrio, 7, "Prio     %s(%s):%d", label, probed->dev,
              p);
    save_config(conf_file());
    return p;
}

int conf_setPrio(pathinfo *probed, int prio)
{
    log_trace(kModule, "conf_setPrio", kLineSetEntry, 7, "ENTRY");
    if (conf == nullptr) {
        log_trace(kModule, "conf_setPrio", kLineSetNullConf, 7, "Null Conf");
        return -1;
    }
    pathinfo *stored = nullptr;
    WalkStep found = find_lun(probed->wwid, &stored);
    if (found == kWalkNull) {
        log_trace(kModule, "conf_setPrio", kLineSetListNull, 7, "List Null");
        return -1;
    }
    if (found == kWalkEnd) {
        int applied = applied_prio(probed, prio);
        if (applied == 0)
            return 0;
        if (add_confNode(probed) < 0) {
            log_trace(kModule, "conf_setPrio", kLineSetAddFailed, 3,
                      "ERROR: Problem adding to Path Info List");
            return 0;
        }
        // The probed cp stays: the caller's confirmation names the path's
        // own controller port.
        setPathPrio(probed, probed->host, probed->cp, applied);
        int saved = save_config(conf_file());
        return saved < 0 ? saved : applied;
    }
    addDevToPathInfo(stored, probed->dev, probed->host, probed->channel, probed->id, probed->lun,
                     probed->cp);
    log_trace(kModule, "conf_setPrio", kLineSetUpdating, 7, "Updating %s on %s, host port %d",
              probed->dev, cp_names[probed->cp], probed->host);
    int applied = applied_prio(probed, prio);
    if (applied == 0)
        return 0;
    setPathPrio(stored, probed->host, probed->cp, applied);
    int saved = save_config(conf_file());
    return saved < 0 ? saved : applied;
}

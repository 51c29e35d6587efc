// The path preference store.
//
// Life cycle: each process loads the preference file once into the LUN list
// `conf` (load_config), while its main holds the lock file. The list owns
// every record handed to it and lives until the process exits. Each priority
// resolution (conf_getPrio, conf_setPrio) changes the list and rewrites the
// whole file from it (save_config). A rewrite never touches the file in
// place: it writes "<file>.tmp" beside it, syncs it, renames it over the file
// and syncs the directory, so the file always holds either the old or the
// new content, whatever happens to the process or the disk.
#include "store/conf.hpp"

#include "operations/operations.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
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

int int_from_text(const char *text)
{
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

namespace {

constexpr const char *kModule = "conf";

// Trace lines of the module.
constexpr int kLineParseReadline = 88;
constexpr int kLineParseTooLong = 90;
constexpr int kLineParseWwid = 158;
constexpr int kLineParsePrio = 169;
constexpr int kLineParseIncomplete = 174;
constexpr int kLineParseIncompleteWwid = 175;
constexpr int kLineParseIncompletePrio = 186;
constexpr int kLineAddNullConf = 194;
constexpr int kLineSaveEntry = 212;
constexpr int kLineSaveNullConf = 215;
constexpr int kLineSaveOpen = 221;
constexpr int kLineSaveLock = 227;
constexpr int kLineSaveListNull = 237;
constexpr int kLineSaveLine = 291;
constexpr int kLineSaveWrite = 293;
constexpr int kLineSaveSync = 295;
constexpr int kLineSaveRename = 297;
constexpr int kLineSaveSyncDir = 299;
constexpr int kLineLoadMalloc = 305;
constexpr int kLineLoadDlistNew = 311;
constexpr int kLineLoadOpen = 317;
constexpr int kLineLoadFileno = 323;
constexpr int kLineLoadLock = 330;
constexpr int kLineLoadMallocNext = 341;
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
constexpr const char *kFmtInvalidAddress = "!!! invalid scsi address (%d:%d:%d:%d";
constexpr const char *kMsgOpenFailed = "Could not open configuration file";
constexpr const char *kMsgLockFailed = "Could not get lock on file.";

constexpr mode_t kNewFileMode = 0640;
constexpr const char *kTempSuffix = ".tmp";
constexpr std::size_t kPathBufferSize = PATH_MAX;

// --- line format -------------------------------------------------------------

constexpr std::size_t kIntText = 11;  // "-2147483648"
constexpr std::size_t kEncodedText(std::size_t field_size) { return (field_size - 1) * 3; }
constexpr std::size_t kEntryText =
    kEncodedText(kDevSize) + 1 + (4 * kIntText + 3 + 1) + (kIntText + 1);
/// The longest line a record can give, line feed included: every text field
/// at its full length with every byte percent-encoded, every number at its
/// widest.
constexpr std::size_t kMaxLine = kEncodedText(kWwidSize) + 1 +
                                 kControllerPorts * kSlotsPerPort * kEntryText +
                                 kEncodedText(kTextNameSize) + 1;

constexpr const char *kSeparators = ":,";

bool needs_escape(unsigned char c)
{
    return c == ',' || c == ':' || c == '%' || c < 0x20 || c > 0x7e;
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/// Decodes %XX sequences of `src` into a field of `size` bytes. A '%' not
/// followed by two hex digits, or one that would decode to NUL, is kept as
/// it stands.
void decode_field(char *dst, std::size_t size, const char *src)
{
    std::size_t n = 0;
    while (*src != '\0' && n + 1 < size) {
        int hi = -1;
        int lo = -1;
        if (src[0] == '%') {
            hi = hex_value(src[1]);
            lo = hi < 0 ? -1 : hex_value(src[2]);
        }
        if (hi >= 0 && lo >= 0 && (hi | lo) != 0) {
            dst[n++] = static_cast<char>(hi * 16 + lo);
            src += 3;
        } else {
            dst[n++] = *src++;
        }
    }
    dst[n] = '\0';
}

/// One line of the file being built. `overflow` is set when an append did
/// not fit; by the size of `text` that cannot happen for any record.
struct LineBuffer {
    char text[kMaxLine + 1];
    std::size_t len;
    bool overflow;
};

void line_append(LineBuffer &line, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void line_append(LineBuffer &line, const char *fmt, ...)
{
    std::size_t room = sizeof line.text - line.len;
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(line.text + line.len, room, fmt, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= room) {
        line.overflow = true;
        line.len = sizeof line.text - 1;
        return;
    }
    line.len += static_cast<std::size_t>(n);
}

void line_put(LineBuffer &line, char c)
{
    if (line.len + 1 >= sizeof line.text) {
        line.overflow = true;
        return;
    }
    line.text[line.len++] = c;
    line.text[line.len] = '\0';
}

/// Appends a text field of `size` bytes, percent-encoding the bytes that
/// would break the line apart, then `end`.
void line_append_text(LineBuffer &line, const char *field, std::size_t size, char end)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::size_t n = strnlen(field, size - 1);
    for (std::size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(field[i]);
        if (!needs_escape(c)) {
            line_put(line, static_cast<char>(c));
            continue;
        }
        line_put(line, '%');
        line_put(line, kHex[c >> 4]);
        line_put(line, kHex[c & 0xf]);
    }
    line_put(line, end);
}

void format_record(LineBuffer &line, const pathinfo *rec)
{
    line.len = 0;
    line.overflow = false;
    line.text[0] = '\0';
    line_append_text(line, rec->wwid, kWwidSize, ',');
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            const char *dev = rec->slot_dev[cp][slot];
            if (dev[0] == '\0')
                line_append(line, "x,");
            else
                line_append_text(line, dev, kDevSize, ',');
            int host = rec->slot_host[cp][slot];
            int channel = rec->slot_channel[cp][slot];
            int id = rec->slot_id[cp][slot];
            int lun = rec->slot_lun[cp][slot];
            // Standard output belongs to the callout's answer; the warning
            // goes where diagnostics go.
            if (host > 255 || channel > 255 || id > 255 || lun > 255)
                std::fprintf(stderr, kFmtInvalidAddress, host, channel, id, lun);
            line_append(line, "%d:%d:%d:%d,", host, channel, id, lun);
            line_append(line, "%d,", rec->prio[cp][slot]);
        }
    }
    line_append_text(line, rec->text_name, kTextNameSize, '\n');
}

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

// --- file helpers ------------------------------------------------------------

FILE *conf_stream = nullptr;
char read_buffer[kMaxLine + 1];
LineBuffer write_buffer;
char conf_path[kPathBufferSize] = "";

struct StreamGuard {
    FILE *&stream;
    ~StreamGuard()
    {
        if (stream != nullptr)
            std::fclose(stream);
        stream = nullptr;
    }
};

struct FdGuard {
    int fd;
    ~FdGuard()
    {
        if (fd >= 0)
            close(fd);
    }
};

/// Removes the temporary file unless the save got as far as renaming it.
struct TempFileGuard {
    const char *path;
    bool keep;
    ~TempFileGuard()
    {
        if (!keep)
            unlink(path);
    }
};

int write_all(int fd, const char *data, std::size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

/// Permission bits that the new file gets: the existing file's, or 0640.
mode_t target_mode(const char *path)
{
    // stat, not open: a file that this process may not read keeps its mode too.
    struct stat st;
    if (stat(path, &st) == 0)
        return st.st_mode & 07777;
    return kNewFileMode;
}

/// Flushes the rename in `path`'s directory to disk.
int sync_directory(const char *path)
{
    char dir[kPathBufferSize];
    copy_field(dir, sizeof dir, path);
    char *slash = std::strrchr(dir, '/');
    if (slash == nullptr)
        copy_field(dir, sizeof dir, ".");
    else if (slash == dir)
        dir[1] = '\0';
    else
        *slash = '\0';
    FdGuard fd{open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (fd.fd < 0)
        return -1;
    return fsync(fd.fd) == 0 ? 0 : -1;
}

/// Writes every record of conf to `fd`, newest first. 0, or -1 when a write
/// failed.
int write_records(int fd)
{
    dlist_start(conf);
    for (;;) {
        pathinfo *rec = nullptr;
        WalkStep step = walk_next(&rec);
        if (step == kWalkEnd)
            return 0;
        if (step == kWalkNull) {
            log_trace(kModule, "save_config", kLineSaveListNull, 7, "List Null");
            return 0;
        }
        if (rec->wwid[0] == '\0')
            continue;
        format_record(write_buffer, rec);
        if (write_buffer.overflow ||
            write_all(fd, write_buffer.text, write_buffer.len) < 0) {
            log_trace(kModule, "save_config", kLineSaveWrite, 4,
                      "Could not write configuration file: %s", std::strerror(errno));
            return -1;
        }
        log_trace(kModule, "save_config", kLineSaveLine, 7, "%s", write_buffer.text);
    }
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

/// Reads the next line of the stream into read_buffer, without its line
/// end. The length read; 0 for an empty line; -1 at the end of the data;
/// -2 for a line longer than kMaxLine, which is consumed up to its end.
long read_line()
{
    std::size_t n = 0;
    int c = std::fgetc(conf_stream);
    if (c == EOF)
        return -1;
    for (; c != EOF && c != '\n' && c != '\r'; c = std::fgetc(conf_stream)) {
        if (n == kMaxLine) {
            while (c != EOF && c != '\n' && c != '\r')
                c = std::fgetc(conf_stream);
            return -2;
        }
        read_buffer[n++] = static_cast<char>(c);
    }
    read_buffer[n] = '\0';
    return static_cast<long>(n);
}

/// Fills rec from the tokens of read_buffer. 0 complete, -1 a token missing.
int parse_tokens(pathinfo *rec)
{
    char *save = nullptr;
    char *token = strtok_r(read_buffer, kSeparators, &save);
    if (token == nullptr)
        return -1;
    decode_field(rec->wwid, kWwidSize, token);
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            int *numbers[] = {&rec->slot_host[cp][slot], &rec->slot_channel[cp][slot],
                              &rec->slot_id[cp][slot], &rec->slot_lun[cp][slot],
                              &rec->prio[cp][slot]};
            if ((token = strtok_r(nullptr, kSeparators, &save)) == nullptr)
                return -1;
            decode_field(rec->slot_dev[cp][slot], kDevSize, token);
            for (int *number : numbers) {
                if ((token = strtok_r(nullptr, kSeparators, &save)) == nullptr)
                    return -1;
                *number = int_from_text(token);
            }
        }
    }
    if ((token = strtok_r(nullptr, kSeparators, &save)) == nullptr)
        return -1;
    decode_field(rec->text_name, kTextNameSize, token);
    return 0;
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
    std::memset(read_buffer, 0, sizeof read_buffer);
    std::memset(rec, 0, sizeof *rec);
    if (conf_stream == nullptr)
        return 0;
    long len = 0;
    // Empty lines, and the empty line between the CR and LF of a CRLF end,
    // are not the end of the data; a line too long for any record is no
    // record and must not be split into several.
    while ((len = read_line()) <= 0) {
        if (len == -1)
            return 0;
        if (len == -2)
            log_trace(kModule, "parse_pathinfo", kLineParseTooLong, 4,
                      "Configuration file line longer than %zu characters skipped", kMaxLine);
    }
    log_trace(kModule, "parse_pathinfo", kLineParseReadline, 7, "readline: %s", read_buffer);
    if (parse_tokens(rec) < 0) {
        log_trace(kModule, "parse_pathinfo", kLineParseIncomplete, 4,
                  "Incomplete configuration file line encountered");
        trace_record(kLineParseIncompleteWwid, kLineParseIncompletePrio, rec);
        return 1;
    }
    trace_record(kLineParseWwid, kLineParsePrio, rec);
    return 1;
}

int load_config(const char *path)
{
    auto *rec = static_cast<pathinfo *>(std::malloc(sizeof(pathinfo)));
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
    conf_stream = std::fopen(path, "r");
    StreamGuard guard{conf_stream};
    if (conf_stream == nullptr) {
        log_trace(kModule, "load_config", kLineLoadOpen, 4, kMsgOpenFailed);
        std::free(rec);
        return -1;
    }
    int fd = fileno(conf_stream);
    if (fd < 0) {
        log_trace(kModule, "load_config", kLineLoadFileno, 4, kMsgOpenFailed);
        std::free(rec);
        return -1;
    }
    if (lock_config(fd) < 0) {
        log_trace(kModule, "load_config", kLineLoadLock, 4, kMsgLockFailed);
        std::free(rec);
        return -1;
    }
    // The first record joins the list even from an empty file.
    parse_pathinfo(rec);
    add_confNode(rec);
    for (;;) {
        rec = static_cast<pathinfo *>(std::malloc(sizeof(pathinfo)));
        if (rec == nullptr) {
            log_trace(kModule, "load_config", kLineLoadMallocNext, 3, "Error: malloc == NULL!");
            break;
        }
        if (parse_pathinfo(rec) == 0) {
            std::free(rec);
            break;
        }
        add_confNode(rec);
    }
    unlock_config(fd);
    return 0;
}

int save_config(const char *path)
{
    log_trace(kModule, "save_config", kLineSaveEntry, 7, "ENTRY");
    if (conf == nullptr) {
        log_trace(kModule, "save_config", kLineSaveNullConf, 7, "Null Conf");
        return -1;
    }
    char temp[kPathBufferSize];
    int n = std::snprintf(temp, sizeof temp, "%s%s", path, kTempSuffix);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof temp) {
        log_trace(kModule, "save_config", kLineSaveOpen, 4, kMsgOpenFailed);
        return -1;
    }
    mode_t mode = target_mode(path);
    // A stale temporary file of a killed run is truncated and reused; the
    // lock file keeps two runs from sharing it.
    FdGuard fd{open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode)};
    if (fd.fd < 0) {
        log_trace(kModule, "save_config", kLineSaveOpen, 4, kMsgOpenFailed);
        return -1;
    }
    TempFileGuard temp_file{temp, false};
    if (lock_config(fd.fd) < 0) {
        log_trace(kModule, "save_config", kLineSaveLock, 4, kMsgLockFailed);
        return -1;
    }
    // The mode is kept where the file system allows it; a file system that
    // refuses it must not cost the administrator the preferences themselves.
    if (fchmod(fd.fd, mode) < 0) {
        log_trace(kModule, "save_config", kLineSaveWrite, 4,
                  "Could not write configuration file: %s", std::strerror(errno));
    }
    if (write_records(fd.fd) < 0)
        return -1;
    if (fsync(fd.fd) < 0) {
        log_trace(kModule, "save_config", kLineSaveSync, 4,
                  "Could not sync configuration file: %s", std::strerror(errno));
        return -1;
    }
    unlock_config(fd.fd);
    int closed = close(fd.fd);
    fd.fd = -1;
    if (closed < 0) {
        log_trace(kModule, "save_config", kLineSaveWrite, 4,
                  "Could not write configuration file: %s", std::strerror(errno));
        return -1;
    }
    if (rename(temp, path) < 0) {
        log_trace(kModule, "save_config", kLineSaveRename, 4,
                  "Could not replace configuration file: %s", std::strerror(errno));
        return -1;
    }
    temp_file.keep = true;
    // The new file is in place: a directory that cannot be synced only
    // leaves the rename less durable, and is no failure of the save.
    if (sync_directory(path) < 0) {
        log_trace(kModule, "save_config", kLineSaveSyncDir, 4,
                  "Could not sync configuration directory: %s", std::strerror(errno));
    }
    return 0;
}

const char *conf_file() { return conf_path[0] != '\0' ? conf_path : kConfigPath; }

void conf_use_file(const char *path) { copy_field(conf_path, sizeof conf_path, path ? path : ""); }

void conf_reset()
{
    if (conf == nullptr)
        return;
    // dlist_destroy stops at a node without record; empty the list first.
    while (conf->count > 0)
        std::free(dlist_shift(conf));
    dlist_destroy(conf);
    conf = nullptr;
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

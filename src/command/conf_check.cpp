#include "command/conf_check.hpp"

#include "store/conf_disk.hpp"
#include "store/conf_line.hpp"
#include "store/pathinfo.hpp"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr const char *kFmtMissing = "%s: no such file, nothing to check\n";
constexpr const char *kFmtClean = "%s: lines %zu, LUNs %zu: a run keeps every line as it is\n";
constexpr const char *kFmtDamaged =
    "%s: lines %zu, LUNs %zu: a run drops %zu and rewrites %zu of them\n";
constexpr const char *kFmtEmpty = "%s:%zu: empty line; a run drops it\n";
constexpr const char *kFmtTooLong = "%s:%zu: longer than %zu bytes; a run drops it\n";
constexpr const char *kFmtNul = "%s:%zu: holds a NUL byte; a run drops it\n";
constexpr const char *kFmtNoWwid = "%s:%zu: holds no wwid; a run drops it\n";
constexpr const char *kFmtRepeat = "%s:%zu: repeats the wwid %s of line %zu; a run drops it\n";
constexpr const char *kFmtIncomplete =
    "%s:%zu: incomplete; a run rewrites it with the missing fields empty\n";
constexpr const char *kFmtDiffers =
    "%s:%zu: differs from the written form at column %zu (%s); a run rewrites it\n";
constexpr const char *kFmtCrEnd = "%s:%zu: ends in a carriage return; a run rewrites it without\n";
constexpr const char *kFmtCrInside =
    "%s:%zu: holds a carriage return; a run splits the line there\n";
constexpr const char *kFmtNoLineFeed = "%s:%zu: no line feed at its end; a run adds one\n";

constexpr std::array<const char *, 6> kEntryParts = {"device", "host",  "channel",
                                                     "id",     "lun",   "priority"};
constexpr std::size_t kTokensPerEntry = kEntryParts.size();
constexpr std::size_t kAliasToken = 1 + kControllerPorts * kSlotsPerPort * kTokensPerEntry;

/// What a run does with one line (or one piece of a line split at a CR).
enum Fate { kDropped, kKept, kRewritten };

/// The wwid of every record kept so far, with the line it came from: open
/// addressing over one heap block, grown by doubling.
struct Seen {
    struct Entry {
        std::size_t line;  ///< 0: a free slot
        char wwid[kWwidSize];
    };
    Entry *slots = nullptr;
    std::size_t capacity = 0;  // a power of two, or 0
    std::size_t count = 0;
    Seen() = default;
    Seen(const Seen &) = delete;
    Seen &operator=(const Seen &) = delete;
    ~Seen() { std::free(slots); }
};

struct Checker {
    const char *path;
    FILE *out;
    Seen seen;
    std::size_t lines;
    std::size_t dropped;
    std::size_t rewritten;
    bool out_of_memory;
};

// One record at a time; too big for the stack of a small command's frames.
pathinfo record;
char piece_text[conf_line::kMaxLine + 1];
char written[conf_line::kMaxLine];

bool is_separator(char c) { return c == ',' || c == ':'; }

/// The field of the written line in which byte `at` lies, named for the
/// admin: "wwid", "C1P0 slot 2 priority", "alias"...
void field_name(std::size_t at, std::size_t written_len, const char *line, std::size_t len,
                char *name, std::size_t size)
{
    std::size_t token = 0;
    for (std::size_t i = 0; i < at && i < written_len; ++i)
        token += is_separator(written[i]) ? 1 : 0;
    // The line goes on with a token that the written form does not have.
    if (at == written_len && at < len && is_separator(line[at]))
        ++token;
    if (token == 0) {
        std::snprintf(name, size, "wwid");
    } else if (token == kAliasToken) {
        std::snprintf(name, size, "alias");
    } else if (token > kAliasToken) {
        std::snprintf(name, size, "after the alias");
    } else {
        std::size_t entry = (token - 1) / kTokensPerEntry;
        std::snprintf(name, size, "%s slot %zu %s", cp_names[entry % kControllerPorts],
                      entry / kControllerPorts, kEntryParts[(token - 1) % kTokensPerEntry]);
    }
}

/// The slot of `wwid`: where it is, or the free one it would take.
Seen::Entry &seen_slot(const Seen &seen, const char *wwid)
{
    std::size_t h = 14695981039346656037ull;  // FNV-1a
    for (const char *c = wwid; *c != '\0'; ++c)
        h = (h ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
    std::size_t mask = seen.capacity - 1;
    std::size_t i = h & mask;
    while (seen.slots[i].line != 0 && std::strcmp(seen.slots[i].wwid, wwid) != 0)
        i = (i + 1) & mask;
    return seen.slots[i];
}

bool seen_grow(Seen *seen)
{
    std::size_t grown = seen->capacity == 0 ? 256 : seen->capacity * 2;
    Seen bigger;
    bigger.slots = static_cast<Seen::Entry *>(std::calloc(grown, sizeof(Seen::Entry)));
    if (bigger.slots == nullptr)
        return false;
    bigger.capacity = grown;
    for (std::size_t i = 0; i < seen->capacity; ++i) {
        if (seen->slots[i].line != 0)
            seen_slot(bigger, seen->slots[i].wwid) = seen->slots[i];
    }
    std::swap(seen->slots, bigger.slots);
    seen->capacity = grown;
    return true;
}

/// Notes that line `line` keeps `wwid`: 0, or the earlier line that keeps it
/// already (nothing noted), or SIZE_MAX without memory.
std::size_t seen_add(Seen *seen, const char *wwid, std::size_t line)
{
    if ((seen->count + 1) * 2 > seen->capacity && !seen_grow(seen))
        return SIZE_MAX;
    Seen::Entry &slot = seen_slot(*seen, wwid);
    if (slot.line != 0)
        return slot.line;
    slot.line = line;
    copy_field(slot.wwid, sizeof slot.wwid, wwid);
    ++seen->count;
    return 0;
}

/// `text` with every byte outside 0x20..0x7e shown as "?", as the listing
/// shows names.
const char *shown(const char *text, char *out, std::size_t size)
{
    std::size_t i = 0;
    for (; i + 1 < size && text[i] != '\0'; ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        out[i] = byte < 0x20 || byte > 0x7e ? '?' : text[i];
    }
    out[i] = '\0';
    return out;
}

/// One line as the load reads it: from one line end (LF or CR) to the next.
Fate check_piece(Checker *c, std::size_t number, const char *line, std::size_t len)
{
    if (len > conf_line::kMaxLine) {
        std::fprintf(c->out, kFmtTooLong, c->path, number, conf_line::kMaxLine);
        return kDropped;
    }
    if (std::memchr(line, '\0', len) != nullptr) {
        std::fprintf(c->out, kFmtNul, c->path, number);
        return kDropped;
    }
    std::memcpy(piece_text, line, len);
    piece_text[len] = '\0';
    std::memset(&record, 0, sizeof record);
    int parsed = conf_line::parse(piece_text, &record);
    if (record.wwid[0] == '\0') {
        std::fprintf(c->out, kFmtNoWwid, c->path, number);
        return kDropped;
    }
    std::size_t first = seen_add(&c->seen, record.wwid, number);
    if (first == SIZE_MAX) {
        c->out_of_memory = true;
        return kDropped;
    }
    if (first != 0) {
        char wwid[kWwidSize];
        std::fprintf(c->out, kFmtRepeat, c->path, number, shown(record.wwid, wwid, sizeof wwid),
                     first);
        return kDropped;
    }
    if (parsed < 0) {
        std::fprintf(c->out, kFmtIncomplete, c->path, number);
        return kRewritten;
    }
    std::size_t written_len = conf_line::format(&record, written) - 1;  // without its LF
    std::size_t at = 0;
    while (at < written_len && at < len && written[at] == line[at])
        ++at;
    if (at == written_len && at == len)
        return kKept;
    char name[32];
    field_name(at, written_len, line, len, name, sizeof name);
    std::fprintf(c->out, kFmtDiffers, c->path, number, at + 1, name);
    return kRewritten;
}

/// One line of the file as an editor shows it (ended by a line feed, or the
/// last one by the end of the data).
void check_line(Checker *c, const char *line, std::size_t len, bool lf_ended)
{
    std::size_t number = ++c->lines;
    std::size_t kept = 0;
    bool dropped = false;
    bool changed = false;
    for (std::size_t start = 0; start < len;) {
        const auto *cr = static_cast<const char *>(std::memchr(line + start, '\r', len - start));
        std::size_t end = cr != nullptr ? static_cast<std::size_t>(cr - line) : len;
        if (end > start) {
            Fate fate = check_piece(c, number, line + start, end - start);
            kept += fate != kDropped ? 1 : 0;
            dropped = dropped || fate == kDropped;
            changed = changed || fate == kRewritten;
        }
        start = end + 1;
    }
    if (kept == 0) {
        if (!dropped)
            std::fprintf(c->out, kFmtEmpty, c->path, number);
        ++c->dropped;
        return;
    }
    std::size_t text_end = len;
    while (text_end > 0 && line[text_end - 1] == '\r')
        --text_end;
    if (text_end < len || std::memchr(line, '\r', text_end) != nullptr) {
        bool inside = std::memchr(line, '\r', text_end) != nullptr;
        std::fprintf(c->out, inside ? kFmtCrInside : kFmtCrEnd, c->path, number);
        changed = true;
    }
    if (!lf_ended) {
        std::fprintf(c->out, kFmtNoLineFeed, c->path, number);
        changed = true;
    }
    if (changed || dropped)
        ++c->rewritten;
}

/// The check of `size` bytes of content, reported under the name `path`.
ConfCheck check_text(const char *path, const char *data, std::size_t size, FILE *out)
{
    Checker c{path, out, {}, 0, 0, 0, false};
    for (std::size_t pos = 0; pos < size && !c.out_of_memory;) {
        const auto *lf = static_cast<const char *>(std::memchr(data + pos, '\n', size - pos));
        std::size_t end = lf != nullptr ? static_cast<std::size_t>(lf - data) : size;
        check_line(&c, data + pos, end - pos, lf != nullptr);
        pos = end + 1;
    }
    if (c.out_of_memory) {
        std::fprintf(out, kFmtConfUnreadable, path, std::strerror(ENOMEM));
        return kCheckUnreadable;
    }
    if (c.dropped == 0 && c.rewritten == 0) {
        std::fprintf(out, kFmtClean, path, c.lines, c.seen.count);
        return kCheckClean;
    }
    std::fprintf(out, kFmtDamaged, path, c.lines, c.seen.count, c.dropped, c.rewritten);
    return kCheckDamaged;
}

}  // namespace

ConfCheck conf_check(const char *path, FILE *out)
{
    // Read as a run reads it: a file a run could not read is reported so.
    conf_disk::Content content{};
    const char *why = nullptr;
    int got = conf_disk::read_whole(path, &content, &why);
    ConfCheck result = kCheckUnreadable;
    if (got == 0) {
        std::fprintf(out, kFmtMissing, path);
        result = kCheckClean;
    } else if (got < 0) {
        std::fprintf(out, kFmtConfUnreadable, path, why != nullptr ? why : "refused");
    } else {
        result = check_text(path, content.data, content.size, out);
    }
    conf_disk::release(&content);
    return result;
}

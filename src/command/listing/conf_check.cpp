#include "command/listing/conf_check.hpp"

#include "base/pathinfo.hpp"
#include "base/text.hpp"
#include "store/disk.hpp"
#include "store/line.hpp"

#include <array>
#include <cerrno>
#include <cstring>

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

struct Checker {
    const char *path;
    FILE *out;
    std::size_t lines = 0;
    std::size_t luns = 0;  ///< records kept, one per LUN
    std::size_t dropped = 0;
    std::size_t rewritten = 0;
    bool out_of_memory = false;  ///< the LUNs seen could not all be remembered
    /// The record of the line being checked, and the line the writer gives it.
    pathinfo record;
    char written[kMaxLine];
};

bool is_separator(char c) { return c == ',' || c == ':'; }

/// The field of the written line in which byte `at` lies, named for the
/// admin: "wwid", "C1P0 slot 2 priority", "alias"...
void field_name(const char *written, std::size_t at, std::size_t written_len, const char *line,
                std::size_t len, char *name, std::size_t size)
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

/// One line as the load reads it: from one line end (LF or CR) to the next.
Fate check_piece(Checker *c, Scanner *scanner, ScanPiece *piece)
{
    std::size_t number = piece->number;
    if (piece->kind == LineKind::kTooLong) {
        std::fprintf(c->out, kFmtTooLong, c->path, number, kMaxLine);
        return kDropped;
    }
    if (piece->kind == LineKind::kHoldsNul) {
        std::fprintf(c->out, kFmtNul, c->path, number);
        return kDropped;
    }
    // The scanner's text is split in place by the parse: the line's own
    // bytes stay in the content.
    const char *line = scanner->data + piece->line.offset;
    std::size_t len = piece->line.len;
    const pathinfo &record = c->record;
    scan_record(scanner, piece, &c->record);
    if (record.wwid[0] == '\0') {
        std::fprintf(c->out, kFmtNoWwid, c->path, number);
        return kDropped;
    }
    if (piece->unsure) {
        c->out_of_memory = true;
        return kDropped;
    }
    if (piece->repeat_of != 0) {
        char wwid[kWwidSize];
        std::fprintf(c->out, kFmtRepeat, c->path, number, shown_name(record.wwid, wwid, sizeof wwid),
                     piece->repeat_of);
        return kDropped;
    }
    ++c->luns;
    if (!piece->complete) {
        std::fprintf(c->out, kFmtIncomplete, c->path, number);
        return kRewritten;
    }
    const char *written = c->written;
    std::size_t written_len = line_format(&record, c->written) - 1;  // without its LF
    std::size_t at = 0;
    while (at < written_len && at < len && written[at] == line[at])
        ++at;
    if (at == written_len && at == len)
        return kKept;
    char name[32];
    field_name(written, at, written_len, line, len, name, sizeof name);
    std::fprintf(c->out, kFmtDiffers, c->path, number, at + 1, name);
    return kRewritten;
}

/// What the pieces of one editor's line came to.
struct LineFate {
    std::size_t kept = 0;
    bool dropped = false;
    bool changed = false;
    bool cr_seen = false;    ///< a piece of the line ended at a carriage return
    bool cr_inside = false;  ///< text follows such a carriage return
    bool lf_ended = false;
};

/// The verdict of one whole line, once its last piece is read.
void finish_line(Checker *c, std::size_t number, const LineFate &f)
{
    ++c->lines;
    if (f.kept == 0) {
        if (!f.dropped)
            std::fprintf(c->out, kFmtEmpty, c->path, number);
        ++c->dropped;
        return;
    }
    bool changed = f.changed;
    if (f.cr_seen) {
        std::fprintf(c->out, f.cr_inside ? kFmtCrInside : kFmtCrEnd, c->path, number);
        changed = true;
    }
    if (!f.lf_ended) {
        std::fprintf(c->out, kFmtNoLineFeed, c->path, number);
        changed = true;
    }
    if (changed || f.dropped)
        ++c->rewritten;
}

/// The check of `size` bytes of content, reported under the name `path`,
/// line by line as a run reads them.
ConfCheck check_text(const char *path, const char *data, std::size_t size, FILE *out)
{
    Checker c{path, out, 0, 0, 0, 0, false, {}, {}};
    Scanner scanner(data, size);
    ScanPiece piece{};
    LineFate fate;
    bool more = scan_next(&scanner, &piece);
    while (more && !c.out_of_memory) {
        std::size_t number = piece.number;
        if (piece.kind != LineKind::kEmpty) {
            fate.cr_inside = fate.cr_inside || fate.cr_seen;
            Fate f = check_piece(&c, &scanner, &piece);
            fate.kept += f != kDropped ? 1 : 0;
            fate.dropped = fate.dropped || f == kDropped;
            fate.changed = fate.changed || f == kRewritten;
        }
        bool at_end = piece.line.offset + piece.line.len >= size;
        fate.cr_seen = fate.cr_seen || (!piece.line.lf_ended && !at_end);
        fate.lf_ended = piece.line.lf_ended;
        more = scan_next(&scanner, &piece);
        if (!more || piece.number != number) {
            finish_line(&c, number, fate);
            fate = LineFate{};
        }
    }
    if (c.out_of_memory) {
        std::fprintf(out, kFmtConfUnreadable, path, std::strerror(ENOMEM));
        return kCheckUnreadable;
    }
    if (c.dropped == 0 && c.rewritten == 0) {
        std::fprintf(out, kFmtClean, path, c.lines, c.luns);
        return kCheckClean;
    }
    std::fprintf(out, kFmtDamaged, path, c.lines, c.luns, c.dropped, c.rewritten);
    return kCheckDamaged;
}

}  // namespace

ConfCheck conf_check(const char *path, FILE *out)
{
    // Read as a run reads it: a file a run could not read is reported so.
    DiskContent content{};
    const char *why = nullptr;
    DiskRead got = disk_read_whole(path, &content, &why);
    ConfCheck result = kCheckUnreadable;
    if (got == kDiskMissing) {
        std::fprintf(out, kFmtMissing, path);
        result = kCheckClean;
    } else if (got != kDiskRead) {
        std::fprintf(out, kFmtConfUnreadable, path, why != nullptr ? why : "refused");
    } else {
        result = check_text(path, content.data, content.size, out);
    }
    disk_release(&content);
    return result;
}

// The rows of `show paths format` (kPathsCommand) and the test for a
// refusal; the JSON of the path groups is walked in daemon_reply_json.cpp.
#include "daemon/daemon_reply.hpp"

#include <cstring>

namespace {

constexpr int kPathFields = 8;
/// A priority the daemon prints is a small int; more digits are no priority.
constexpr std::size_t kMaxNumberDigits = 9;
/// The fields of a row, in the order of kPathsCommand.
enum Field { kFieldDev, kFieldDevt, kFieldHctl, kFieldWwid, kFieldPrio, kFieldChecker,
             kFieldDmState, kFieldMap };

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

/// Whether text[0..len) may stand as a text field of `size` bytes.
bool fits(std::size_t size, const char *text, std::size_t len)
{
    return len < size && std::memchr(text, '\0', len) == nullptr;
}

/// An unsigned decimal of 1..kMaxNumberDigits digits, all of text[0..len).
bool read_unsigned(const char *text, std::size_t len, unsigned *value)
{
    if (len == 0 || len > kMaxNumberDigits)
        return false;
    unsigned v = 0;
    for (std::size_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(text[i] - '0');
    }
    *value = v;
    return true;
}

bool read_int(const char *text, std::size_t len, int *value)
{
    bool negative = len > 0 && text[0] == '-';
    unsigned v = 0;
    if (!read_unsigned(text + (negative ? 1 : 0), len - (negative ? 1 : 0), &v))
        return false;
    *value = negative ? -static_cast<int>(v) : static_cast<int>(v);
    return true;
}

/// `count` unsigned numbers separated by ':' that make up text[0..len).
bool read_numbers(const char *text, std::size_t len, unsigned *values, int count)
{
    std::size_t start = 0;
    for (int k = 0; k < count; ++k) {
        const char *colon =
            k + 1 < count ? static_cast<const char *>(std::memchr(text + start, ':', len - start))
                          : nullptr;
        if (k + 1 < count && colon == nullptr)
            return false;
        std::size_t end = colon != nullptr ? static_cast<std::size_t>(colon - text) : len;
        if (!read_unsigned(text + start, end - start, &values[k]))
            return false;
        start = end + 1;
    }
    return true;
}

bool read_devt(const char *text, std::size_t len, DaemonPath *out)
{
    unsigned v[2];
    if (!read_numbers(text, len, v, 2))
        return false;
    out->major = v[0];
    out->minor = v[1];
    return true;
}

/// h:c:t:l, each a number below 2^31, or "#:#:#:#" for a path whose SCSI
/// address the daemon does not know.
bool read_hctl(const char *text, std::size_t len, DaemonPath *out)
{
    out->host = out->channel = out->id = out->lun = -1;
    if (len == 7 && std::memcmp(text, "#:#:#:#", 7) == 0)
        return true;
    unsigned v[4];
    if (!read_numbers(text, len, v, 4))
        return false;
    out->host = static_cast<int>(v[0]);
    out->channel = static_cast<int>(v[1]);
    out->id = static_cast<int>(v[2]);
    out->lun = static_cast<int>(v[3]);
    return true;
}

/// Whether field `i` of a row, text[0..len), reads; its numbers go into *out.
bool read_field(int i, const char *text, std::size_t len, DaemonPath *out)
{
    switch (i) {
    case kFieldDev:
        return len > 0 && fits(kDaemonDevSize, text, len);
    case kFieldDevt:
        return read_devt(text, len, out);
    case kFieldHctl:
        return read_hctl(text, len, out);
    case kFieldWwid:
        return fits(kDaemonWwidSize, text, len);
    case kFieldPrio:
        return read_int(text, len, &out->prio);
    case kFieldChecker:
    case kFieldDmState:
        return fits(kDaemonStateSize, text, len);
    default:
        return fits(kDaemonMapSize, text, len);
    }
}

/// Where each field of a row stands, without its padding.
struct RowSpans {
    std::size_t begin[kPathFields];
    std::size_t end[kPathFields];
};

/// Reads a row's fields into *spans and its numbers into *out; nothing in
/// the line is changed.
bool read_row(const char *line, std::size_t len, RowSpans *spans, DaemonPath *out)
{
    *out = DaemonPath{};
    std::size_t start = 0;
    for (int i = 0; i < kPathFields; ++i) {
        const char *bar = static_cast<const char *>(std::memchr(line + start, '|', len - start));
        bool last = i == kPathFields - 1;
        // The last field runs to the end of the line: a map name may hold
        // any character but a blank.
        if (last != (bar == nullptr))
            return false;
        std::size_t end = last ? len : static_cast<std::size_t>(bar - line);
        std::size_t b = start;
        std::size_t e = end;
        while (b < e && blank(line[b]))
            ++b;
        while (e > b && blank(line[e - 1]))
            --e;
        if (!read_field(i, line + b, e - b, out))
            return false;
        spans->begin[i] = b;
        spans->end[i] = e;
        start = end + 1;
    }
    return true;
}

}  // namespace

bool daemon_next_line(const char *text, std::size_t len, std::size_t *pos, const char **line,
                      std::size_t *line_len)
{
    if (*pos >= len)
        return false;
    const char *start = text + *pos;
    const char *end = static_cast<const char *>(std::memchr(start, '\n', len - *pos));
    std::size_t n = end != nullptr ? static_cast<std::size_t>(end - start) : len - *pos;
    *line = start;
    *line_len = n;
    *pos += n + (end != nullptr ? 1 : 0);
    return true;
}

bool daemon_path_row(char *line, std::size_t len, DaemonPath *out)
{
    RowSpans spans;
    if (!read_row(line, len, &spans, out))
        return false;
    // Every field ends at its bar, its padding or the line's end: each NUL
    // falls after the field's last byte and before the next field's first.
    const char **texts[kPathFields] = {&out->dev,  nullptr,       nullptr,           &out->wwid,
                                       nullptr,    &out->checker, &out->dm_state,   &out->map};
    for (int i = 0; i < kPathFields; ++i) {
        line[spans.end[i]] = '\0';
        if (texts[i] != nullptr)
            *texts[i] = line + spans.begin[i];
    }
    return true;
}

std::size_t daemon_row_count(const char *text, std::size_t len)
{
    std::size_t rows = 0;
    std::size_t pos = 0;
    const char *line = nullptr;
    std::size_t n = 0;
    while (daemon_next_line(text, len, &pos, &line, &n)) {
        RowSpans spans;
        DaemonPath row;
        rows += read_row(line, n, &spans, &row) ? 1 : 0;
    }
    return rows;
}

bool daemon_reply_failed(const char *text, std::size_t len)
{
    if (daemon_row_count(text, len) > 0)
        return false;
    // No row at all: a daemon without paths prints nothing (or a header);
    // its refusals are one word on a line.
    static constexpr const char *kRefusals[] = {"fail", "timeout", "error", "permission deny"};
    for (const char *refusal : kRefusals) {
        std::size_t r = std::strlen(refusal);
        if (len >= r && std::memcmp(text, refusal, r) == 0)
            return true;
    }
    return false;
}

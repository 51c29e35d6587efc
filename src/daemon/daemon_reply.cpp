#include "daemon/daemon_reply.hpp"

#include <cstring>

namespace {

constexpr int kPathFields = 8;
/// Beyond the depth of any reply the daemon writes (maps, groups, paths).
constexpr int kMaxDepth = 16;
constexpr std::size_t kKeySize = 32;
/// A priority the daemon prints is a small int; more digits are no priority.
constexpr std::size_t kMaxNumberDigits = 9;
/// The fields of a row, in the order of kPathsCommand.
enum Field { kFieldDev, kFieldDevt, kFieldHctl, kFieldWwid, kFieldPrio, kFieldChecker,
             kFieldDmState, kFieldMap };

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

/// Copies text[0..len) into a field of `size` bytes; false when it does not
/// fit or holds a NUL, which no field of a reply may.
bool take(char *dst, std::size_t size, const char *text, std::size_t len)
{
    if (len >= size || std::memchr(text, '\0', len) != nullptr)
        return false;
    std::memcpy(dst, text, len);
    dst[len] = '\0';
    return true;
}

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

namespace {

enum Role { kOther, kGroupsArray, kGroup, kPathsArray, kPath };

struct Frame {
    bool object;
    Role role;
};

/// Where the JSON walk stands.
struct JsonWalk {
    const char *text = nullptr;
    std::size_t len = 0;
    std::size_t pos = 0;
    Frame frames[kMaxDepth] = {};
    int depth = 0;
    bool expect_key = false;  ///< in an object, after "{" or ","
    char key[kKeySize] = {};  ///< the key whose value comes next
    DaemonGroup group = kGroupUnknown;
    char dev[kDaemonDevSize] = {};
    const GroupVisitor *visitor = nullptr;
};

bool key_is(const JsonWalk &w, const char *name) { return std::strcmp(w.key, name) == 0; }

Role role_of(const JsonWalk &w, bool object)
{
    Role parent = w.depth > 0 ? w.frames[w.depth - 1].role : kOther;
    bool in_object = w.depth > 0 && w.frames[w.depth - 1].object;
    if (object)
        return parent == kGroupsArray ? kGroup : parent == kPathsArray ? kPath : kOther;
    if (in_object && parent == kOther && key_is(w, "path_groups"))
        return kGroupsArray;
    if (in_object && parent == kGroup && key_is(w, "paths"))
        return kPathsArray;
    return kOther;
}

bool open_frame(JsonWalk *w, bool object)
{
    if (w->depth == kMaxDepth)
        return false;
    Role role = role_of(*w, object);
    if (role == kGroup)
        w->group = kGroupUnknown;
    if (role == kPath)
        w->dev[0] = '\0';
    w->frames[w->depth++] = {object, role};
    w->expect_key = object;
    return true;
}

bool close_frame(JsonWalk *w, bool object)
{
    if (w->depth == 0 || w->frames[w->depth - 1].object != object)
        return false;
    Role role = w->frames[--w->depth].role;
    if (role == kPath && w->dev[0] != '\0')
        w->visitor->path(w->visitor->context, w->dev, w->group);
    w->expect_key = false;
    return true;
}

/// A string from its opening quote; its raw text (escapes left as they are).
bool read_string(JsonWalk *w, const char **text, std::size_t *len)
{
    std::size_t start = ++w->pos;
    while (w->pos < w->len && w->text[w->pos] != '"')
        w->pos += w->text[w->pos] == '\\' ? 2 : 1;
    if (w->pos >= w->len)
        return false;
    *text = w->text + start;
    *len = w->pos++ - start;
    return true;
}

DaemonGroup group_of(const char *text, std::size_t len)
{
    static constexpr struct {
        const char *word;
        DaemonGroup group;
    } kStates[] = {{"active", kGroupActive}, {"enabled", kGroupEnabled}, {"disabled", kGroupDisabled}};
    for (const auto &state : kStates) {
        if (len == std::strlen(state.word) && std::memcmp(text, state.word, len) == 0)
            return state.group;
    }
    return kGroupUnknown;
}

void string_value(JsonWalk *w, const char *text, std::size_t len)
{
    Role role = w->depth > 0 ? w->frames[w->depth - 1].role : kOther;
    if (role == kGroup && key_is(*w, "dm_st")) {
        w->group = group_of(text, len);
    } else if (role == kPath && key_is(*w, "dev") && !take(w->dev, sizeof w->dev, text, len)) {
        w->dev[0] = '\0';
    }
}

bool read_string_token(JsonWalk *w)
{
    const char *text = nullptr;
    std::size_t len = 0;
    if (!read_string(w, &text, &len))
        return false;
    if (w->expect_key) {
        // A key too long for any key looked for matches none.
        if (!take(w->key, sizeof w->key, text, len))
            w->key[0] = '\0';
        w->expect_key = false;
        return true;
    }
    string_value(w, text, len);
    return true;
}

bool bare_char(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
           c == '-' || c == '+';
}

/// One token from w->pos on.
bool step(JsonWalk *w)
{
    char c = w->text[w->pos];
    switch (c) {
    case '{':
    case '[':
        ++w->pos;
        return open_frame(w, c == '{');
    case '}':
    case ']':
        ++w->pos;
        return close_frame(w, c == '}');
    case ',':
        ++w->pos;
        w->expect_key = w->depth > 0 && w->frames[w->depth - 1].object;
        return true;
    case ':':
        ++w->pos;
        return true;
    case '"':
        return read_string_token(w);
    default:
        if (!bare_char(c))
            return false;
        while (w->pos < w->len && bare_char(w->text[w->pos]))
            ++w->pos;
        return true;
    }
}

}  // namespace

int daemon_groups(const char *text, std::size_t len, const GroupVisitor &visitor)
{
    JsonWalk w;
    w.text = text;
    w.len = len;
    w.visitor = &visitor;
    bool seen = false;
    while (w.pos < len) {
        if (blank(text[w.pos]) || text[w.pos] == '\n') {
            ++w.pos;
            continue;
        }
        // The daemon's JSON is one object: a bare word ("fail", "timeout")
        // or anything after the object's end is no view.
        if (seen && w.depth == 0)
            return -1;
        if (!seen && text[w.pos] != '{')
            return -1;
        if (!step(&w))
            return -1;
        seen = true;
    }
    return seen && w.depth == 0 ? 0 : -1;
}

#include "base/json_string.hpp"

#include <cstring>

int utf8_length(const unsigned char *text, std::size_t len)
{
    unsigned char lead = text[0];
    if (lead < 0x80)
        return 1;
    int follow = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        follow = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        follow = 2;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        follow = 3;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return -1;
    }
    for (int k = 1; k <= follow; ++k) {
        if (static_cast<std::size_t>(k) >= len || text[k] < low || text[k] > high)
            return -k;
        low = 0x80;
        high = 0xBF;
    }
    return follow + 1;
}

namespace {
constexpr const char *kErrUnterminated = "unterminated string";
constexpr const char *kErrControl = "control character in string";
constexpr const char *kErrUtf8 = "invalid UTF-8 in string";
constexpr const char *kErrEscape = "invalid escape";
constexpr const char *kErrHex = "invalid \\u escape";
constexpr const char *kErrSurrogate = "lone surrogate in \\u escape";
constexpr const char *kErrNul = "\\u0000 in string";

struct Cursor {
    const char *text;
    std::size_t len;
    std::size_t pos;
    GrowArray<char> *out;
    JsonFault *fault;
};

int fail(Cursor *c, std::size_t at, const char *what)
{
    *c->fault = JsonFault{what, at};
    return -1;
}

/// The value of the \u escape at `at` (its backslash), or -1.
long hex4(const Cursor *c, std::size_t at)
{
    if (c->len - at < 6 || c->text[at] != '\\' || c->text[at + 1] != 'u')
        return -1;
    long value = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        char h = c->text[i];
        int digit = h >= '0' && h <= '9' ? h - '0' : h >= 'a' && h <= 'f' ? h - 'a' + 10
                  : h >= 'A' && h <= 'F' ? h - 'A' + 10 : -1;
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

/// Appends code point `cp` in UTF-8; false without memory.
bool append_utf8(GrowArray<char> *out, unsigned long cp)
{
    static const unsigned char kLead[5] = {0, 0, 0xc0, 0xe0, 0xf0};
    char bytes[4];
    std::size_t n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    for (std::size_t i = n - 1; i > 0; --i, cp >>= 6)
        bytes[i] = static_cast<char>(0x80 | (cp & 0x3f));
    bytes[0] = static_cast<char>(kLead[n] | cp);
    return out->append_all(bytes, n);
}

/// Decodes the \u escape (or surrogate pair) at c->pos and moves past it.
int unicode_escape(Cursor *c)
{
    const std::size_t at = c->pos;
    long cp = hex4(c, at);
    if (cp < 0)
        return fail(c, at, kErrHex);
    c->pos += 6;
    if (cp == 0)
        return fail(c, at, kErrNul);
    if (cp >= 0xdc00 && cp <= 0xdfff)
        return fail(c, at, kErrSurrogate);
    if (cp >= 0xd800 && cp <= 0xdbff) {
        long low = hex4(c, c->pos);
        if (low < 0xdc00 || low > 0xdfff)
            return fail(c, at, kErrSurrogate);
        cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
        c->pos += 6;
    }
    return append_utf8(c->out, static_cast<unsigned long>(cp)) ? 0 : fail(c, at, kJsonOutOfMemory);
}

/// Decodes the escape at c->pos (a backslash) and moves past it.
int escape(Cursor *c)
{
    static const char kFrom[] = "\"\\/bfnrt";
    static const char kTo[] = "\"\\/\b\f\n\r\t";
    if (c->len - c->pos < 2)
        return fail(c, c->pos, kErrEscape);
    char e = c->text[c->pos + 1];
    if (e == 'u')
        return unicode_escape(c);
    const char *found = e != '\0' ? std::strchr(kFrom, e) : nullptr;
    if (found == nullptr)
        return fail(c, c->pos, kErrEscape);
    if (!c->out->append(kTo[found - kFrom]))
        return fail(c, c->pos, kJsonOutOfMemory);
    c->pos += 2;
    return 0;
}

/// The end of the run of plain bytes (printable ASCII but the quote and the
/// backslash, and whole UTF-8 sequences) from c->pos.
std::size_t plain_run(const Cursor *c)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(c->text);
    std::size_t run = c->pos;
    while (run < c->len) {
        unsigned char b = bytes[run];
        if (b == '"' || b == '\\' || b < 0x20)
            break;
        int n = utf8_length(bytes + run, c->len - run);
        if (n < 0)
            break;
        run += static_cast<std::size_t>(n);
    }
    return run;
}
}  // namespace

int json_string_read(const char *text, std::size_t len, std::size_t *pos, GrowArray<char> *out,
                     JsonFault *fault)
{
    const std::size_t quote = *pos;
    Cursor c{text, len, quote + 1, out, fault};
    for (;;) {
        std::size_t run = plain_run(&c);
        if (run > c.pos && !out->append_all(text + c.pos, run - c.pos))  // none: maybe no room yet
            return fail(&c, c.pos, kJsonOutOfMemory);
        c.pos = run;
        if (run == len)
            return fail(&c, quote, kErrUnterminated);
        auto b = static_cast<unsigned char>(text[run]);
        if (b == '"')
            break;
        if (b >= 0x80)
            return fail(&c, run, kErrUtf8);
        if (b != '\\')
            return fail(&c, run, kErrControl);
        if (escape(&c) != 0)
            return -1;
    }
    *pos = c.pos + 1;
    return out->append('\0') ? 0 : fail(&c, quote, kJsonOutOfMemory);
}

// --- writing -------------------------------------------------------------------

namespace {

constexpr const char *kReplacement = "\xEF\xBF\xBD";
/// In a label's value the backslash introduces what the name held: "\\" a
/// backslash, "\xHH" a byte that is no UTF-8, so that two names that differ
/// in such bytes stay two series. Each backslash is then escaped once more
/// for the text format.
constexpr const char *kLiteralBackslash = "\\\\\\\\";
constexpr const char *kFmtUndecodable = "\\\\x%02x";

/// What a format makes of the pieces of a name: one that is no UTF-8
/// (`len` bytes), and one ASCII character.
struct Escaping {
    void (*undecodable)(FILE *out, const unsigned char *piece, std::size_t len);
    void (*ascii)(FILE *out, unsigned char c);
};

void json_undecodable(FILE *out, const unsigned char *, std::size_t) { std::fputs(kReplacement, out); }

void json_ascii(FILE *out, unsigned char c)
{
    static constexpr struct {
        unsigned char c;
        const char *escaped;
    } kNamed[] = {{'\b', "\\b"}, {'\t', "\\t"}, {'\n', "\\n"},  {'\f', "\\f"},
                  {'\r', "\\r"}, {'"', "\\\""}, {'\\', "\\\\"}};
    for (const auto &named : kNamed) {
        if (named.c == c) {
            std::fputs(named.escaped, out);
            return;
        }
    }
    if (c < 0x20)
        std::fprintf(out, "\\u%04x", c);
    else
        std::fputc(c, out);
}

void label_undecodable(FILE *out, const unsigned char *piece, std::size_t len)
{
    for (std::size_t k = 0; k < len; ++k)
        std::fprintf(out, kFmtUndecodable, piece[k]);
}

void label_ascii(FILE *out, unsigned char c)
{
    if (c == '\\')
        std::fputs(kLiteralBackslash, out);
    else if (c == '"')
        std::fputs("\\\"", out);
    else if (c == '\n')
        std::fputs("\\n", out);
    else
        std::fputc(c, out);
}

/// The one walk: the field's pieces in order, each character of two bytes
/// or more as it stands, the rest as `how` escapes it, inside quotes.
void quoted_to(FILE *out, const char *field, std::size_t size, const Escaping &how)
{
    const auto *text = reinterpret_cast<const unsigned char *>(field);
    std::size_t len = strnlen(field, size);
    std::fputc('"', out);
    for (std::size_t i = 0; i < len;) {
        int n = utf8_length(text + i, len - i);
        if (n < 0)
            how.undecodable(out, text + i, static_cast<std::size_t>(-n));
        else if (n > 1)
            std::fwrite(text + i, 1, static_cast<std::size_t>(n), out);
        else
            how.ascii(out, text[i]);
        i += static_cast<std::size_t>(n < 0 ? -n : n);
    }
    std::fputc('"', out);
}

}  // namespace

void json_string_to(FILE *out, const char *field, std::size_t size)
{
    quoted_to(out, field, size, Escaping{json_undecodable, json_ascii});
}

void label_value_to(FILE *out, const char *field, std::size_t size)
{
    quoted_to(out, field, size, Escaping{label_undecodable, label_ascii});
}

#include "base/json_string.hpp"

#include <cstring>

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

/// Bytes of the well-formed UTF-8 sequence of two to four bytes at `s`
/// (`avail` bytes there), or 0: no overlong forms, surrogates or values
/// past U+10FFFF.
std::size_t utf8_sequence(const unsigned char *s, std::size_t avail)
{
    unsigned char c = s[0];
    std::size_t n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3
                  : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
    if (n == 0 || n > avail)
        return 0;
    unsigned char low = 0x80, high = 0xbf;  // the second byte's range
    if (c == 0xe0)
        low = 0xa0;
    else if (c == 0xed)
        high = 0x9f;
    else if (c == 0xf0)
        low = 0x90;
    else if (c == 0xf4)
        high = 0x8f;
    if (s[1] < low || s[1] > high)
        return 0;
    for (std::size_t i = 2; i < n; ++i) {
        if (s[i] < 0x80 || s[i] > 0xbf)
            return 0;
    }
    return n;
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
        std::size_t n = b < 0x80 ? 1 : utf8_sequence(bytes + run, c->len - run);
        if (n == 0)
            break;
        run += n;
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

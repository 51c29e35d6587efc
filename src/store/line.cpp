// One record line's text: written, read back, checked for the writer's form.
// The scan of a content's lines is scan.cpp's.
#include "store/line.hpp"

#include "base/text.hpp"

#include <array>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr int kMaxAddressNumber = 255;

// --- writing -----------------------------------------------------------------

constexpr bool needs_escape(unsigned char c)
{
    return c == ',' || c == ':' || c == '%' || c < 0x20 || c > 0x7e;
}

/// Appends a text field of `size` bytes, percent-encoding the bytes that
/// would break the line apart, then `end`.
char *put_text(char *out, const char *field, std::size_t size, char end)
{
    out += line_encode(field, size, out);
    *out++ = end;
    return out;
}

/// Appends `value` as "%d" writes it, then `end`.
char *put_int(char *out, int value, char end)
{
    char digits[kIntText];
    std::size_t n = 0;
    // Through unsigned: the magnitude of INT_MIN does not fit an int.
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : value;
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *out++ = '-';
    while (n > 0)
        *out++ = digits[--n];
    *out++ = end;
    return out;
}

// --- reading -----------------------------------------------------------------

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

bool is_separator(char c) { return c == ',' || c == ':'; }

/// The next token at *cursor, as strtok_r with the separators "," and ":"
/// gives it (runs of separators count as one; the separator after the token
/// is overwritten with NUL), or nullptr when none is left.
char *next_token(char **cursor)
{
    char *p = *cursor;
    while (is_separator(*p))
        ++p;
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char *token = p;
    while (*p != '\0' && !is_separator(*p))
        ++p;
    if (*p != '\0')
        *p++ = '\0';
    *cursor = p;
    return token;
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

// --- the canonical form ------------------------------------------------------

/// A hex digit as the writer gives it: uppercase only.
int upper_hex(char c) { return c >= 'a' && c <= 'f' ? -1 : hex_value(c); }

/// The bytes that a text field holds as they stand.
constexpr auto kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0; c < 256; ++c)
        plain[c] = !needs_escape(static_cast<unsigned char>(c));
    return plain;
}();

/// The first byte from p on, before end, that a text field does not hold as
/// it stands, or end: sixteen bytes a look where the line has them (one
/// look finds the end of most fields), through the compiler's vectors.
const char *plain_run(const char *p, const char *end)
{
    if constexpr (std::endian::native == std::endian::little) {
        using Bytes = unsigned char __attribute__((vector_size(16)));
        using Words = std::uint64_t __attribute__((vector_size(16)));
        for (; end - p >= 16; p += 16) {
            Bytes x;
            std::memcpy(&x, p, sizeof x);
            auto stop = (x < 0x20) | (x > 0x7e) | (x == ',') | (x == ':') | (x == '%');
            Words words;
            std::memcpy(&words, &stop, sizeof words);
            if (words[0] != 0)
                return p + std::countr_zero(words[0]) / 8;
            if (words[1] != 0)
                return p + 8 + std::countr_zero(words[1]) / 8;
        }
    }
    while (p < end && kPlain[static_cast<unsigned char>(*p)])
        ++p;
    return p;
}

/// The end of a non-empty text field at p as line_encode writes it (every byte
/// that needs it encoded, and no other; uppercase hex; at most size-1 bytes
/// once decoded), stopping at the first separator or at `end`; nullptr when
/// the field is not in that form.
/// Inlined into canonical(), which calls it for every text field of a line.
[[gnu::always_inline]] inline const char *canonical_text(const char *p, const char *end,
                                                      std::size_t size)
{
    const char *start = p;
    std::size_t decoded = 0;
    for (;;) {
        const char *run = p;
        p = plain_run(p, end);
        decoded += static_cast<std::size_t>(p - run);
        if (p == end || *p != '%')
            break;
        int hi = end - p >= 3 ? upper_hex(p[1]) : -1;
        int lo = hi >= 0 ? upper_hex(p[2]) : -1;
        if (lo < 0)
            return nullptr;
        auto byte = static_cast<unsigned char>(hi * 16 + lo);
        if (byte == 0 || !needs_escape(byte))
            return nullptr;
        p += 3;
        ++decoded;
    }
    // Stopped at the end, at a separator, or at a byte that needs encoding.
    if (p == start || decoded >= size || (p < end && !is_separator(*p)))
        return nullptr;
    return p;
}

/// The place after `after`, when p holds a number as "%d" writes it within
/// the int range, followed by `after`; *value is the number. nullptr
/// otherwise.
const char *canonical_int(const char *p, const char *end, char after, long long *value)
{
    // Most numbers of a line are one digit, nearly all others two or three.
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (end - p >= 2 && digit(*p) && p[1] == after) {
        *value = *p - '0';
        return p + 2;
    }
    if (end - p >= 4 && *p != '0' && digit(*p) && digit(p[1])) {
        int two = (*p - '0') * 10 + (p[1] - '0');
        if (p[2] == after) {
            *value = two;
            return p + 3;
        }
        if (digit(p[2]) && p[3] == after) {
            *value = two * 10 + (p[2] - '0');
            return p + 4;
        }
    }
    bool negative = p < end && *p == '-';
    if (negative)
        ++p;
    const char *digits = p;
    long long magnitude = 0;
    for (; p < end && *p >= '0' && *p <= '9' && static_cast<std::size_t>(p - digits) < kIntText; ++p)
        magnitude = magnitude * 10 + (*p - '0');
    std::size_t n = static_cast<std::size_t>(p - digits);
    if (n == 0 || (*digits == '0' && (n > 1 || negative)))
        return nullptr;
    if (magnitude > static_cast<long long>(INT_MAX) + (negative ? 1 : 0))
        return nullptr;
    if (p == end || *p != after)
        return nullptr;
    *value = negative ? -magnitude : magnitude;
    return p + 1;
}

}  // namespace

std::size_t line_format(const pathinfo *rec, char *out)
{
    char *start = out;
    out = put_text(out, rec->wwid, kWwidSize, ',');
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            const char *dev = rec->slot_dev[cp][slot];
            if (dev[0] == '\0') {
                *out++ = 'x';
                *out++ = ',';
            } else {
                out = put_text(out, dev, kDevSize, ',');
            }
            out = put_int(out, rec->slot_host[cp][slot], ':');
            out = put_int(out, rec->slot_channel[cp][slot], ':');
            out = put_int(out, rec->slot_id[cp][slot], ':');
            out = put_int(out, rec->slot_lun[cp][slot], ',');
            out = put_int(out, rec->prio[cp][slot], ',');
        }
    }
    out = put_text(out, rec->text_name, kTextNameSize, '\n');
    return static_cast<std::size_t>(out - start);
}

std::size_t line_encode(const char *field, std::size_t size, char *out)
{
    char *start = out;
    std::size_t n = strnlen(field, size - 1);
    for (std::size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(field[i]);
        if (!needs_escape(c)) {
            *out++ = static_cast<char>(c);
            continue;
        }
        *out++ = '%';
        *out++ = kHex[c >> 4];
        *out++ = kHex[c & 0xf];
    }
    return static_cast<std::size_t>(out - start);
}

int line_invalid_address(const pathinfo *rec, int from_entry)
{
    for (int k = from_entry; k < kControllerPorts * kSlotsPerPort; ++k) {
        int cp = k % kControllerPorts;
        int slot = k / kControllerPorts;
        // The host number comes from the kernel whole, not cut to a byte:
        // hosts pass 255 on long-running machines.
        if (rec->slot_channel[cp][slot] > kMaxAddressNumber ||
            rec->slot_id[cp][slot] > kMaxAddressNumber ||
            rec->slot_lun[cp][slot] > kMaxAddressNumber)
            return k;
    }
    return -1;
}

bool line_canonical(const char *line, std::size_t len, LineShape *shape)
{
    const char *p = line;
    const char *end = line + len;
    *shape = {0, false};
    if ((p = canonical_text(p, end, kWwidSize)) == nullptr || p == end || *p != ',')
        return false;
    shape->wwid_len = static_cast<std::size_t>(p - line);
    ++p;
    for (int k = 0; k < kControllerPorts * kSlotsPerPort; ++k) {
        // Most entries of a line are free slots, all alike.
        static constexpr char kFreeEntry[] = "x,0:0:0:0,0,";
        constexpr std::size_t kFreeLen = sizeof kFreeEntry - 1;
        if (static_cast<std::size_t>(end - p) > kFreeLen &&
            std::memcmp(p, kFreeEntry, kFreeLen) == 0) {
            p += kFreeLen;
            continue;
        }
        if ((p = canonical_text(p, end, kDevSize)) == nullptr || p == end || *p != ',')
            return false;
        ++p;
        static constexpr char kAfter[] = {':', ':', ':', ',', ','};
        for (int i = 0; i < 5; ++i) {
            long long value = 0;
            if ((p = canonical_int(p, end, kAfter[i], &value)) == nullptr)
                return false;
            if (i >= 1 && i < 4 && value > kMaxAddressNumber)
                shape->bad_address = true;
        }
    }
    // The alias runs to the end of the line: a separator in it would end it.
    return (p = canonical_text(p, end, kTextNameSize)) != nullptr && p == end;
}

int line_parse(char *line, pathinfo *rec)
{
    char *cursor = line;
    char *token = next_token(&cursor);
    if (token == nullptr)
        return -1;
    decode_field(rec->wwid, kWwidSize, token);
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            int *numbers[] = {&rec->slot_host[cp][slot], &rec->slot_channel[cp][slot],
                              &rec->slot_id[cp][slot], &rec->slot_lun[cp][slot],
                              &rec->prio[cp][slot]};
            if ((token = next_token(&cursor)) == nullptr)
                return -1;
            decode_field(rec->slot_dev[cp][slot], kDevSize, token);
            for (int *number : numbers) {
                if ((token = next_token(&cursor)) == nullptr)
                    return -1;
                *number = int_from_text(token);
            }
        }
    }
    if ((token = next_token(&cursor)) == nullptr)
        return -1;
    decode_field(rec->text_name, kTextNameSize, token);
    return 0;
}

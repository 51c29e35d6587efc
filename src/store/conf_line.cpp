#include "store/conf_line.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int int_from_text(const char *text)
{
    // strtol's rule, without its locale and errno machinery: the file holds
    // a hundred numbers a line.
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    // Past 2^31 every further digit saturates all the same.
    constexpr long long kCap = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (magnitude <= kCap)
            magnitude = magnitude * 10 + (*text - '0');
    }
    if (negative)
        return magnitude >= kCap ? INT_MIN : static_cast<int>(-magnitude);
    return magnitude > INT_MAX ? INT_MAX : static_cast<int>(magnitude);
}

namespace conf_line {
namespace {

constexpr const char *kFmtInvalidAddress = "!!! invalid scsi address (%d:%d:%d:%d";
constexpr char kHex[] = "0123456789ABCDEF";

// --- writing -----------------------------------------------------------------

bool needs_escape(unsigned char c)
{
    return c == ',' || c == ':' || c == '%' || c < 0x20 || c > 0x7e;
}

/// Appends a text field of `size` bytes, percent-encoding the bytes that
/// would break the line apart, then `end`.
char *put_text(char *out, const char *field, std::size_t size, char end)
{
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

}  // namespace

LineKind next_line(const char *data, std::size_t size, std::size_t *pos, Line *line)
{
    if (*pos >= size)
        return kNoLine;
    const std::size_t start = *pos;
    const char *begin = data + start;
    const auto *lf = static_cast<const char *>(std::memchr(begin, '\n', size - start));
    std::size_t len = lf != nullptr ? static_cast<std::size_t>(lf - begin) : size - start;
    const auto *cr = static_cast<const char *>(std::memchr(begin, '\r', len));
    if (cr != nullptr)
        len = static_cast<std::size_t>(cr - begin);
    const bool ended = start + len < size;
    *line = {start, len, ended && data[start + len] == '\n'};
    *pos = start + len + (ended ? 1 : 0);
    if (len == 0)
        return kEmpty;
    if (len > kMaxLine)
        return kTooLong;
    if (std::memchr(begin, '\0', len) != nullptr)
        return kHoldsNul;
    return kText;
}

std::size_t format(const pathinfo *rec, char *out)
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
            int host = rec->slot_host[cp][slot];
            int channel = rec->slot_channel[cp][slot];
            int id = rec->slot_id[cp][slot];
            int lun = rec->slot_lun[cp][slot];
            // The host number comes from the kernel whole, not cut to a byte:
            // hosts pass 255 on long-running machines.
            if (channel > 255 || id > 255 || lun > 255)
                std::fprintf(stderr, kFmtInvalidAddress, host, channel, id, lun);
            out = put_int(out, host, ':');
            out = put_int(out, channel, ':');
            out = put_int(out, id, ':');
            out = put_int(out, lun, ',');
            out = put_int(out, rec->prio[cp][slot], ',');
        }
    }
    out = put_text(out, rec->text_name, kTextNameSize, '\n');
    return static_cast<std::size_t>(out - start);
}

int parse(char *line, pathinfo *rec)
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

}  // namespace conf_line

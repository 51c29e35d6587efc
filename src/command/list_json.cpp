#include "command/list_json.hpp"

#include "store/conf.hpp"

#include <sysfs/dlist.h>

#include <cstring>

namespace {

constexpr int kOverrideLow = 5;
constexpr int kOverrideHigh = 8;

// The document's fixed text, level by level (two blanks each).
constexpr const char *kDocOpen = "{\n  \"luns\": ";
constexpr const char *kDocClose = "\n}\n";
constexpr const char *kLunWwid = "{\n      \"wwid\": ";
constexpr const char *kLunAlias = ",\n      \"alias\": ";
constexpr const char *kLunPaths = ",\n      \"paths\": ";
constexpr const char *kLunClose = "\n    }";
constexpr const char *kFmtPathHead =
    "{\n          \"port\": \"%s\",\n          \"hctl\": \"%d:%d:%d:%d\",\n          \"device\": ";
constexpr const char *kFmtPathTail =
    ",\n          \"priority\": %d,\n          \"override\": %s\n        }";
constexpr int kLunIndent = 4;
constexpr int kLunsCloseIndent = 2;
constexpr int kPathIndent = 8;
constexpr int kPathsCloseIndent = 6;
constexpr const char *kReplacement = "\xEF\xBF\xBD";

/// The length of the UTF-8 character that begins `text` (`len` bytes, at
/// least one), or minus the length of the piece that stands for none: a
/// byte that cannot begin one, or the longest start of one that the next
/// byte or the end of the text breaks off (the byte that broke it off is
/// looked at again). The ranges are those of well-formed UTF-8: no overlong
/// form, no surrogate, nothing above U+10FFFF.
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

/// One ASCII character inside a string.
void put_ascii(FILE *out, unsigned char c)
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

}  // namespace

void json_string_to(FILE *out, const char *field, std::size_t size)
{
    const auto *text = reinterpret_cast<const unsigned char *>(field);
    std::size_t len = strnlen(field, size);
    std::fputc('"', out);
    for (std::size_t i = 0; i < len;) {
        int n = utf8_length(text + i, len - i);
        if (n < 0) {
            std::fputs(kReplacement, out);
            i += static_cast<std::size_t>(-n);
        } else if (n > 1) {
            std::fwrite(text + i, 1, static_cast<std::size_t>(n), out);
            i += static_cast<std::size_t>(n);
        } else {
            put_ascii(out, text[i++]);
        }
    }
    std::fputc('"', out);
}

namespace {

/// Before member `index` of an array whose members stand `indent` blanks in:
/// the array's "[" or the "," after the member before.
void open_member(FILE *out, int index, int indent)
{
    std::fputs(index == 0 ? "[\n" : ",\n", out);
    std::fprintf(out, "%*s", indent, "");
}

/// After the `count` members of an array whose "]" stands `indent` blanks in.
void close_array(FILE *out, int count, int indent)
{
    if (count == 0)
        std::fputs("[]", out);
    else
        std::fprintf(out, "\n%*s]", indent, "");
}

void put_path(FILE *out, const pathinfo &rec, int cp, int slot)
{
    int prio = rec.prio[cp][slot];
    std::fprintf(out, kFmtPathHead, cp_names[cp], rec.slot_host[cp][slot],
                 rec.slot_channel[cp][slot], rec.slot_id[cp][slot], rec.slot_lun[cp][slot]);
    json_string_to(out, rec.slot_dev[cp][slot], kDevSize);
    std::fprintf(out, kFmtPathTail, prio,
                 prio >= kOverrideLow && prio <= kOverrideHigh ? "true" : "false");
}

void put_lun(FILE *out, const pathinfo &rec)
{
    std::fputs(kLunWwid, out);
    json_string_to(out, rec.wwid, kWwidSize);
    std::fputs(kLunAlias, out);
    json_string_to(out, rec.text_name, kTextNameSize);
    std::fputs(kLunPaths, out);
    int paths = 0;
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            if (rec.prio[cp][slot] > 0) {
                open_member(out, paths++, kPathIndent);
                put_path(out, rec, cp, slot);
            }
        }
    }
    close_array(out, paths, kPathsCloseIndent);
    std::fputs(kLunClose, out);
}

}  // namespace

int list_json_to(FILE *out)
{
    if (conf == nullptr)
        return -1;
    std::fputs(kDocOpen, out);
    int luns = 0;
    dlist_start(conf);
    for (;;) {
        _dlist_mark_move(conf, 1);
        if (conf->marker == conf->head)
            break;
        const auto *rec = static_cast<const pathinfo *>(dlist_mark(conf));
        if (rec == nullptr)
            break;
        if (rec->wwid[0] != '\0') {
            open_member(out, luns++, kLunIndent);
            put_lun(out, *rec);
        }
    }
    close_array(out, luns, kLunsCloseIndent);
    std::fputs(kDocClose, out);
    return 0;
}

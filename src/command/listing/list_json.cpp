#include "command/listing/list_json.hpp"

#include "base/priority.hpp"
#include "command/listing/listing.hpp"
#include "daemon/multipathd.hpp"
#include "store/store.hpp"

#include <cstring>

namespace {

// The document's fixed text, level by level (two blanks each).
constexpr const char *kDocOpen = "{\n  \"luns\": ";
constexpr const char *kDocClose = "\n}\n";
constexpr const char *kLunWwid = "{\n      \"wwid\": ";
constexpr const char *kLunAlias = ",\n      \"alias\": ";
constexpr const char *kLunPaths = ",\n      \"paths\": ";
constexpr const char *kLunClose = "\n    }";
constexpr const char *kFmtPathHead =
    "{\n          \"port\": \"%s\",\n          \"hctl\": \"%d:%d:%d:%d\",\n          \"device\": ";
constexpr const char *kFmtPathTail = ",\n          \"priority\": %d,\n          \"override\": %s";
constexpr const char *kPathClose = "\n        }";
constexpr int kLunIndent = 4;
constexpr int kLunsCloseIndent = 2;
constexpr int kPathIndent = 8;
constexpr int kPathsCloseIndent = 6;
constexpr const char *kReplacement = "\xEF\xBF\xBD";

}  // namespace

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
    std::fprintf(out, kFmtPathTail, prio, is_override(prio) ? "true" : "false");
}

// multipathd's fields, written only when the daemon answered.
constexpr const char *kFmtDaemonPrio = ",\n          \"multipathd\": {\n            \"priority\": %d";
constexpr const char *kDaemonState = ",\n            \"state\": ";
constexpr const char *kDaemonDmState = ",\n            \"dm_state\": ";
constexpr const char *kFmtDaemonGroup =
    ",\n            \"group_active\": %s,\n            \"group_state\": \"%s\"\n          }";
constexpr const char *kDaemonNone = ",\n          \"multipathd\": null";
constexpr const char *kFmtDaemonDiffers = ",\n      \"multipathd_differs\": %s";
constexpr const char *kFmtDaemonReached = ",\n  \"multipathd_reached\": %s";


/// A path's "multipathd": the daemon's priority, checker state, device-mapper
/// state, whether its group is the active one (null when unknown) and that
/// group's state; null when the daemon holds no such path.
void put_daemon_path(FILE *out, const DaemonView *view, const pathinfo &rec, int cp, int slot)
{
    if (!daemon_reached(view))
        return;
    const DaemonPath *held = stored_daemon_path(view, rec, cp, slot);
    if (held == nullptr) {
        std::fputs(kDaemonNone, out);
        return;
    }
    std::fprintf(out, kFmtDaemonPrio, held->prio);
    std::fputs(kDaemonState, out);
    json_string_to(out, held->checker, kDaemonStateSize);
    std::fputs(kDaemonDmState, out);
    json_string_to(out, held->dm_state, kDaemonStateSize);
    bool known = held->group != kGroupUnknown && held->group != kGroupNotRead;
    const char *active = !known                        ? "null"
                         : held->group == kGroupActive ? "true"
                                                       : "false";
    std::fprintf(out, kFmtDaemonGroup, active, daemon_group_text(held->group));
}

/// A LUN's "multipathd_differs": whether the daemon uses another priority
/// than the stored one for any path of it that it holds.
void put_daemon_lun(FILE *out, const DaemonView *view, const pathinfo &rec)
{
    if (!daemon_reached(view))
        return;
    bool differs = false;
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            int prio = rec.prio[cp][slot];
            const DaemonPath *held = prio > 0 ? stored_daemon_path(view, rec, cp, slot) : nullptr;
            differs = differs || (held != nullptr && held->prio != prio);
        }
    }
    std::fprintf(out, kFmtDaemonDiffers, differs ? "true" : "false");
}

/// The document as the walk goes: how many LUNs and paths of the current
/// LUN were written so far.
struct JsonWriter {
    FILE *out;
    int luns;
    int paths;
    const DaemonView *view;
};

/// Closes the paths of the LUN written last, and the LUN.
void close_lun(JsonWriter *w)
{
    close_array(w->out, w->paths, kPathsCloseIndent);
    std::fputs(kLunClose, w->out);
}

void json_lun(void *context, const pathinfo &rec)
{
    auto *w = static_cast<JsonWriter *>(context);
    if (w->luns > 0)
        close_lun(w);
    open_member(w->out, w->luns++, kLunIndent);
    std::fputs(kLunWwid, w->out);
    json_string_to(w->out, rec.wwid, kWwidSize);
    std::fputs(kLunAlias, w->out);
    json_string_to(w->out, rec.text_name, kTextNameSize);
    put_daemon_lun(w->out, w->view, rec);
    std::fputs(kLunPaths, w->out);
    w->paths = 0;
}

void json_path(void *context, const pathinfo &rec, int cp, int slot)
{
    auto *w = static_cast<JsonWriter *>(context);
    open_member(w->out, w->paths++, kPathIndent);
    put_path(w->out, rec, cp, slot);
    put_daemon_path(w->out, w->view, rec, cp, slot);
    std::fputs(kPathClose, w->out);
}

void json_unnamed(void *) {}

}  // namespace

int list_json_to(Store *store, FILE *out, const DaemonView *view)
{
    if (!store_loaded(store))
        return -1;
    std::fputs(kDocOpen, out);
    JsonWriter w = {out, 0, 0, view};
    listing_walk(store, {json_lun, json_path, json_unnamed, &w});
    if (w.luns > 0)
        close_lun(&w);
    close_array(out, w.luns, kLunsCloseIndent);
    if (view != nullptr)
        std::fprintf(out, kFmtDaemonReached, daemon_reached(view) ? "true" : "false");
    std::fputs(kDocClose, out);
    return 0;
}

bool daemon_reached(const DaemonView *view) { return view != nullptr && view->reach == kDaemonReached; }

const DaemonPath *stored_daemon_path(const DaemonView *view, const pathinfo &rec, int cp, int slot)
{
    if (!daemon_reached(view))
        return nullptr;
    char wwid[kWwidSize + 1] = {};
    std::memcpy(wwid, rec.wwid, kWwidSize);
    return daemon_find_path(*view, wwid, rec.slot_host[cp][slot], rec.slot_channel[cp][slot],
                            rec.slot_id[cp][slot], rec.slot_lun[cp][slot]);
}

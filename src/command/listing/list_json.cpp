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

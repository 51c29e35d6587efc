#include "command/list_json.hpp"

#include "base/priority.hpp"
#include "command/listing.hpp"
#include "command/multipathd.hpp"
#include "store/conf.hpp"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>

namespace {

// Keys in the order written, not sorted.
using Json = nlohmann::ordered_json;

constexpr int kIndent = 2;

std::string field_text(const char *field, std::size_t size)
{
    return std::string(field, strnlen(field, size));
}

Json path_json(const pathinfo &rec, int cp, int slot)
{
    char hctl[4 * 12];
    std::snprintf(hctl, sizeof hctl, "%d:%d:%d:%d", rec.slot_host[cp][slot],
                  rec.slot_channel[cp][slot], rec.slot_id[cp][slot], rec.slot_lun[cp][slot]);
    int prio = rec.prio[cp][slot];
    Json path = Json::object();
    path["port"] = cp_names[cp];
    path["hctl"] = hctl;
    path["device"] = field_text(rec.slot_dev[cp][slot], kDevSize);
    path["priority"] = prio;
    path["override"] = is_override(prio);
    return path;
}

/// What the walk builds: the LUNs, and the daemon's view to set beside them.
struct JsonListing {
    Json luns = Json::array();
    const DaemonView *view;
};

// multipathd's fields. Without a view that was reached there are none but
// the document's "multipathd_reached": false.

/// The daemon's path under the stored path's node name, when it is a path of
/// the same LUN (a node renamed since the store saw it is another path).
const DaemonPath *daemon_path(const DaemonView *view, const pathinfo &rec, int cp, int slot)
{
    if (view == nullptr || view->reach != kDaemonReached)
        return nullptr;
    const DaemonPath *path = daemon_find(*view, rec.slot_dev[cp][slot]);
    if (path == nullptr || std::strncmp(path->wwid, rec.wwid, kWwidSize) != 0)
        return nullptr;
    return path;
}

/// A LUN's "multipathd_differs": whether the daemon uses another priority
/// than the stored one for any path it holds.
void lun_daemon_field(Json *lun, const pathinfo &rec, const DaemonView *view)
{
    if (view == nullptr || view->reach != kDaemonReached)
        return;
    bool differs = false;
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            const DaemonPath *path = rec.prio[cp][slot] > 0 ? daemon_path(view, rec, cp, slot) : nullptr;
            differs = differs || (path != nullptr && path->prio != rec.prio[cp][slot]);
        }
    }
    (*lun)["multipathd_differs"] = differs;
}

/// A path's "multipathd": the daemon's priority, checker state, device-mapper
/// state, whether its group is the active one (null when unknown) and that
/// group's state; null when the daemon holds no such path.
void path_daemon_field(Json *path, const pathinfo &rec, int cp, int slot, const DaemonView *view)
{
    if (view == nullptr || view->reach != kDaemonReached)
        return;
    const DaemonPath *held = daemon_path(view, rec, cp, slot);
    if (held == nullptr) {
        (*path)["multipathd"] = nullptr;
        return;
    }
    Json daemon = Json::object();
    daemon["priority"] = held->prio;
    daemon["state"] = held->checker;
    daemon["dm_state"] = held->dm_state;
    if (held->group == kGroupUnknown)
        daemon["group_active"] = nullptr;
    else
        daemon["group_active"] = held->group == kGroupActive;
    daemon["group_state"] = daemon_group_text(held->group);
    (*path)["multipathd"] = std::move(daemon);
}

void json_lun(void *context, const pathinfo &rec)
{
    auto *listing = static_cast<JsonListing *>(context);
    Json lun = Json::object();
    lun["wwid"] = field_text(rec.wwid, kWwidSize);
    lun["alias"] = field_text(rec.text_name, kTextNameSize);
    lun_daemon_field(&lun, rec, listing->view);
    lun["paths"] = Json::array();
    listing->luns.push_back(std::move(lun));
}

void json_path(void *context, const pathinfo &rec, int cp, int slot)
{
    auto *listing = static_cast<JsonListing *>(context);
    Json path = path_json(rec, cp, slot);
    path_daemon_field(&path, rec, cp, slot, listing->view);
    listing->luns.back()["paths"].push_back(std::move(path));
}

void json_unnamed(void *) {}

}  // namespace

int list_json(conf_store *store, const DaemonView *view, std::string *text)
{
    JsonListing listing{Json::array(), view};
    if (listing_walk(store, {json_lun, json_path, json_unnamed, &listing}) == kListingNoList)
        return -1;
    Json doc = Json::object();
    doc["luns"] = std::move(listing.luns);
    doc["multipathd_reached"] = view != nullptr && view->reach == kDaemonReached;
    *text = doc.dump(kIndent, ' ', false, Json::error_handler_t::replace);
    text->push_back('\n');
    return 0;
}

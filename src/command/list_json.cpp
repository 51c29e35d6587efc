#include "command/list_json.hpp"

#include "base/priority.hpp"
#include "command/listing.hpp"
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

void json_lun(void *context, const pathinfo &rec)
{
    Json lun = Json::object();
    lun["wwid"] = field_text(rec.wwid, kWwidSize);
    lun["alias"] = field_text(rec.text_name, kTextNameSize);
    lun["paths"] = Json::array();
    static_cast<Json *>(context)->push_back(std::move(lun));
}

void json_path(void *context, const pathinfo &rec, int cp, int slot)
{
    static_cast<Json *>(context)->back()["paths"].push_back(path_json(rec, cp, slot));
}

void json_unnamed(void *) {}

}  // namespace

int list_json(conf_store *store, std::string *text)
{
    Json luns = Json::array();
    if (listing_walk(store, {json_lun, json_path, json_unnamed, &luns}) == kListingNoList)
        return -1;
    Json doc = Json::object();
    doc["luns"] = std::move(luns);
    *text = doc.dump(kIndent, ' ', false, Json::error_handler_t::replace);
    text->push_back('\n');
    return 0;
}

#include "command/list_json.hpp"

#include "store/conf.hpp"

#include <sysfs/dlist.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>

namespace {

// Keys in the order written, not sorted.
using Json = nlohmann::ordered_json;

constexpr int kIndent = 2;
constexpr int kOverrideLow = 5;
constexpr int kOverrideHigh = 8;

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
    path["override"] = prio >= kOverrideLow && prio <= kOverrideHigh;
    return path;
}

Json lun_json(const pathinfo &rec)
{
    Json paths = Json::array();
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            if (rec.prio[cp][slot] > 0)
                paths.push_back(path_json(rec, cp, slot));
        }
    }
    Json lun = Json::object();
    lun["wwid"] = field_text(rec.wwid, kWwidSize);
    lun["alias"] = field_text(rec.text_name, kTextNameSize);
    lun["paths"] = std::move(paths);
    return lun;
}

}  // namespace

int list_json(std::string *text)
{
    if (conf == nullptr)
        return -1;
    Json luns = Json::array();
    dlist_start(conf);
    for (;;) {
        _dlist_mark_move(conf, 1);
        if (conf->marker == conf->head)
            break;
        const auto *rec = static_cast<const pathinfo *>(dlist_mark(conf));
        if (rec == nullptr)
            break;
        if (rec->wwid[0] != '\0')
            luns.push_back(lun_json(*rec));
    }
    Json doc = Json::object();
    doc["luns"] = std::move(luns);
    *text = doc.dump(kIndent, ' ', false, Json::error_handler_t::replace);
    text->push_back('\n');
    return 0;
}

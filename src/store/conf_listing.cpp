// The listing of the LUN list that tald prints for -l.
#include "store/conf.hpp"
#include "store/conf_internal.hpp"
#include "trace/trace.hpp"

#include <sysfs/dlist.h>

#include <cstdio>

namespace {

constexpr const char *kModule = "conf";
constexpr int kLineDumpEntry = 363;
constexpr int kLineDumpNullConf = 365;
constexpr int kLineDumpListNull = 374;

constexpr const char *kMsgNoValidEntry = "No valid entry found in /etc/lvm/cache/tald \n ";
constexpr const char *kMsgCheckDeviceType =
    "Check if discovered device type exists in /etc/multipath.conf file \n ";
constexpr const char *kFmtListHeader = "%s (%s)\n";
constexpr const char *kFmtListPath = "\\_ %s [%d:%d:%d:%d] [priority=%d] [%s]\n";

/// `name` for the listing: at most `size`-1 bytes, each outside 0x20..0x7e
/// shown as "?".
const char *shown_name(const char *name, char *shown, std::size_t size)
{
    std::size_t i = 0;
    for (; i + 1 < size && name[i] != '\0'; ++i) {
        auto c = static_cast<unsigned char>(name[i]);
        shown[i] = (c >= 0x20 && c <= 0x7e) ? name[i] : '?';
    }
    shown[i] = '\0';
    return shown;
}

}  // namespace

int dump_config() { return dump_config_to(stdout); }

int dump_config_to(FILE *out)
{
    using namespace conf_records;
    log_trace(kModule, "dump_config", kLineDumpEntry, 7, "ENTRY");
    if (conf == nullptr) {
        log_trace(kModule, "dump_config", kLineDumpNullConf, 7, "Null Conf");
        return -1;
    }
    // A load for one LUN holds that LUN alone: the listing shows them all.
    if (conf_loaded::loaded.indexed)
        conf_loaded::materialize();
    char alias[kTextNameSize];
    char wwid[kWwidSize];
    char dev[kDevSize];
    std::fprintf(out, "\n");
    dlist_start(conf);
    for (;;) {
        pathinfo *rec = nullptr;
        WalkStep step = walk_next(&rec);
        if (step == kWalkEnd)
            break;
        if (step == kWalkNull) {
            log_trace(kModule, "dump_config", kLineDumpListNull, 7, "List Null");
            break;
        }
        bool named = false;
        for (char c : rec->wwid)
            named = named || c != '\0';
        if (!named) {
            std::fprintf(out, "%s\n", kMsgNoValidEntry);
            std::fprintf(out, "%s\n", kMsgCheckDeviceType);
            continue;
        }
        std::fprintf(out, kFmtListHeader, shown_name(rec->text_name, alias, sizeof alias),
                     shown_name(rec->wwid, wwid, sizeof wwid));
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            for (int slot = 0; slot < kSlotsPerPort; ++slot) {
                if (rec->prio[cp][slot] > 0)
                    std::fprintf(out, kFmtListPath, cp_names[cp], rec->slot_host[cp][slot],
                                 rec->slot_channel[cp][slot], rec->slot_id[cp][slot],
                                 rec->slot_lun[cp][slot], rec->prio[cp][slot],
                                 shown_name(rec->slot_dev[cp][slot], dev, sizeof dev));
            }
        }
    }
    std::fprintf(out, "\n");
    return 0;
}

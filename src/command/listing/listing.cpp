#include "command/listing/listing.hpp"

#include "base/text.hpp"
#include "store/file.hpp"
#include "store/store.hpp"
#include "trace/trace.hpp"

namespace {

constexpr int kLineDumpEntry = 363;
constexpr int kLineDumpNullConf = 365;
constexpr int kLineDumpListNull = 374;

constexpr const char *kMsgNoValidEntry = "No valid entry found in /etc/lvm/cache/tald \n ";
constexpr const char *kMsgCheckDeviceType =
    "Check if discovered device type exists in /etc/multipath.conf file \n ";
constexpr const char *kFmtListHeader = "%s (%s)\n";
constexpr const char *kFmtListPath = "\\_ %s [%d:%d:%d:%d] [priority=%d] [%s]\n";

bool named(const pathinfo &rec)
{
    for (char c : rec.wwid) {
        if (c != '\0')
            return true;
    }
    return false;
}

void text_lun(void *context, const pathinfo &rec)
{
    char alias[kTextNameSize];
    char wwid[kWwidSize];
    std::fprintf(static_cast<FILE *>(context), kFmtListHeader,
                 shown_name(rec.text_name, alias, sizeof alias),
                 shown_name(rec.wwid, wwid, sizeof wwid));
}

void text_path(void *context, const pathinfo &rec, int cp, int slot)
{
    char dev[kDevSize];
    std::fprintf(static_cast<FILE *>(context), kFmtListPath, cp_names[cp], rec.slot_host[cp][slot],
                 rec.slot_channel[cp][slot], rec.slot_id[cp][slot], rec.slot_lun[cp][slot],
                 rec.prio[cp][slot], shown_name(rec.slot_dev[cp][slot], dev, sizeof dev));
}

void text_unnamed(void *context)
{
    auto *out = static_cast<FILE *>(context);
    std::fprintf(out, "%s\n", kMsgNoValidEntry);
    std::fprintf(out, "%s\n", kMsgCheckDeviceType);
}

}  // namespace

ListingEnd listing_walk(Store *store, const ListingVisitor &visitor)
{
    if (!file_walk_start(store))
        return kListingNoList;
    for (;;) {
        const pathinfo *rec = nullptr;
        WalkStep step = file_walk_next(store, &rec);
        if (step == kWalkEnd)
            return kListingDone;
        if (step == kWalkNull)
            return kListingCut;
        if (!named(*rec)) {
            visitor.unnamed(visitor.context);
            continue;
        }
        visitor.lun(visitor.context, *rec);
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            for (int slot = 0; slot < kSlotsPerPort; ++slot) {
                if (rec->prio[cp][slot] > 0)
                    visitor.path(visitor.context, *rec, cp, slot);
            }
        }
    }
}

int dump_config(Store *store, FILE *out)
{
    log_trace(kLineDumpEntry, 7, "ENTRY");
    if (!store_loaded(store)) {
        log_trace(kLineDumpNullConf, 7, "Null Conf");
        return -1;
    }
    std::fprintf(out, "\n");
    if (listing_walk(store, {text_lun, text_path, text_unnamed, out}) == kListingCut)
        log_trace(kLineDumpListNull, 7, "List Null");
    std::fprintf(out, "\n");
    return 0;
}

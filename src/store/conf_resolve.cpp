// Priority resolution against a store's list: conf_getPrio and conf_setPrio,
// each saving the list to the store's file afterwards.
#include "store/conf_resolve.hpp"

#include "base/priority.hpp"
#include "base/text.hpp"
#include "store/conf_load.hpp"
#include "store/conf_records.hpp"
#include "store/conf_save.hpp"
#include "trace/trace.hpp"

#include <cstring>

namespace {

constexpr int kLineGetEntry = 426;
constexpr int kLineGetNullConf = 428;
constexpr int kLineGetListNull = 436;
constexpr int kLineGetAdding = 448;
constexpr int kLineGetUpdating = 451;
constexpr int kLineGetPrio = 459;
constexpr int kLineGetNewLun = 466;
constexpr int kLineSetEntry = 482;
constexpr int kLineSetNullConf = 484;
constexpr int kLineSetListNull = 492;
constexpr int kLineSetUpdating = 505;
constexpr int kLineSetOutOfRange = 508;
constexpr int kLineSetReset = 513;
constexpr int kLineSetOverride = 516;
constexpr int kLineSetAddFailed = 530;

/// The value rule of conf_setPrio: the priority to apply for the request v,
/// or 0 when v is refused.
int applied_prio(const pathinfo *probed, int v)
{
    const char *label = cp_names[probed->cp];
    if (is_override(v)) {
        log_trace(kLineSetOverride, 7,
                  "Prio     %s, host port %d  (%s):%d; setting to user override.", label,
                  probed->host, probed->dev, v);
        return v;
    }
    if (v == kResetValue) {
        int d = defaultPrio(probed->cp, probed->lunref);
        log_trace(kLineSetReset, 7,
                  "Prio     %s(%s):%d; resetting to defaults", label, probed->dev, d);
        return d;
    }
    log_trace(kLineSetOutOfRange, 7, "Prio     %s(%s):%d; out of range.",
              label, probed->dev, v);
    return 0;
}

/// find_lun, after an indexed load made for another LUN turned whole.
WalkStep find_stored(conf_store *store, const pathinfo *probed, pathinfo **stored)
{
    if (store->loaded.indexed && std::strcmp(probed->wwid, store->loaded.served) != 0)
        conf_make_whole(store);
    return conf_records::find_lun(store, probed->wwid, stored);
}

/// The saved priority: `applied`, or the save's failure.
int saved(conf_store *store, int applied)
{
    int rc = save_config(store, store->file);
    return rc < 0 ? rc : applied;
}

}  // namespace

namespace conf_resolve {

int merge_known(pathinfo *stored, const pathinfo *probed)
{
    const char *label = cp_names[probed->cp];
    addDevToPathInfo(stored, probed->dev, probed->host, probed->channel, probed->id, probed->lun,
                     probed->cp);
    log_trace(kLineGetAdding, 7, "Adding %s to %s", probed->dev, label);
    if (stored != probed) {
        std::memset(stored->text_name, 0, kTextNameSize);
        copy_field(stored->text_name, kTextNameSize, probed->text_name);
    }
    log_trace(kLineGetUpdating, 7, "Updating %s (%s)", stored->text_name,
              stored->wwid);
    int p = getPathPrio(stored, probed->host, probed->cp);
    if (!is_override(p)) {
        p = defaultPrio(probed->cp, probed->lunref);
        setPathPrio(stored, probed->host, probed->cp, p);
    }
    log_trace(kLineGetPrio, 7, "Prio     %s(%s):%d", label, probed->dev,
              p);
    return p;
}

}  // namespace conf_resolve

int conf_getPrio(conf_store *store, pathinfo *probed)
{
    int lunref = probed->lunref;
    int d = defaultPrio(probed->cp, lunref);
    log_trace(kLineGetEntry, 7, "ENTRY");
    if (store->conf == nullptr) {
        log_trace(kLineGetNullConf, 7, "Null Conf");
        return d;
    }
    pathinfo *stored = nullptr;
    WalkStep found = find_stored(store, probed, &stored);
    if (found == kWalkNull) {
        log_trace(kLineGetListNull, 7, "List Null");
        return d;
    }
    if (found == kWalkEnd) {
        log_trace(kLineGetNewLun, 7,
                  "conf_getPrio called for new LUN (%s).  Setting prio to default %d.",
                  probed->dev, d);
        add_confNode(store, probed);
        setPathPrio(probed, probed->host, probed->cp, d);
        probed->lunref = lunref;
        save_config(store, store->file);
        return d;
    }
    int p = conf_resolve::merge_known(stored, probed);
    save_config(store, store->file);
    return p;
}

int conf_setPrio(conf_store *store, pathinfo *probed, int prio)
{
    log_trace(kLineSetEntry, 7, "ENTRY");
    if (store->conf == nullptr) {
        log_trace(kLineSetNullConf, 7, "Null Conf");
        return -1;
    }
    pathinfo *stored = nullptr;
    WalkStep found = find_stored(store, probed, &stored);
    if (found == kWalkNull) {
        log_trace(kLineSetListNull, 7, "List Null");
        return -1;
    }
    if (found == kWalkEnd) {
        int applied = applied_prio(probed, prio);
        if (applied == 0)
            return 0;
        if (add_confNode(store, probed) < 0) {
            log_trace(kLineSetAddFailed, 3,
                      "ERROR: Problem adding to Path Info List");
            return 0;
        }
        // The probed cp stays: the caller's confirmation names the path's
        // own controller port.
        setPathPrio(probed, probed->host, probed->cp, applied);
        return saved(store, applied);
    }
    addDevToPathInfo(stored, probed->dev, probed->host, probed->channel, probed->id, probed->lun,
                     probed->cp);
    log_trace(kLineSetUpdating, 7, "Updating %s on %s, host port %d",
              probed->dev, cp_names[probed->cp], probed->host);
    int applied = applied_prio(probed, prio);
    if (applied == 0)
        return 0;
    setPathPrio(stored, probed->host, probed->cp, applied);
    return saved(store, applied);
}

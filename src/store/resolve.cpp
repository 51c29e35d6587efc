// Priority resolution against a store's list: conf_getPrio and conf_setPrio,
// each saving the list to the store's file afterwards; and the steady answer
// (resolve_peek): what conf_getPrio would give a probed path when it would
// change nothing, from the file a store kept, while that file is unchanged
// on disk. Each such answer is remembered by line, port and host: the same
// path, probed the same, on the same unchanged line gets the same answer,
// which then costs neither a parse nor a format.
#include "base/priority.hpp"
#include "base/text.hpp"
#include "store/file.hpp"
#include "store/records.hpp"
#include "store/resolve.hpp"
#include "trace/trace.hpp"

#include <cstdlib>
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

/// store_find_lun, after an indexed load made for another LUN turned whole.
WalkStep find_stored(Store *store, const pathinfo *probed, pathinfo **stored)
{
    const LoadedFile &loaded = store_inside(store)->loaded;
    if (loaded.indexed && std::strcmp(probed->wwid, loaded.served) != 0)
        file_make_whole(store);
    return store_find_lun(store, probed->wwid, stored);
}

/// A record of the store's own for the probed path of a LUN new to the
/// list, put at its front (lunref 0, as add_confNode leaves it) with `prio`
/// on the path; nullptr without memory.
pathinfo *add_probed(Store *store, const pathinfo *probed, int prio)
{
    pathinfo *rec = store_new_record(store);
    if (rec == nullptr)
        return nullptr;
    std::memcpy(rec, probed, sizeof *rec);
    if (add_confNode(store, rec) < 0) {
        store_free_record(store, rec);
        return nullptr;
    }
    setPathPrio(rec, probed->host, probed->cp, prio);
    return rec;
}

/// The saved priority: `applied`, or the save's failure.
int saved(Store *store, int applied)
{
    int rc = save_config(store, store->file);
    return rc < 0 ? rc : applied;
}

/// conf_getPrio's steps on the stored record of a known LUN: the probed path
/// merged in, the alias refreshed, the priority kept or defaulted. The
/// priority.
int resolve_merge_known(pathinfo *stored, const pathinfo *probed)
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

}  // namespace

int conf_getPrio(Store *store, const pathinfo *probed)
{
    int d = defaultPrio(probed->cp, probed->lunref);
    log_trace(kLineGetEntry, 7, "ENTRY");
    if (store->luns == nullptr) {
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
        pathinfo *added = add_probed(store, probed, d);
        if (added == nullptr)
            return d;
        added->lunref = probed->lunref;
        save_config(store, store->file);
        return d;
    }
    int p = resolve_merge_known(stored, probed);
    save_config(store, store->file);
    return p;
}

int conf_setPrio(Store *store, const pathinfo *probed, int prio)
{
    log_trace(kLineSetEntry, 7, "ENTRY");
    if (store->luns == nullptr) {
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
        // The probed cp stays: the caller's confirmation names the path's
        // own controller port.
        if (add_probed(store, probed, applied) == nullptr) {
            log_trace(kLineSetAddFailed, 3,
                      "ERROR: Problem adding to Path Info List");
            return 0;
        }
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

// --- the steady answer -----------------------------------------------------------

int resolve_peek(Store *store, const pathinfo *probed)
{
    StoreInside *inside = store_inside(store);
    LoadedFile &loaded = inside->loaded;
    if (!loaded.indexed || !loaded.canonical || !loaded.current || loaded.unread ||
        std::strcmp(loaded.path, store->file) != 0)
        return 0;
    if (!disk_unchanged(loaded.path, loaded.content)) {
        loaded.current = false;
        return 0;
    }
    long at = kept_find(loaded, probed->wwid);
    if (at < 0)
        return 0;
    auto line = static_cast<std::size_t>(at);
    if (int prio = kept_answer(loaded, line, probed); prio > 0)
        return prio;
    pathinfo *rec = &inside->peek_record;
    kept_parse_line(loaded, line, inside->scratch, rec);
    int p = resolve_merge_known(rec, probed);
    std::size_t len = line_format(rec, inside->scratch);
    if (!kept_line_is(loaded, line, inside->scratch, len))
        return 0;
    kept_remember(&loaded, line, probed, p);
    return p;
}

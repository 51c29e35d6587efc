#include "operations/operations.hpp"

#include "base/pathinfo.hpp"
#include "base/priority.hpp"
#include "base/text.hpp"
#include "journal/journal_path.hpp"
#include "journal/journal_send.hpp"
#include "probe/grelt.hpp"
#include "store/resolve.hpp"
#include "store/store.hpp"
#include "store/stored_prio.hpp"
#include "store/run.hpp"
#include "trace/trace.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr int kLineAliasEntry = 36;
constexpr int kLineAliasProblem = 43;
constexpr int kLineAliasFound = 47;
constexpr int kLineGetEntry = 61;
constexpr int kLineGetProbed = 67;
constexpr int kLineGetResolved = 72;
constexpr int kLineGetResult = 79;
constexpr int kLineSetEntry = 88;
constexpr int kLineSetProbeFailed = 95;
constexpr int kLineSetNotSaved = 102;

constexpr const char *kRefusalFormat = "Priority for %s must be between %d & %d or equal to %d\n";
constexpr const char *kConfirmFormat = "%s %s:%d(%s, host port %d)\n";
constexpr const char *kAliasFormat = "%s %s\n";

/// Enters the run for the probed LUN; true when the operation may go on.
bool enter(StoreRun *run, const pathinfo *rec) { return run_entered(run_enter(run, rec)); }

const char *cp_label(int cp) { return valid_cp(cp) ? cp_names[cp] : "????"; }

/// The device text of the traces: the path held in slot 0 of the record's
/// row, which is empty when the probe failed before entering the path.
/// Without a record or without a decoded controller port there is no row to
/// read: the path as the caller gave it.
const char *device_text(const pathinfo *rec, const char *dev)
{
    if (rec == nullptr || !valid_cp(rec->cp)) {
        return dev;
    }
    return rec->slot_dev[rec->cp][0];
}

/// A fresh record for the probe, owned until the operation returns: on the
/// heap, not on the stack of the daemon's threads; `rec` is nullptr when the
/// heap is exhausted, which grelt_info then reports as a failed probe.
struct ProbeRecord {
    pathinfo *rec = static_cast<pathinfo *>(std::malloc(sizeof(pathinfo)));
    ProbeRecord() = default;
    ProbeRecord(const ProbeRecord &) = delete;
    ProbeRecord &operator=(const ProbeRecord &) = delete;
    ~ProbeRecord() { std::free(rec); }
};

}  // namespace

namespace {
/// The probed path's priority from the run's store, entered for its LUN:
/// the kept file's answer, or the resolution; kNoStore when the run could
/// not be entered.
int resolve(StoreRun *run, const char *dev, const pathinfo *rec)
{
    if (!enter(run, rec))
        return kNoStore;
    if (run->entry == kRunAnswered)
        return run->answer;
    int prio = conf_getPrio(run->store, rec);
    log_trace(kLineGetResolved, 7, "conf_getPrio: %s:%d", device_text(rec, dev), prio);
    // The same default that conf_getPrio gave (it leaves cp and lunref as
    // probed), asked again for its documented trace at line 27.
    return is_override(prio) ? prio : defaultPrio(rec->cp, rec->lunref);
}
}  // namespace

int getPrio(StoreRun *run, const char *dev) { return getPrio(run, dev, 0); }

int getPrio(StoreRun *run, const char *dev, unsigned probe_ms)
{
    log_trace(kLineGetEntry, 7, "ENTRY dev: %s", dev);
    ProbeRecord probe;
    pathinfo *rec = probe.rec;
    int rc = grelt_info(dev, rec, probe_ms);
    log_trace(kLineGetProbed, 7, "(%d) dev: %s, CP: %d, lunref: %d", rc,
              device_text(rec, dev), rec != nullptr ? rec->cp : -1,
              rec != nullptr ? rec->lunref : 0);
    // Not identified: the store is not even looked at.
    int prio = rc < 0 || rec == nullptr ? 0 : resolve(run, dev, rec);
    if (prio != kNoStore && run->entry != kRunAnswered)
        log_trace(kLineGetResult, 7, "getPrio: %d", prio);
    return prio;
}

int setPrio(StoreRun *run, const char *dev, const char *prio_text, int *stored)
{
    log_trace(kLineSetEntry, 7, "ENTRY dev: %s; prio: %s", dev,
              prio_text != nullptr ? prio_text : "");
    // The atoi rule, without atoi's undefined overflow: values beyond int
    // saturate and are refused like any other out-of-range request.
    int requested = int_from_text(prio_text != nullptr ? prio_text : "");

    ProbeRecord probe;
    pathinfo *rec = probe.rec;
    if (grelt_info(dev, rec) < 0 || rec == nullptr) {
        log_trace(kLineSetProbeFailed, 3, "ERROR: Problem getting Path Info");
        return -2;
    }
    if (!enter(run, rec))
        return kNoStore;

    // For the journal: what was stored (0: nothing yet).
    int before = stored_prio_of(run->store, rec);
    int applied = conf_setPrio(run->store, rec, requested);
    int result = 0;
    if (applied < 0) {
        log_trace(kLineSetNotSaved, 3,
                  "WARNING: Problem saving path priority");
        result = -2;
    } else if (applied == 0) {
        std::printf(kRefusalFormat, dev, kOverrideLow, kOverrideHigh, kResetValue);
        result = -1;
    } else {
        std::printf(kConfirmFormat, rec->wwid, rec->dev, applied, cp_label(rec->cp), rec->host);
        journal_probed_change(*rec, before, applied,
                              requested == kResetValue ? kJournalReset : kJournalSet,
                              kJournalSocket);
        if (stored != nullptr)
            *stored = applied;
    }
    return result;
}

int getAlias(StoreRun *run, const char *dev)
{
    log_trace(kLineAliasEntry, 7, "ENTRY dev: %s", dev);
    ProbeRecord probe;
    pathinfo *rec = probe.rec;
    int rc = grelt_info(dev, rec);
    if (rc != 1 || rec == nullptr) {
        log_trace(kLineAliasProblem, 4, "Problem getting alias(%d) dev: %s",
                  rc, device_text(rec, dev));
        return -1;
    }
    if (!enter(run, rec))
        return kNoStore;
    log_trace(kLineAliasFound, 6, "(%d) dev: %s, wwid: %s alias: \"%s\"", rc,
              device_text(rec, dev), rec->wwid, rec->text_name);
    std::printf(kAliasFormat, rec->text_name, rec->wwid);
    return 0;
}

int storedDefaultPrio(const pathinfo *rec, int cp)
{
    for (int row = 0; row < kControllerPorts; ++row) {
        for (int prio : rec->prio[row]) {
            // A default is (cp + rotation) mod 4 + 1: one stored default
            // tells the rotation.
            if (prio >= 1 && prio < kOverrideLow)
                return (cp + (prio - 1 - row + kControllerPorts) % kControllerPorts) %
                           kControllerPorts + 1;
        }
    }
    ProbeRecord probe;
    pathinfo *probed = probe.rec;
    int found = 0;
    for (int row = 0; row < kControllerPorts && found == 0; ++row) {
        for (int slot = 0; slot < kSlotsPerPort && found == 0; ++slot) {
            const char *dev = rec->slot_dev[row][slot];
            if (rec->prio[row][slot] <= 0 || dev[0] == '\0' || std::strcmp(dev, "x") == 0)
                continue;
            // A node name may have moved to another LUN since it was stored.
            if (grelt_info(dev, probed) >= 0 && std::strcmp(probed->wwid, rec->wwid) == 0)
                found = defaultPrio(cp, probed->lunref);
        }
    }
    return found;
}

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

/// A fresh record for a probe, freed by its owner; nullptr when the heap is
/// exhausted, which grelt_info then reports as a failed probe.
pathinfo *fresh_record() { return static_cast<pathinfo *>(std::malloc(sizeof(pathinfo))); }

/// A record for the stored paths' probes, owned until the caller returns.
struct ProbeRecord {
    pathinfo *rec = fresh_record();
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
    if (!run_entered(run->entry))
        return kNoStore;
    if (run->entry == kRunAnswered)
        return run->answer;
    int prio = conf_getPrio(run->store, rec);
    log_trace(kLineGetResolved, 7, "conf_getPrio: %s:%d", device_text(rec, dev), prio);
    // The same default that conf_getPrio gave (it leaves cp and lunref as
    // probed), asked again for its documented trace at line 27.
    return is_override(prio) ? prio : defaultPrio(rec->cp, rec->lunref);
}

/// The path of a probe that identified it, for the run's entry.
const pathinfo *identified(const PathCall &call)
{
    bool known = call.rec != nullptr && (call.op == PathOp::kGetAlias ? call.probed == 1
                                                                       : call.probed >= 0);
    return known ? call.rec : nullptr;
}

int getPrio(StoreRun *run, const PathCall &call)
{
    // Not identified: the store is not even looked at.
    const pathinfo *rec = identified(call);
    int prio = rec == nullptr ? 0 : resolve(run, call.dev, rec);
    if (prio != kNoStore && run->entry != kRunAnswered)
        log_trace(kLineGetResult, 7, "getPrio: %d", prio);
    return prio;
}

int setPrio(StoreRun *run, const PathCall &call)
{
    pathinfo *rec = call.rec;
    if (identified(call) == nullptr)
        return -2;
    if (!run_entered(run->entry))
        return kNoStore;
    // The atoi rule, without atoi's undefined overflow: values beyond int
    // saturate and are refused like any other out-of-range request.
    int requested = int_from_text(call.prio_text != nullptr ? call.prio_text : "");
    // For the journal: what was stored (0: nothing yet).
    int before = stored_prio_of(run->store, rec);
    int applied = conf_setPrio(run->store, rec, requested);
    if (applied < 0) {
        log_trace(kLineSetNotSaved, 3, "WARNING: Problem saving path priority");
        return -2;
    }
    if (applied == 0) {
        std::printf(kRefusalFormat, call.dev, kOverrideLow, kOverrideHigh, kResetValue);
        return -1;
    }
    std::printf(kConfirmFormat, rec->wwid, rec->dev, applied, cp_label(rec->cp), rec->host);
    journal_probed_change(*rec, before, applied,
                          requested == kResetValue ? kJournalReset : kJournalSet, kJournalSocket);
    if (call.stored != nullptr)
        *call.stored = applied;
    return 0;
}

int getAlias(StoreRun *run, const PathCall &call)
{
    const pathinfo *rec = identified(call);
    if (rec == nullptr)
        return -1;
    if (!run_entered(run->entry))
        return kNoStore;
    log_trace(kLineAliasFound, 6, "(%d) dev: %s, wwid: %s alias: \"%s\"", call.probed,
              device_text(rec, call.dev), rec->wwid, rec->text_name);
    std::printf(kAliasFormat, rec->text_name, rec->wwid);
    return 0;
}
}  // namespace

PathCall::~PathCall() { std::free(rec); }

void path_probe(StoreRun *run, PathCall *call)
{
    const char *dev = call->dev;
    std::free(call->rec);
    call->rec = fresh_record();
    pathinfo *rec = call->rec;
    switch (call->op) {
    case PathOp::kGetPrio:
        log_trace(kLineGetEntry, 7, "ENTRY dev: %s", dev);
        call->probed = grelt_info(dev, rec, call->probe_ms);
        log_trace(kLineGetProbed, 7, "(%d) dev: %s, CP: %d, lunref: %d", call->probed,
                  device_text(rec, dev), rec != nullptr ? rec->cp : -1,
                  rec != nullptr ? rec->lunref : 0);
        break;
    case PathOp::kSetPrio:
        log_trace(kLineSetEntry, 7, "ENTRY dev: %s; prio: %s", dev,
                  call->prio_text != nullptr ? call->prio_text : "");
        call->probed = grelt_info(dev, rec);
        if (identified(*call) == nullptr)
            log_trace(kLineSetProbeFailed, 3, "ERROR: Problem getting Path Info");
        break;
    case PathOp::kGetAlias:
        log_trace(kLineAliasEntry, 7, "ENTRY dev: %s", dev);
        call->probed = grelt_info(dev, rec);
        if (identified(*call) == nullptr)
            log_trace(kLineAliasProblem, 4, "Problem getting alias(%d) dev: %s", call->probed,
                      device_text(rec, dev));
        break;
    }
    run->probed = identified(*call);
}

int path_result(StoreRun *run, PathCall *call)
{
    switch (call->op) {
    case PathOp::kGetPrio:
        return getPrio(run, *call);
    case PathOp::kSetPrio:
        return setPrio(run, *call);
    case PathOp::kGetAlias:
        return getAlias(run, *call);
    }
    return -1;
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

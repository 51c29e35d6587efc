#include "command/drain/drain.hpp"

#include "base/priority.hpp"
#include "base/text.hpp"
#include "command/listing/conf_check.hpp"
#include "command/drain/daemon_wait.hpp"
#include "command/drain/drain_record.hpp"
#include "command/fleet/fleet.hpp"
#include "command/boot/initramfs_note.hpp"
#include "command/fleet/plan_journal.hpp"
#include "store/disk.hpp"
#include "store/file.hpp"
#include "store/line.hpp"
#include "store/store.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kFmtNotWritten = "%s: cannot be written; nothing changed\n";
constexpr const char *kFmtRecordTooLong = "%s: would be longer than %zu bytes; nothing changed\n";
constexpr const char *kFmtChanged = "%s: changed while the restore ran; nothing restored\n";
constexpr const char *kFmtNoOther = "no path through C%d: %s %s keeps its priorities\n";
constexpr const char *kFmtDrained =
    "C%d drained: %s; the priorities before are kept in %s\n";
constexpr const char *kFmtStranded =
    "C%d drained in part: %zu LUN%s without a path through C%d stay%s on C%d, which must stay up\n";
constexpr const char *kFmtRestored = "C%d restored: %s\n";
constexpr const char *kFmtGone = "no longer stored: %s\n";
constexpr const char *kGoalDrained[] = {"on C1", "on C0"};
constexpr const char *kGoalRestored = "back on their preferred paths";

/// The distinct priorities of the other controller's paths, highest first.
int ranks_of(const pathinfo &rec, int drained, int ranks[2 * kSlotsPerPort])
{
    int n = 0;
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort && cp / 2 != drained; ++slot) {
            int prio = rec.prio[cp][slot];
            bool seen = prio <= 0;
            for (int i = 0; i < n && !seen; ++i)
                seen = ranks[i] == prio;
            if (!seen)
                ranks[n++] = prio;
        }
    }
    for (int i = 1; i < n; ++i) {
        for (int j = i; j > 0 && ranks[j] > ranks[j - 1]; --j) {
            int t = ranks[j];
            ranks[j] = ranks[j - 1];
            ranks[j - 1] = t;
        }
    }
    return n;
}

/// Plans the drain of one LUN: the other controller's paths 8, 7, ... by
/// their order, an override of the drained one back to its default. False
/// when the LUN has no path through the other controller (nothing planned).
bool plan_drain(FleetPlan *plan, pathinfo *rec, int drained, bool *no_memory)
{
    int ranks[2 * kSlotsPerPort];
    int n = ranks_of(*rec, drained, ranks);
    if (n == 0)
        return false;
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        if (cp / 2 == drained) {
            *no_memory = *no_memory || !plan_port(plan, rec, cp, kWantDefault);
            continue;
        }
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            int prio = rec->prio[cp][slot];
            int rank = 0;
            while (prio > 0 && ranks[rank] != prio)
                ++rank;
            int to = kOverrideHigh - (rank < 3 ? rank : 3);
            *no_memory = *no_memory || (prio > 0 && !plan_set(plan, rec, cp, slot, to));
        }
    }
    return true;
}

/// The drain's file: the header, the planned LUNs' lines before the change,
/// and their count. False without memory.
bool kept_text(const FleetPlan &plan, int drained, GrowArray<char> *text)
{
    char line[kMaxLine + 1];
    // The changes come LUN by LUN: a LUN's first change starts its line.
    auto first_of_lun = [&plan](std::size_t i) {
        return i == 0 || plan.changes[i - 1].rec != plan.changes[i].rec;
    };
    std::size_t luns = 0;
    for (std::size_t i = 0; i < plan.changes.size(); ++i)
        luns += first_of_lun(i) ? 1 : 0;
    if (!record_begin(text, drained, luns))
        return false;
    for (std::size_t i = 0; i < plan.changes.size(); ++i) {
        if (!first_of_lun(i))
            continue;
        std::size_t len = line_format(plan.changes[i].rec, line);
        if (!text->append_all(line, len))
            return false;
    }
    return true;
}

/// Plans the drain of every stored LUN; each one without a path through
/// the other controller is named on `out` and counted in *stranded.
bool plan_every_lun(Store *store, FleetPlan *plan, int drained, FILE *out, std::size_t *stranded)
{
    bool no_memory = false;
    file_walk_start(store);
    const pathinfo *rec = nullptr;
    while (file_walk_next(store, &rec) == kWalkRecord) {
        auto *lun = const_cast<pathinfo *>(rec);
        if (rec->wwid[0] == '\0' || plan_drain(plan, lun, drained, &no_memory))
            continue;
        char alias[kTextNameSize];
        char wwid[kWwidSize];
        std::fprintf(out, kFmtNoOther, 1 - drained, shown_name(lun_name(*rec), alias, sizeof alias),
                     shown_name(rec->wwid, wwid, sizeof wwid));
        ++*stranded;
    }
    return !no_memory;
}

/// Keeps the drain's file; false with the line that says why.
bool keep_drain(const FleetPlan &plan, int drained, const LockFile *held)
{
    GrowArray<char> text;
    GrowArrayFreed<char> text_freed{&text};
    bool built = kept_text(plan, drained, &text);
    if (built && text.size() > kDrainRecordMax) {
        std::fprintf(stderr, kFmtRecordTooLong, kDrainPath, kDrainRecordMax);
        return false;
    }
    if (!built || disk_replace(kDrainPath, text.data(), text.size(), held) < 0) {
        std::fprintf(stderr, kFmtNotWritten, kDrainPath);
        return false;
    }
    return true;
}

/// The drain under the run, its report to `out`. The exit status.
int drain_locked(Store *store, int drained, FILE *out)
{
    DiskContent kept = {};
    int before = record_read(&kept, false);
    disk_release(&kept);
    if (before < 0)
        return kDrainFailed;
    FleetPlan plan;
    GrowArrayFreed<PathChange> plan_freed{&plan.changes};
    std::size_t stranded = 0;
    if (!plan_every_lun(store, &plan, drained, out, &stranded)) {
        std::fprintf(stderr, kFmtNotWritten, kDrainPath);
        return kDrainFailed;
    }
    if (!keep_drain(plan, drained, store->held))
        return kDrainFailed;
    plan_carry_out(plan);
    if (plan.changes.size() > 0 && save_config(store, store->file) < 0) {
        unlink(kDrainPath);
        std::fprintf(stderr, kFmtNotWritten, kConfigPath);
        return kDrainFailed;
    }
    plan_journal(plan, kJournalDrain);
    plan_print(plan, out);
    char count[64];
    std::fprintf(out, kFmtDrained, drained, plan_count(plan, count, sizeof count), kDrainPath);
    if (stranded == 0)
        return 0;
    bool one = stranded == 1;
    std::fprintf(out, kFmtStranded, drained, stranded, one ? "" : "s", 1 - drained, one ? "s" : "",
                 drained);
    return kDrainStranded;
}

/// Plans one remembered LUN's paths back: each path of the line with a
/// priority, matched by port and SCSI host. False without memory.
bool plan_back(FleetPlan *plan, pathinfo *rec, const pathinfo &was)
{
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int s = 0; s < kSlotsPerPort; ++s) {
            int prio = was.prio[cp][s];
            for (int slot = 0; prio > 0 && slot < kSlotsPerPort; ++slot) {
                int now = rec->prio[cp][slot];
                if (now <= 0 || rec->slot_host[cp][slot] != was.slot_host[cp][s])
                    continue;
                // A default stays as the path checks keep it.
                if ((is_override(prio) || is_override(now)) &&
                    !plan_set(plan, rec, cp, slot, prio))
                    return false;
                break;
            }
        }
    }
    return true;
}

/// Plans every LUN of a checked record back; the LUNs no longer stored
/// reported.
bool plan_restore(Store *store, const DiskContent &kept, FleetPlan *plan, FILE *out)
{
    char line[kMaxLine + 1];
    pathinfo *was = static_cast<pathinfo *>(std::malloc(sizeof(pathinfo)));
    bool good = was != nullptr;
    std::size_t pos = 0;
    const char *text = nullptr;
    std::size_t len = 0;
    while (good && record_next_lun(kept, &pos, &text, &len)) {
        std::memcpy(line, text, len);
        line[len] = '\0';
        std::memset(was, 0, sizeof *was);
        line_parse(line, was);  // checked: a line without alias reads incomplete
        pathinfo *rec = file_find(store, was->wwid);
        if (rec == nullptr) {
            char wwid[kWwidSize];
            std::fprintf(out, kFmtGone, shown_name(was->wwid, wwid, sizeof wwid));
        }
        good = rec == nullptr || plan_back(plan, rec, *was);
    }
    std::free(was);
    return good;
}

/// The restore under the run, its report to `out`. The exit status.
int restore_locked(Store *store, FILE *out, int *controller)
{
    DiskContent kept = {};
    *controller = record_read(&kept, true);
    // A record that does not read whole and clean is kept as it is, and
    // nothing is given back: a part of a drain is no restore.
    if (*controller < 0 || record_check(kept) < 0) {
        disk_release(&kept);
        return kDrainFailed;
    }
    FleetPlan plan;
    GrowArrayFreed<PathChange> plan_freed{&plan.changes};
    bool good = plan_restore(store, kept, &plan, out);
    DiskIdentity read = kept.identity;
    disk_release(&kept);
    if (!good) {
        std::fprintf(stderr, kFmtNotWritten, kConfigPath);
        return kDrainFailed;
    }
    // Removed or replaced since it was read: what stands there now is not
    // what was planned from.
    if (!record_unchanged(read)) {
        std::fprintf(stderr, kFmtChanged, kDrainPath);
        return kDrainFailed;
    }
    plan_carry_out(plan);
    if (plan.changes.size() > 0 && save_config(store, store->file) < 0) {
        std::fprintf(stderr, kFmtNotWritten, kConfigPath);
        return kDrainFailed;
    }
    plan_journal(plan, kJournalRestore);
    // The priorities are back: a restore that ends before this leaves the
    // drain kept, and a second restore gives the same.
    unlink(kDrainPath);
    plan_print(plan, out);
    char count[64];
    std::fprintf(out, kFmtRestored, *controller, plan_count(plan, count, sizeof count));
    return 0;
}

const char *error_of_file(Store *store)
{
    const char *why = file_unread_reason(store);
    if (why != nullptr)
        std::fprintf(stderr, kFmtConfUnreadable, kConfigPath, why);
    return why;
}

}  // namespace

int fleet_drain(Store *store, const char *controller, FILE *out)
{
    if (error_of_file(store) != nullptr)
        return kDrainFailed;
    return drain_locked(store, controller[1] - '0', out);
}

int fleet_restore(Store *store, FILE *out)
{
    if (error_of_file(store) != nullptr)
        return kDrainFailed;
    int controller = 0;
    return restore_locked(store, out, &controller);
}

int fleet_drain_wait(Store *store, const char *controller, int rc, int wait,
                     const AfterLock &pass)
{
    // A drain that strands LUNs has changed the file as well.
    if (rc == 0 || rc == kDrainStranded)
        initramfs_stale_note(stderr);
    if (rc != 0 || wait <= 0)
        return rc;
    std::fflush(stdout);
    const char *goal = controller != nullptr ? kGoalDrained[controller[1] - '0'] : kGoalRestored;
    return daemon_wait_luns(store, wait, goal, stdout, pass);
}

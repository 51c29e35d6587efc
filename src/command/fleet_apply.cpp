#include "command/fleet_apply.hpp"

#include "cli/cli.hpp"
#include "command/conf_check.hpp"
#include "command/fleet.hpp"
#include "command/fleet_input.hpp"
#include "command/initramfs_note.hpp"
#include "command/memory_text.hpp"
#include "store/file.hpp"
#include "store/run.hpp"
#include "store/store.hpp"

#include <cstring>

namespace {

constexpr const char *kFmtNotSaved = "%s: cannot be written; nothing changed\n";
constexpr const char *kFmtEntry = "%s: luns[%zu] (%s): ";
constexpr const char *kFmtNotHere = "not on this host: luns[%zu] (%s)\n";
constexpr const char *kFmtChanged = "changed: %s\n";
constexpr const char *kFmtWouldChange = "would change: %s\n";
constexpr const char *kFmtUnchanged = "unchanged: %zu LUN%s as the file says\n";

/// The stored LUN whose alias is `alias`; *count how many have it.
pathinfo *by_alias(Store *store, const char *alias, int *count)
{
    *count = 0;
    pathinfo *found = nullptr;
    file_walk_start(store);
    const pathinfo *rec = nullptr;
    while (file_walk_next(store, &rec) == kWalkRecord) {
        if (rec->wwid[0] != '\0' && std::strncmp(rec->text_name, alias, kTextNameSize) == 0) {
            ++*count;
            found = found == nullptr ? const_cast<pathinfo *>(rec) : found;
        }
    }
    return found;
}

/// The stored LUN the entry names, or why it names none: 0 found or not
/// stored (*rec nullptr), -1 refused (the line written).
int lookup(Store *store, const char *file, std::size_t index, const FleetEntry &e, pathinfo **rec)
{
    *rec = nullptr;
    pathinfo *by_wwid = e.wwid != nullptr ? file_find(store, e.wwid) : nullptr;
    int count = 0;
    pathinfo *named = e.alias != nullptr ? by_alias(store, e.alias, &count) : nullptr;
    if (count > 1 && by_wwid == nullptr) {
        std::fprintf(stderr, kFmtEntry, file, index, entry_name(e));
        std::fprintf(stderr, "the alias names %d stored LUNs: give the wwid\n", count);
        return -1;
    }
    bool both = e.wwid != nullptr && e.alias != nullptr;
    if (both && (by_wwid != nullptr || named != nullptr) &&
        (by_wwid == nullptr || std::strncmp(by_wwid->text_name, e.alias, kTextNameSize) != 0)) {
        std::fprintf(stderr, kFmtEntry, file, index, entry_name(e));
        std::fprintf(stderr, "the wwid and the alias name different LUNs (stored: %s is %s)\n",
                     by_wwid != nullptr ? e.wwid : e.alias,
                     by_wwid != nullptr ? lun_name(*by_wwid) : named->wwid);
        return -1;
    }
    *rec = e.wwid != nullptr ? by_wwid : named;
    return 0;
}

/// Every entry looked up; the LUNs not stored reported (or refused, when
/// strict), two entries of one LUN refused. 0, or -1 (the line written).
int look_up_all(Store *store, const char *file, const FleetInput &input, unsigned flags,
                GrowArray<pathinfo *> *recs, FILE *out)
{
    for (std::size_t i = 0; i < input.entries.size(); ++i) {
        const FleetEntry &e = input.entries[i];
        pathinfo *rec = nullptr;
        if (lookup(store, file, i, e, &rec) < 0)
            return -1;
        for (std::size_t j = 0; rec != nullptr && j < i; ++j) {
            if ((*recs)[j] == rec) {
                std::fprintf(stderr, kFmtEntry, file, i, entry_name(e));
                std::fprintf(stderr, "the same LUN as luns[%zu]\n", j);
                return -1;
            }
        }
        if (rec == nullptr && (flags & kApplyStrict) != 0) {
            std::fprintf(stderr, kFmtEntry, file, i, entry_name(e));
            std::fprintf(stderr, "not on this host\n");
            return -1;
        }
        if (rec == nullptr)
            std::fprintf(out, kFmtNotHere, i, entry_name(e));
        if (!recs->append(rec))
            return -1;
    }
    return 0;
}

bool listed(const GrowArray<pathinfo *> &recs, const pathinfo *rec)
{
    for (std::size_t i = 0; i < recs.size(); ++i) {
        if (recs[i] == rec)
            return true;
    }
    return false;
}

/// The plan: the entries' ports, then with kApplyPrune every other LUN back
/// to its defaults. False without memory.
bool plan_of(Store *store, const FleetInput &input, const GrowArray<pathinfo *> &recs,
             unsigned flags, FleetPlan *plan)
{
    for (std::size_t i = 0; i < recs.size(); ++i) {
        for (int cp = 0; recs[i] != nullptr && cp < kControllerPorts; ++cp) {
            if (!plan_port(plan, recs[i], cp, input.entries[i].want[cp]))
                return false;
        }
    }
    if ((flags & kApplyPrune) == 0)
        return true;
    file_walk_start(store);
    const pathinfo *rec = nullptr;
    GrowArray<pathinfo *> others;
    GrowArrayFreed<pathinfo *> freed{&others};
    while (file_walk_next(store, &rec) == kWalkRecord) {
        if (rec->wwid[0] != '\0' && !listed(recs, rec) && !others.append(const_cast<pathinfo *>(rec)))
            return false;
    }
    for (std::size_t i = 0; i < others.size(); ++i) {
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            if (!plan_port(plan, others[i], cp, kWantDefault))
                return false;
        }
    }
    return true;
}

/// Under the run: the lookup, the plan, and (unless a dry run) the change
/// saved; the report written to `out`. The exit status.
int change(StoreRun *run, const char *file, const FleetInput &input, unsigned flags, FILE *out)
{
    Store *store = run->store;
    const char *why = file_unread_reason(store);
    if (why != nullptr) {
        std::fprintf(stderr, kFmtConfUnreadable, kConfigPath, why);
        return kApplyFailed;
    }
    GrowArray<pathinfo *> recs;
    GrowArrayFreed<pathinfo *> recs_freed{&recs};
    FleetPlan plan;
    GrowArrayFreed<PathChange> plan_freed{&plan.changes};
    if (look_up_all(store, file, input, flags, &recs, out) < 0)
        return kApplyFailed;
    if (!plan_of(store, input, recs, flags, &plan)) {
        std::fprintf(stderr, kFmtNotSaved, kConfigPath);
        return kApplyFailed;
    }
    char count[64];
    plan_count(plan, count, sizeof count);
    plan_print(plan, out);
    if (plan.changes.size() == 0) {
        std::size_t named = 0;
        for (std::size_t i = 0; i < recs.size(); ++i)
            named += recs[i] != nullptr ? 1 : 0;
        std::fprintf(out, kFmtUnchanged, named, named == 1 ? "" : "s");
        return kApplyUnchanged;
    }
    if ((flags & kApplyDryRun) != 0) {
        std::fprintf(out, kFmtWouldChange, count);
        return kApplyChanged;
    }
    plan_carry_out(plan);
    if (save_config(store, store->file) < 0) {
        std::fprintf(stderr, kFmtNotSaved, kConfigPath);
        return kApplyFailed;
    }
    std::fprintf(out, kFmtChanged, count);
    return kApplyChanged;
}

}  // namespace

int fleet_apply(StoreRun *run, const char *file, unsigned flags)
{
    FleetInput input;
    if (fleet_read(file, &input, stderr) < 0 || fleet_parse(file, &input, stderr) < 0) {
        fleet_input_free(&input);
        return kApplyFailed;
    }
    if (!run_entered(run_enter(run, nullptr))) {
        fleet_input_free(&input);
        cli_lock_error();
        return kApplyFailed;
    }
    // The report goes out once the lock is given up; a refusal's line, on
    // standard error, at once.
    MemoryText text;
    FILE *out = memory_text_open(&text);
    int rc = change(run, file, input, flags, out != nullptr ? out : stdout);
    run_leave(run);
    if (out != nullptr) {
        std::fclose(out);
        if (text.bytes.size() > 0)
            std::fwrite(text.bytes.data(), 1, text.bytes.size(), stdout);
    }
    fleet_input_free(&input);
    // The admin learns here that the boot would not see the change yet.
    if (rc == kApplyChanged && (flags & kApplyDryRun) == 0)
        initramfs_stale_note(stderr);
    return rc;
}

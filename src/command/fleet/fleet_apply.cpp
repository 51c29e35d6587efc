#include "command/fleet/fleet_apply.hpp"

#include "base/hash_index.hpp"
#include "command/listing/conf_check.hpp"
#include "command/fleet/fleet.hpp"
#include "command/fleet/fleet_input.hpp"
#include "command/boot/initramfs_note.hpp"
#include "command/fleet/plan_journal.hpp"
#include "store/file.hpp"
#include "store/store.hpp"

#include <cstdint>
#include <cstring>

namespace {

constexpr const char *kFmtNotSaved = "%s: cannot be written; nothing changed\n";
constexpr const char *kFmtEntry = "%s: luns[%zu] (%s): ";
constexpr const char *kFmtNotHere = "not on this host: luns[%zu] (%s)\n";
constexpr const char *kFmtChanged = "changed: %s\n";
constexpr const char *kFmtWouldChange = "would change: %s\n";
constexpr const char *kFmtUnchanged = "unchanged: %zu LUN%s as the file says\n";

/// One alias among the stored LUNs: its first record in the walk's order,
/// and how many records have it.
struct AliasGroup {
    std::size_t first;
    int count;
};

/// The stored LUNs of one walk (those with a wwid, newest first), found by
/// wwid and by alias in constant time, each with the entry that named it:
/// an apply costs in proportion to the LUNs stored and named, not to their
/// product.
struct StoredLuns {
    GrowArray<pathinfo *> recs;
    GrowArray<std::size_t> named_by;  ///< per record: its entry's index + 1, 0 while none
    GrowArray<AliasGroup> aliases;
    HashIndex by_wwid;   ///< record numbers, the first of each wwid
    HashIndex by_alias;  ///< alias numbers
    StoredLuns() = default;
    StoredLuns(const StoredLuns &) = delete;
    StoredLuns &operator=(const StoredLuns &) = delete;
    ~StoredLuns()
    {
        recs.free();
        named_by.free();
        aliases.free();
        hash_free(&by_wwid);
        hash_free(&by_alias);
    }
};

// A record's names are bounded fields; an entry's are shorter than them
// (fleet_input), so that equal bounded bytes are what strcmp would find.
std::size_t wwid_len(const pathinfo &rec) { return strnlen(rec.wwid, kWwidSize); }
std::size_t alias_len(const pathinfo &rec) { return strnlen(rec.text_name, kTextNameSize); }
bool same_text(const char *field, std::size_t len, const char *text, std::size_t text_len)
{
    return len == text_len && std::memcmp(field, text, len) == 0;
}

/// Record `i`'s wwid and alias entered in the tables.
void stored_enter(StoredLuns *s, std::size_t i)
{
    const pathinfo &rec = *s->recs[i];
    const std::size_t wlen = wwid_len(rec);
    std::uint32_t *slot = hash_slot(s->by_wwid, hash_bytes(rec.wwid, wlen), [&](std::size_t n) {
        return same_text(s->recs[n]->wwid, wwid_len(*s->recs[n]), rec.wwid, wlen);
    });
    if (*slot == 0)
        hash_put(&s->by_wwid, slot, static_cast<std::uint32_t>(i));
    const std::size_t alen = alias_len(rec);
    slot = hash_slot(s->by_alias, hash_bytes(rec.text_name, alen), [&](std::size_t n) {
        const pathinfo &first = *s->recs[s->aliases[n].first];
        return same_text(first.text_name, alias_len(first), rec.text_name, alen);
    });
    if (*slot != 0) {
        ++s->aliases[*slot - 1].count;
        return;
    }
    hash_put(&s->by_alias, slot, static_cast<std::uint32_t>(s->aliases.size()));
    s->aliases.append({i, 1});  // room reserved
}

/// Walks the store once into `s`; false without memory.
bool stored_index(Store *store, StoredLuns *s)
{
    file_walk_start(store);
    const pathinfo *rec = nullptr;
    while (file_walk_next(store, &rec) == kWalkRecord) {
        if (rec->wwid[0] != '\0' && !s->recs.append(const_cast<pathinfo *>(rec), 256))
            return false;
    }
    const std::size_t count = s->recs.size();
    auto wwid_hash = [s](std::size_t n) {
        return hash_bytes(s->recs[n]->wwid, wwid_len(*s->recs[n]));
    };
    auto alias_hash = [s](std::size_t n) {
        const pathinfo &first = *s->recs[s->aliases[n].first];
        return hash_bytes(first.text_name, alias_len(first));
    };
    if (!s->named_by.reserve(count + 1) || !s->aliases.reserve(count + 1) ||
        !hash_reserve(&s->by_wwid, count, wwid_hash) ||
        !hash_reserve(&s->by_alias, count, alias_hash))
        return false;
    std::memset(s->named_by.data(), 0, count * sizeof(std::size_t));
    s->named_by.count = count;
    for (std::size_t i = 0; i < count; ++i)
        stored_enter(s, i);
    return true;
}

/// The number of the record of `wwid`, -1 when none is stored.
long stored_by_wwid(const StoredLuns &s, const char *wwid)
{
    const std::size_t len = std::strlen(wwid);
    long at = hash_find(s.by_wwid, hash_bytes(wwid, len), [&](std::size_t n) {
        return same_text(s.recs[n]->wwid, wwid_len(*s.recs[n]), wwid, len);
    });
    return at;
}

/// The number of the first stored LUN whose alias is `alias`, or -1; *count
/// how many have it.
long stored_by_alias(const StoredLuns &s, const char *alias, int *count)
{
    const std::size_t len = std::strlen(alias);
    long at = hash_find(s.by_alias, hash_bytes(alias, len), [&](std::size_t n) {
        const pathinfo &first = *s.recs[s.aliases[n].first];
        return same_text(first.text_name, alias_len(first), alias, len);
    });
    const AliasGroup *group = at < 0 ? nullptr : &s.aliases[static_cast<std::size_t>(at)];
    *count = group != nullptr ? group->count : 0;
    return group != nullptr ? static_cast<long>(group->first) : -1;
}

/// The stored LUN the entry names, or why it names none: 0 found (*number
/// its record's) or not stored (*number -1), -1 refused (the line written).
int lookup(const StoredLuns &s, const char *file, std::size_t index, const FleetEntry &e,
           long *number)
{
    *number = -1;
    long wwid_at = e.wwid != nullptr ? stored_by_wwid(s, e.wwid) : -1;
    int count = 0;
    long alias_at = e.alias != nullptr ? stored_by_alias(s, e.alias, &count) : -1;
    pathinfo *by_wwid = wwid_at >= 0 ? s.recs[static_cast<std::size_t>(wwid_at)] : nullptr;
    pathinfo *named = alias_at >= 0 ? s.recs[static_cast<std::size_t>(alias_at)] : nullptr;
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
    *number = e.wwid != nullptr ? wwid_at : alias_at;
    return 0;
}

/// Every entry looked up; the LUNs not stored reported (or refused, when
/// strict), two entries of one LUN refused. 0, or -1 (the line written).
int look_up_all(StoredLuns *s, const char *file, const FleetInput &input, unsigned flags,
                GrowArray<pathinfo *> *recs, FILE *out)
{
    for (std::size_t i = 0; i < input.entries.size(); ++i) {
        const FleetEntry &e = input.entries[i];
        long number = -1;
        if (lookup(*s, file, i, e, &number) < 0)
            return -1;
        const std::size_t at = static_cast<std::size_t>(number);
        pathinfo *rec = number >= 0 ? s->recs[at] : nullptr;
        std::size_t *named_by = number >= 0 ? &s->named_by[at] : nullptr;
        if (named_by != nullptr && *named_by != 0) {
            std::fprintf(stderr, kFmtEntry, file, i, entry_name(e));
            std::fprintf(stderr, "the same LUN as luns[%zu]\n", *named_by - 1);
            return -1;
        }
        if (named_by != nullptr)
            *named_by = i + 1;
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

/// The plan: the entries' ports, then with kApplyPrune every other LUN back
/// to its defaults. False without memory.
bool plan_of(const StoredLuns &s, const FleetInput &input, const GrowArray<pathinfo *> &recs,
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
    for (std::size_t i = 0; i < s.recs.size(); ++i) {
        for (int cp = 0; s.named_by[i] == 0 && cp < kControllerPorts; ++cp) {
            if (!plan_port(plan, s.recs[i], cp, kWantDefault))
                return false;
        }
    }
    return true;
}

/// Under the run: the lookup, the plan, and (unless a dry run) the change
/// saved; the report written to `out`. The exit status.
int change(Store *store, const char *file, const FleetInput &input, unsigned flags, FILE *out)
{
    const char *why = file_unread_reason(store);
    if (why != nullptr) {
        std::fprintf(stderr, kFmtConfUnreadable, kConfigPath, why);
        return kApplyFailed;
    }
    GrowArray<pathinfo *> recs;
    GrowArrayFreed<pathinfo *> recs_freed{&recs};
    FleetPlan plan;
    GrowArrayFreed<PathChange> plan_freed{&plan.changes};
    StoredLuns stored;
    if (!stored_index(store, &stored)) {
        std::fprintf(stderr, kFmtNotSaved, kConfigPath);
        return kApplyFailed;
    }
    if (look_up_all(&stored, file, input, flags, &recs, out) < 0)
        return kApplyFailed;
    if (!plan_of(stored, input, recs, flags, &plan)) {
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
    plan_journal(plan, kJournalApply);
    std::fprintf(out, kFmtChanged, count);
    return kApplyChanged;
}

}  // namespace

int fleet_apply_read(const char *file, FleetInput *input)
{
    if (fleet_read(file, input, stderr) < 0 || fleet_parse(file, input, stderr) < 0)
        return kApplyFailed;
    return 0;
}

int fleet_apply(Store *store, const char *file, const FleetInput &input, unsigned flags,
                FILE *out)
{
    return change(store, file, input, flags, out);
}

int fleet_apply_noted(int rc, unsigned flags)
{
    // The admin learns here that the boot would not see the change yet.
    if (rc == kApplyChanged && (flags & kApplyDryRun) == 0)
        initramfs_stale_note(stderr);
    return rc;
}

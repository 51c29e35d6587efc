#include "command/look/look.hpp"

#include "base/text.hpp"
#include "command/driver/driver.hpp"
#include "command/listing/conf_check.hpp"
#include "command/listing/list_json.hpp"
#include "command/look/look_state.hpp"
#include "journal/journal_path.hpp"
#include "journal/journal_send.hpp"
#include "store/file.hpp"
#include "store/store.hpp"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

constexpr const char *kFmtNoPlace = "tald: %s: the look's state cannot be kept: %s\n";
constexpr const char *kFmtDamaged = "tald: %s/%s: damaged at line %zu; looked at afresh\n";
constexpr const char *kFmtUnread = "tald: %s/%s: cannot be read (%s); looked at afresh\n";
constexpr const char *kFmtNotKept = "tald: %s/%s: cannot be written: %s\n";
constexpr const char *kFmtNotReached = "multipathd: %s\n";
constexpr const char *kFmtLooked =
    "look: %zu LUN%s, %zu left the preferred path group, %zu returned\n";
constexpr const char *kNotAlone = "another user's, or open to others";
/// Each exchange of the look with multipathd.
constexpr int kLookDaemonMs = 4000;

bool usable(const DaemonPath &p) { return std::strcmp(p.dm_state, "active") == 0; }

void add_word(char *text, std::size_t size, const char *sep, const char *word)
{
    std::size_t len = std::strlen(text);
    if (len < size)
        std::snprintf(text + len, size - len, "%s%s", len > 0 ? sep : "", word);
}

/// The paths of `rec` the daemon holds, with the LUN's top stored priority.
struct Held {
    const DaemonPath *path[kControllerPorts][kSlotsPerPort];
    int top;
    bool any;
    bool not_read;
};

Held held_of(const DaemonView &view, const pathinfo &rec)
{
    Held h = {};
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            int prio = rec.prio[cp][slot];
            const DaemonPath *p = prio > 0 ? stored_daemon_path(&view, rec, cp, slot) : nullptr;
            h.path[cp][slot] = p;
            if (p == nullptr)
                continue;
            h.any = true;
            h.not_read = h.not_read || p->group == kGroupNotRead;
            h.top = prio > h.top ? prio : h.top;
        }
    }
    return h;
}

/// Whether the held path at cp, slot is in the group the LUN's I/O goes
/// through: the usable paths of the active group, or, when that names none
/// usable (no I/O since a switch, or its paths failed), the usable paths of
/// the highest priority, which the kernel's next I/O takes.
bool in_use(const Held &h, int cp, int slot, bool by_active, int best)
{
    const DaemonPath *p = h.path[cp][slot];
    if (p == nullptr || !usable(*p))
        return false;
    return by_active ? p->group == kGroupActive : p->prio == best;
}

/// The LUN's side, and when `group` is given, the group in use.
LookSide side_of(const DaemonView &view, const pathinfo &rec, GroupInUse *group)
{
    Held h = held_of(view, rec);
    if (!h.any || h.not_read)
        return kSideUnseen;
    bool by_active = false;
    int best = -1;
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (const DaemonPath *p : h.path[cp]) {
            if (p != nullptr && usable(*p)) {
                by_active = by_active || p->group == kGroupActive;
                best = p->prio > best ? p->prio : best;
            }
        }
    }
    bool preferred = false;
    if (group != nullptr)
        *group = {};
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        bool port_named = false;
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            if (!in_use(h, cp, slot, by_active, best))
                continue;
            preferred = preferred || rec.prio[cp][slot] == h.top;
            if (group == nullptr)
                continue;
            const DaemonPath &p = *h.path[cp][slot];
            char address[48];
            std::snprintf(address, sizeof address, "%d:%d:%d:%d", p.host, p.channel, p.id, p.lun);
            char path[96];
            std::snprintf(path, sizeof path, "%s %s %s", cp_names[cp], p.dev, address);
            if (!port_named)
                add_word(group->ports, sizeof group->ports, " ", cp_names[cp]);
            port_named = true;
            add_word(group->devices, sizeof group->devices, " ", p.dev);
            add_word(group->addresses, sizeof group->addresses, " ", address);
            add_word(group->paths, sizeof group->paths, ", ", path);
        }
    }
    if (group != nullptr && group->paths[0] == '\0')
        copy_field(group->paths, sizeof group->paths, "no usable path");
    return preferred ? kSidePreferred : kSideOther;
}

/// The kept state, or none with a line on `err` when it cannot be read.
void read_kept(const LookPlace &place, const char *dir, GrowArray<LookLine> *kept, FILE *err)
{
    std::size_t bad_line = 0;
    int rc = look_state_read(place, kept, &bad_line);
    if (rc == -EINVAL && bad_line > 0)
        std::fprintf(err, kFmtDamaged, dir, kLookFile, bad_line);
    else if (rc != 0)
        std::fprintf(err, kFmtUnread, dir, kLookFile, std::strerror(-rc));
    if (rc != 0)
        kept->clear();
}

/// The new state of every stored LUN into *now, the LUNs that changed
/// side into *changed: 0, or -ENOMEM.
int look_all(Store *store, const DaemonView &view, const GrowArray<LookLine> &kept,
             GrowArray<LookLine> *now, GrowArray<const pathinfo *> *changed, LookCount *count)
{
    if (!file_walk_start(store))
        return 0;
    const pathinfo *rec = nullptr;
    while (file_walk_next(store, &rec) == kWalkRecord) {
        if (rec->wwid[0] == '\0')
            continue;
        LookSide was = look_state_find(kept, rec->wwid);
        LookSide side = side_of(view, *rec, nullptr);
        LookLine line = {};
        copy_field(line.wwid, sizeof line.wwid, rec->wwid);
        line.side = side != kSideUnseen ? side : was;
        if (line.side != kSideUnseen && !now->append(line))
            return -ENOMEM;
        if (side == kSideUnseen)
            continue;
        ++count->looked;
        if (side != (was == kSideUnseen ? kSidePreferred : was) && !changed->append(rec))
            return -ENOMEM;
    }
    return 0;
}

}  // namespace

int look_compare(Store *store, const DaemonView &view, const char *state_dir,
                 const char *socket, LookCount *count, FILE *err)
{
    *count = {};
    LookPlace place;
    int rc = look_place_open(&place, state_dir);
    if (rc != 0) {
        std::fprintf(err, kFmtNoPlace, state_dir, rc == -EPERM ? kNotAlone : std::strerror(-rc));
        return rc;
    }
    GrowArray<LookLine> kept;
    GrowArray<LookLine> now;
    GrowArray<const pathinfo *> changed;
    GrowArrayFreed<LookLine> kept_freed{&kept};
    GrowArrayFreed<LookLine> now_freed{&now};
    GrowArrayFreed<const pathinfo *> changed_freed{&changed};
    read_kept(place, state_dir, &kept, err);
    rc = look_all(store, view, kept, &now, &changed, count);
    if (rc == 0)
        rc = look_state_write(place, now);
    look_place_close(&place);
    if (rc != 0) {
        std::fprintf(err, kFmtNotKept, state_dir, kLookFile, std::strerror(-rc));
        *count = {};
        return rc;
    }
    // Told once the state says so: a look that ends here tells nothing twice.
    for (std::size_t i = 0; i < changed.size(); ++i) {
        GroupInUse group;
        LookSide side = side_of(view, *changed[i], &group);
        bool left = side == kSideOther;
        journal_lun_group(*changed[i], left ? kJournalLeft : kJournalReturned, group, socket);
        ++(left ? count->left : count->returned);
    }
    return 0;
}

namespace {

/// The sides of every stored LUN in `view`, in the walk's order: 0, or
/// -ENOMEM.
int sides_of(Store *store, const DaemonView &view, GrowArray<char> *sides)
{
    sides->clear();
    if (!file_walk_start(store))
        return 0;
    const pathinfo *rec = nullptr;
    while (file_walk_next(store, &rec) == kWalkRecord) {
        if (!sides->append(static_cast<char>(side_of(view, *rec, nullptr))))
            return -ENOMEM;
    }
    return 0;
}

/// Asks the daemon, with the driver's pass, for its paths and groups.
void ask(const AfterLock &pass, DaemonView *view)
{
    daemon_view_free(view);
    command_daemon_view(pass, kLookDaemonMs, view);
}

/// Views a second apart until two agree: the events of one failure come
/// as a burst, map by map, and the look tells the state they end in.
DaemonReach settled_view(Store *store, const AfterLock &pass, DaemonView *view)
{
    GrowArray<char> before;
    GrowArray<char> after;
    GrowArrayFreed<char> before_freed{&before};
    GrowArrayFreed<char> after_freed{&after};
    ask(pass, view);
    for (int tries = 1; view->reach == kDaemonReached && tries < kLookSettleTries; ++tries) {
        if (sides_of(store, *view, &before) != 0)
            break;
        timespec second = {1, 0};
        nanosleep(&second, nullptr);
        ask(pass, view);
        if (view->reach != kDaemonReached || sides_of(store, *view, &after) != 0)
            break;
        if (after.size() == before.size() &&
            std::memcmp(after.items, before.items, after.size()) == 0)
            break;
    }
    return view->reach;
}

}  // namespace

int look_after(Store *store, const AfterLock &pass)
{
    const char *why = file_unread_reason(store);
    if (why != nullptr) {
        std::fprintf(stderr, kFmtConfUnreadable, kConfigPath, why);
        return kLookNoState;
    }
    DaemonView view;
    DaemonReach reach = settled_view(store, pass, &view);
    int rc = 0;
    LookCount count;
    if (reach != kDaemonReached) {
        std::fprintf(stderr, kFmtNotReached, daemon_reach_text(reach));
        rc = kLookNotReached;
    } else if (look_compare(store, view, kLookDir, kJournalSocket, &count, stderr) != 0) {
        rc = kLookNoState;
    } else {
        std::printf(kFmtLooked, count.looked, count.looked == 1 ? "" : "s", count.left,
                    count.returned);
    }
    daemon_view_free(&view);
    return rc;
}

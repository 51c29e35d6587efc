// Priority resolution against the LUN list: conf_getPrio and conf_setPrio,
// each saving the list afterwards, and conf_peek, which answers from the
// file kept in memory when nothing would change.
#include "store/conf.hpp"
#include "store/conf_internal.hpp"
#include "store/conf_line.hpp"
#include "operations/operations.hpp"
#include "trace/trace.hpp"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using conf_loaded::loaded;

constexpr const char *kModule = "conf";
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

char conf_path[PATH_MAX] = "";
/// conf_peek's copy of the stored record it checks.
pathinfo peek_record;
char peek_line[conf_line::kMaxLine];

/// What conf_peek answered for one probed path of one line of the loaded
/// text: everything of the probed record that conf_getPrio reads. The same
/// path, probed the same, on the same unchanged line gets the same answer,
/// which then costs neither a parse nor a format.
struct PeekMemo {
    std::uint32_t line_plus_1;  ///< 0: a free entry
    int cp, host, channel, id, lun, lunref, prio;
    char dev[24];
    char text_name[kTextNameSize];
};

/// Whether entry `m` is the answer for `probed` on line `line`.
bool memo_matches(const PeekMemo &m, std::size_t line, const pathinfo *probed)
{
    return m.line_plus_1 == line + 1 && m.cp == probed->cp && m.host == probed->host &&
           m.channel == probed->channel && m.id == probed->id && m.lun == probed->lun &&
           m.lunref == probed->lunref && std::strcmp(m.dev, probed->dev) == 0 &&
           std::strcmp(m.text_name, probed->text_name) == 0;
}

std::size_t memo_hash(std::size_t line, const pathinfo *probed)
{
    return (line * 31 + static_cast<unsigned>(probed->cp)) * 1000003u +
           static_cast<unsigned>(probed->host);
}

/// The entry for `probed` on `line`, or the free one it would take.
PeekMemo *memo_slot(std::size_t line, const pathinfo *probed)
{
    auto *memo = static_cast<PeekMemo *>(loaded.memo);
    std::size_t mask = loaded.memo_capacity - 1;
    for (std::size_t i = memo_hash(line, probed) & mask;; i = (i + 1) & mask) {
        if (memo[i].line_plus_1 == 0 ||
            (memo[i].line_plus_1 == line + 1 && memo[i].cp == probed->cp &&
             memo[i].host == probed->host))
            return &memo[i];
    }
}

/// Notes the answer; without memory (or for a long device name) it is only
/// not noted.
void memo_note(std::size_t line, const pathinfo *probed, int prio)
{
    if (std::strlen(probed->dev) >= sizeof PeekMemo::dev)
        return;
    if ((loaded.memo_count + 1) * 2 > loaded.memo_capacity) {
        // Grown by starting afresh: the answers come back with the next calls.
        std::size_t grown = loaded.memo_capacity == 0 ? 64 : loaded.memo_capacity * 2;
        void *bigger = std::calloc(grown, sizeof(PeekMemo));
        if (bigger == nullptr)
            return;
        std::free(loaded.memo);
        loaded.memo = bigger;
        loaded.memo_capacity = grown;
        loaded.memo_count = 0;
    }
    PeekMemo *m = memo_slot(line, probed);
    if (m->line_plus_1 == 0)
        ++loaded.memo_count;
    *m = {static_cast<std::uint32_t>(line + 1), probed->cp, probed->host, probed->channel,
          probed->id, probed->lun, probed->lunref, prio, {}, {}};
    copy_field(m->dev, sizeof m->dev, probed->dev);
    copy_field(m->text_name, sizeof m->text_name, probed->text_name);
}

/// The value rule of conf_setPrio: the priority to apply for the request v,
/// or 0 when v is refused.
int applied_prio(const pathinfo *probed, int v)
{
    const char *label = cp_names[probed->cp];
    if (v >= 5 && v <= 8) {
        log_trace(kModule, "conf_setPrio", kLineSetOverride, 7,
                  "Prio     %s, host port %d  (%s):%d; setting to user override.", label,
                  probed->host, probed->dev, v);
        return v;
    }
    if (v == 0) {
        int d = defaultPrio(probed->cp, probed->lunref);
        log_trace(kModule, "conf_setPrio", kLineSetReset, 7,
                  "Prio     %s(%s):%d; resetting to defaults", label, probed->dev, d);
        return d;
    }
    log_trace(kModule, "conf_setPrio", kLineSetOutOfRange, 7, "Prio     %s(%s):%d; out of range.",
              label, probed->dev, v);
    return 0;
}

/// conf_getPrio's steps on the stored record of a known LUN: the path
/// merged in, the alias refreshed, the priority kept or defaulted. The
/// priority.
int merge_known(pathinfo *stored, const pathinfo *probed)
{
    const char *label = cp_names[probed->cp];
    addDevToPathInfo(stored, probed->dev, probed->host, probed->channel, probed->id, probed->lun,
                     probed->cp);
    log_trace(kModule, "conf_getPrio", kLineGetAdding, 7, "Adding %s to %s", probed->dev, label);
    if (stored != probed) {
        std::memset(stored->text_name, 0, kTextNameSize);
        copy_field(stored->text_name, kTextNameSize, probed->text_name);
    }
    log_trace(kModule, "conf_getPrio", kLineGetUpdating, 7, "Updating %s (%s)", stored->text_name,
              stored->wwid);
    int p = getPathPrio(stored, probed->host, probed->cp);
    if (p < 5 || p > 8) {
        p = defaultPrio(probed->cp, probed->lunref);
        setPathPrio(stored, probed->host, probed->cp, p);
    }
    log_trace(kModule, "conf_getPrio", kLineGetPrio, 7, "Prio     %s(%s):%d", label, probed->dev,
              p);
    return p;
}

/// find_lun, after an indexed load made for another LUN turned whole.
conf_records::WalkStep find_stored(const pathinfo *probed, pathinfo **stored)
{
    if (loaded.indexed && std::strcmp(probed->wwid, loaded.served) != 0)
        conf_loaded::materialize();
    return conf_records::find_lun(probed->wwid, stored);
}

}  // namespace

const char *conf_file() { return conf_path[0] != '\0' ? conf_path : kConfigPath; }

void conf_use_file(const char *path) { copy_field(conf_path, sizeof conf_path, path ? path : ""); }

int conf_getPrio(pathinfo *probed)
{
    int lunref = probed->lunref;
    int d = defaultPrio(probed->cp, lunref);
    log_trace(kModule, "conf_getPrio", kLineGetEntry, 7, "ENTRY");
    if (conf == nullptr) {
        log_trace(kModule, "conf_getPrio", kLineGetNullConf, 7, "Null Conf");
        return d;
    }
    pathinfo *stored = nullptr;
    conf_records::WalkStep found = find_stored(probed, &stored);
    if (found == conf_records::kWalkNull) {
        log_trace(kModule, "conf_getPrio", kLineGetListNull, 7, "List Null");
        return d;
    }
    if (found == conf_records::kWalkEnd) {
        log_trace(kModule, "conf_getPrio", kLineGetNewLun, 7,
                  "conf_getPrio called for new LUN (%s).  Setting prio to default %d.",
                  probed->dev, d);
        add_confNode(probed);
        setPathPrio(probed, probed->host, probed->cp, d);
        probed->lunref = lunref;
        save_config(conf_file());
        return d;
    }
    int p = merge_known(stored, probed);
    save_config(conf_file());
    return p;
}

int conf_setPrio(pathinfo *probed, int prio)
{
    log_trace(kModule, "conf_setPrio", kLineSetEntry, 7, "ENTRY");
    if (conf == nullptr) {
        log_trace(kModule, "conf_setPrio", kLineSetNullConf, 7, "Null Conf");
        return -1;
    }
    pathinfo *stored = nullptr;
    conf_records::WalkStep found = find_stored(probed, &stored);
    if (found == conf_records::kWalkNull) {
        log_trace(kModule, "conf_setPrio", kLineSetListNull, 7, "List Null");
        return -1;
    }
    if (found == conf_records::kWalkEnd) {
        int applied = applied_prio(probed, prio);
        if (applied == 0)
            return 0;
        if (add_confNode(probed) < 0) {
            log_trace(kModule, "conf_setPrio", kLineSetAddFailed, 3,
                      "ERROR: Problem adding to Path Info List");
            return 0;
        }
        // The probed cp stays: the caller's confirmation names the path's
        // own controller port.
        setPathPrio(probed, probed->host, probed->cp, applied);
        int saved = save_config(conf_file());
        return saved < 0 ? saved : applied;
    }
    addDevToPathInfo(stored, probed->dev, probed->host, probed->channel, probed->id, probed->lun,
                     probed->cp);
    log_trace(kModule, "conf_setPrio", kLineSetUpdating, 7, "Updating %s on %s, host port %d",
              probed->dev, cp_names[probed->cp], probed->host);
    int applied = applied_prio(probed, prio);
    if (applied == 0)
        return 0;
    setPathPrio(stored, probed->host, probed->cp, applied);
    int saved = save_config(conf_file());
    return saved < 0 ? saved : applied;
}

int conf_peek(const pathinfo *probed)
{
    if (!loaded.indexed || !loaded.canonical || !loaded.current || loaded.unread ||
        std::strcmp(loaded.path, conf_file()) != 0)
        return 0;
    if (!conf_disk::unchanged(loaded.path, loaded.content)) {
        loaded.current = false;
        return 0;
    }
    long at = conf_loaded::find(probed->wwid);
    if (at < 0)
        return 0;
    auto line = static_cast<std::size_t>(at);
    if (loaded.memo != nullptr) {
        const PeekMemo *m = memo_slot(line, probed);
        if (memo_matches(*m, line, probed))
            return m->prio;
    }
    const conf_loaded::LineSpan &span = loaded.lines[at];
    conf_loaded::parse_line(static_cast<std::size_t>(at), &peek_record);
    int p = merge_known(&peek_record, probed);
    std::size_t len = conf_line::format(&peek_record, peek_line);
    bool same = len == span.len + 1 &&
                std::memcmp(peek_line, loaded.content.data + span.offset, span.len) == 0;
    if (!same)
        return 0;
    memo_note(line, probed, p);
    return p;
}

// Priority resolution against the LUN list: conf_getPrio and conf_setPrio,
// each saving the list afterwards, and conf_peek, which answers from the
// file kept in memory when nothing would change.
#include "store/conf.hpp"
#include "store/conf_internal.hpp"
#include "store/conf_line.hpp"
#include "operations/operations.hpp"
#include "trace/trace.hpp"

#include <climits>
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
    const conf_loaded::LineSpan &span = loaded.lines[at];
    conf_loaded::parse_line(static_cast<std::size_t>(at), &peek_record);
    int p = merge_known(&peek_record, probed);
    std::size_t len = conf_line::format(&peek_record, peek_line);
    bool same = len == span.len + 1 &&
                std::memcmp(peek_line, loaded.content.data + span.offset, span.len) == 0;
    return same ? p : 0;
}

#include "command/metrics/metrics.hpp"
#include "command/output/out_file.hpp"

#include "base/clock.hpp"
#include "base/priority.hpp"
#include "command/driver/driver.hpp"
#include "command/listing/list_json.hpp"
#include "command/listing/listing.hpp"
#include "command/look/look.hpp"
#include "command/look/look_state.hpp"
#include "daemon/multipathd.hpp"
#include "journal/journal_send.hpp"
#include "store/file.hpp"
#include "store/store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

/// The bound of each exchange with multipathd, as for the JSON listing.
constexpr int kDaemonMetricsMs = 4000;
constexpr const char *kFmtNotWritten = "%s: cannot be written: %s\n";
constexpr mode_t kMetricsMode = 0644;

/// The program's start, as near as a program can see it: the collection is
/// timed from here, the wait for the run lock and the load included.
const long long g_started_ns = monotonic_ns();

/// Each family, in the order written.
enum Family {
    kMetricPathPriority,
    kMetricPathOverride,
    kMetricDaemonPathPriority,
    kMetricDaemonCheckerState,
    kMetricDaemonPreferredActive,
    kMetricDaemonPrioritiesDiffer,
    kMetricDaemonReached,
    kMetricDaemonGroupsRead,
    kMetricFileReadable,
    kMetricDuration,
    kMetricFamilies,
};

struct FamilyText {
    const char *name;
    const char *help;
};

constexpr FamilyText kFamilyText[kMetricFamilies] = {
    {"tald_path_priority", "Priority stored for the path (1-4 the default rule, 5-8 an override)."},
    {"tald_path_override", "Whether the stored priority of the path is an administrator's override."},
    {"tald_multipathd_path_priority", "Priority multipathd uses for the path (-1: none)."},
    {"tald_multipathd_path_checker_state", "multipathd's path checker state of the path (1)."},
    {"tald_multipathd_lun_preferred_group_active",
     "Whether multipathd's active path group holds a path of the LUN's highest stored priority."},
    {"tald_multipathd_lun_priorities_differ",
     "Whether multipathd uses another priority than the stored one for a path of the LUN."},
    {"tald_multipathd_reached", "Whether multipathd answered."},
    {"tald_multipathd_groups_read",
     "Whether multipathd's path groups of every map were read (0: refused, cut short or late)."},
    {"tald_preference_file_readable", "Whether the preference file could be read whole."},
    {"tald_collection_duration_seconds", "Time the collection took, from tald's start."},
};

/// One family's walk: its HELP and TYPE lines come before its first sample.
struct FamilyWalk {
    FILE *out;
    const DaemonView *view;
    Family family;
    bool headed;
};

/// The family's name, after its HELP and TYPE lines if none was written.
void open_sample(FamilyWalk *w)
{
    const FamilyText &text = kFamilyText[w->family];
    if (!w->headed) {
        std::fprintf(w->out, "# HELP %s %s\n# TYPE %s gauge\n", text.name, text.help, text.name);
        w->headed = true;
    }
    std::fputs(text.name, w->out);
}

void lun_labels(FILE *out, const pathinfo &rec)
{
    std::fputs("{wwid=", out);
    label_value_to(out, rec.wwid, kWwidSize);
    std::fputs(",alias=", out);
    label_value_to(out, rec.text_name, kTextNameSize);
}

/// The labels of a path, without the closing brace.
void path_labels(FILE *out, const pathinfo &rec, int cp, int slot)
{
    lun_labels(out, rec);
    std::fprintf(out, ",port=\"%s\",device=", cp_names[cp]);
    label_value_to(out, rec.slot_dev[cp][slot], kDevSize);
    std::fprintf(out, ",address=\"%d:%d:%d:%d\"", rec.slot_host[cp][slot],
                 rec.slot_channel[cp][slot], rec.slot_id[cp][slot], rec.slot_lun[cp][slot]);
}

/// Whether an earlier slot of the port holds the same device and address:
/// the path is one series, published for the first slot that holds it.
bool repeated_path(const pathinfo &rec, int cp, int slot)
{
    for (int before = 0; before < slot; ++before) {
        if (rec.prio[cp][before] > 0 && rec.slot_host[cp][before] == rec.slot_host[cp][slot] &&
            rec.slot_channel[cp][before] == rec.slot_channel[cp][slot] &&
            rec.slot_id[cp][before] == rec.slot_id[cp][slot] &&
            rec.slot_lun[cp][before] == rec.slot_lun[cp][slot] &&
            std::strncmp(rec.slot_dev[cp][before], rec.slot_dev[cp][slot], kDevSize) == 0)
            return true;
    }
    return false;
}

void metrics_path(void *context, const pathinfo &rec, int cp, int slot)
{
    auto *w = static_cast<FamilyWalk *>(context);
    if (w->family > kMetricDaemonCheckerState || repeated_path(rec, cp, slot))
        return;
    int prio = rec.prio[cp][slot];
    const DaemonPath *held = nullptr;
    if (w->family == kMetricDaemonPathPriority || w->family == kMetricDaemonCheckerState) {
        held = stored_daemon_path(w->view, rec, cp, slot);
        if (held == nullptr)
            return;
    }
    open_sample(w);
    path_labels(w->out, rec, cp, slot);
    if (w->family == kMetricDaemonCheckerState) {
        std::fputs(",state=", w->out);
        label_value_to(w->out, held->checker, kDaemonStateSize);
    }
    int value = w->family == kMetricPathPriority        ? prio
                : w->family == kMetricPathOverride      ? (is_override(prio) ? 1 : 0)
                : w->family == kMetricDaemonPathPriority ? held->prio
                                                   : 1;
    std::fprintf(w->out, "} %d\n", value);
}

/// What the daemon's view says of a LUN's stored paths.
struct LunView {
    bool differs;      ///< a held path with another priority than the stored
    bool group_known;  ///< a held path in the active group
    bool preferred;    ///< a held path of the highest stored priority in it
};

LunView lun_view(const DaemonView *view, const pathinfo &rec)
{
    int highest = 0;
    for (const auto &row : rec.prio) {
        for (int prio : row)
            highest = prio > highest ? prio : highest;
    }
    LunView seen = {false, false, false};
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        for (int slot = 0; slot < kSlotsPerPort; ++slot) {
            int prio = rec.prio[cp][slot];
            const DaemonPath *held = prio > 0 ? stored_daemon_path(view, rec, cp, slot) : nullptr;
            if (held == nullptr)
                continue;
            bool active = held->group == kGroupActive;
            seen.differs = seen.differs || held->prio != prio;
            seen.group_known = seen.group_known || active;
            seen.preferred = seen.preferred || (active && prio == highest);
        }
    }
    return seen;
}

void metrics_lun(void *context, const pathinfo &rec)
{
    auto *w = static_cast<FamilyWalk *>(context);
    if (!daemon_reached(w->view) ||
        (w->family != kMetricDaemonPreferredActive && w->family != kMetricDaemonPrioritiesDiffer))
        return;
    LunView seen = lun_view(w->view, rec);
    if (w->family == kMetricDaemonPreferredActive && !seen.group_known)
        return;
    open_sample(w);
    lun_labels(w->out, rec);
    bool value = w->family == kMetricDaemonPreferredActive ? seen.preferred : seen.differs;
    std::fprintf(w->out, "} %d\n", value ? 1 : 0);
}

void metrics_unnamed(void *) {}

/// A family of one sample without labels.
void scalar(FILE *out, Family family, const char *value)
{
    FamilyWalk w = {out, nullptr, family, false};
    open_sample(&w);
    std::fprintf(out, " %s\n", value);
}

/// Whether the path groups of every map were read, once the daemon
/// answered: a LUN whose groups were not read has no preferred-group
/// sample, which must not read as a LUN on its preferred paths.
void groups_read_sample(FILE *out, const DaemonView *view)
{
    if (daemon_reached(view))
        scalar(out, kMetricDaemonGroupsRead, view->maps_unread == 0 ? "1" : "0");
}

}  // namespace

void metrics_to(Store *store, FILE *out, const DaemonView *view, const MetricsFacts &facts)
{
    if (store != nullptr && store_loaded(store)) {
        for (int family = kMetricPathPriority; family <= kMetricDaemonPrioritiesDiffer; ++family) {
            if (family >= kMetricDaemonPathPriority && !daemon_reached(view))
                break;
            FamilyWalk w = {out, view, static_cast<Family>(family), false};
            listing_walk(store, {metrics_lun, metrics_path, metrics_unnamed, &w});
        }
    }
    if (view != nullptr)
        scalar(out, kMetricDaemonReached, daemon_reached(view) ? "1" : "0");
    groups_read_sample(out, view);
    scalar(out, kMetricFileReadable, facts.file_read ? "1" : "0");
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.6f",
                  static_cast<double>(monotonic_ns() - facts.started_ns) / 1e9);
    scalar(out, kMetricDuration, seconds);
}

namespace {

struct MetricsOut {
    Store *store;
    const DaemonView *view;
    const MetricsFacts *facts;
};

void metrics_out(FILE *out, void *context)
{
    auto *m = static_cast<MetricsOut *>(context);
    metrics_to(m->store, out, m->view, *m->facts);
}

}  // namespace

int metrics_collect(Store *loaded, const char *file, const AfterLock &pass)
{
    MetricsFacts facts = {!file_unreadable(loaded), g_started_ns};
    Store *store = facts.file_read ? loaded : nullptr;
    DaemonView view;
    command_daemon_view(pass, kDaemonMetricsMs, &view);
    // Every metrics run looks at the preferred path groups too, on the view
    // it asked for anyway.
    if (LookCount looked; store != nullptr && view.reach == kDaemonReached)
        look_compare(store, view, kLookDir, kJournalSocket, &looked, stderr);
    int rc = 0;
    char why[kOutFileWhySize];
    if (file == nullptr) {
        metrics_to(store, stdout, &view, facts);
    } else if (MetricsOut m = {store, &view, &facts};
               out_file_replace(file, kMetricsMode, metrics_out, &m, why, sizeof why) != 0) {
        std::fprintf(stderr, kFmtNotWritten, file, why);
        rc = 1;
    }
    daemon_view_free(&view);
    return rc;
}

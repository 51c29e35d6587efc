#include "command/fleet/fleet.hpp"

#include "base/priority.hpp"
#include "base/text.hpp"
#include "command/listing/conf_check.hpp"
#include "command/listing/list_json.hpp"
#include "command/listing/listing.hpp"
#include "command/output/out_file.hpp"
#include "operations/operations.hpp"
#include "store/file.hpp"
#include "store/store.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr mode_t kExportMode = 0644;
constexpr const char *kFmtLun = "%s %s\n";
constexpr const char *kFmtPath = "  %s %s %d:%d:%d:%d: %d -> %d%s\n";
constexpr const char *kFmtPortsDiffer =
    "%s %s: the paths of %s differ (%d, %d); exported: %d\n";
constexpr const char *kFmtNotWritten = "%s: cannot be written: %s\n";

}  // namespace

void plan_free(FleetPlan *plan) { plan->changes.free(); }

bool plan_set(FleetPlan *plan, pathinfo *rec, int cp, int slot, int to)
{
    int from = rec->prio[cp][slot];
    if (from == to)
        return true;
    return plan->changes.append({rec, cp, slot, from, to});
}

bool plan_port(FleetPlan *plan, pathinfo *rec, int cp, int want)
{
    for (int slot = 0; slot < kSlotsPerPort; ++slot) {
        int from = rec->prio[cp][slot];
        if (from <= 0 || want == kWantKeep || (want == kWantDefault && !is_override(from)))
            continue;
        int to = want;
        if (want == kWantDefault) {
            // No path of the LUN tells its default and none answers: the
            // lowest rotation stands until the path's next check sets it.
            to = storedDefaultPrio(rec, cp);
            to = to > 0 ? to : defaultPrio(cp, 0);
        }
        if (!plan_set(plan, rec, cp, slot, to))
            return false;
    }
    return true;
}

std::size_t plan_luns(const FleetPlan &plan)
{
    std::size_t luns = 0;
    for (std::size_t i = 0; i < plan.changes.size(); ++i)
        luns += i == 0 || plan.changes[i].rec != plan.changes[i - 1].rec ? 1 : 0;
    return luns;
}

const char *lun_name(const pathinfo &rec)
{
    return rec.text_name[0] != '\0' && std::strcmp(rec.text_name, "???") != 0 ? rec.text_name
                                                                              : rec.wwid;
}

void plan_print(const FleetPlan &plan, FILE *out)
{
    for (std::size_t i = 0; i < plan.changes.size(); ++i) {
        const PathChange &c = plan.changes[i];
        const pathinfo &rec = *c.rec;
        if (i == 0 || plan.changes[i - 1].rec != c.rec) {
            char alias[kTextNameSize];
            char wwid[kWwidSize];
            std::fprintf(out, kFmtLun, shown_name(rec.text_name, alias, sizeof alias),
                         shown_name(rec.wwid, wwid, sizeof wwid));
        }
        char dev[kDevSize];
        std::fprintf(out, kFmtPath, cp_names[c.cp],
                     shown_name(rec.slot_dev[c.cp][c.slot], dev, sizeof dev),
                     rec.slot_host[c.cp][c.slot], rec.slot_channel[c.cp][c.slot],
                     rec.slot_id[c.cp][c.slot], rec.slot_lun[c.cp][c.slot], c.from, c.to,
                     is_override(c.to) ? "" : " (default)");
    }
}

const char *plan_count(const FleetPlan &plan, char *text, std::size_t size)
{
    std::size_t paths = plan.changes.size();
    std::size_t luns = plan_luns(plan);
    std::snprintf(text, size, "%zu path%s of %zu LUN%s", paths, paths == 1 ? "" : "s", luns,
                  luns == 1 ? "" : "s");
    return text;
}

void plan_carry_out(const FleetPlan &plan)
{
    for (std::size_t i = 0; i < plan.changes.size(); ++i) {
        const PathChange &c = plan.changes[i];
        c.rec->prio[c.cp][c.slot] = c.to;
    }
}

namespace {

/// The stored LUNs with a wwid, for the export.
struct Collected {
    GrowArray<const pathinfo *> luns;
    bool failed;
};

void collect_lun(void *context, const pathinfo &rec)
{
    auto *c = static_cast<Collected *>(context);
    c->failed = c->failed || !c->luns.append(&rec);
}
void no_path(void *, const pathinfo &, int, int) {}
void no_name(void *) {}

int by_wwid(const void *a, const void *b)
{
    return std::strcmp((*static_cast<const pathinfo *const *>(a))->wwid,
                       (*static_cast<const pathinfo *const *>(b))->wwid);
}

/// The port's exported priority: its highest, 0 without a stored path.
int port_prio(const pathinfo &rec, int cp, FILE *warnings)
{
    int top = 0;
    int other = 0;
    for (int prio : rec.prio[cp]) {
        if (prio <= 0)
            continue;
        if (top != 0 && prio != top)
            other = prio < top ? prio : top;
        top = prio > top ? prio : top;
    }
    if (other != 0) {
        char alias[kTextNameSize];
        char wwid[kWwidSize];
        std::fprintf(warnings, kFmtPortsDiffer, shown_name(rec.text_name, alias, sizeof alias),
                     shown_name(rec.wwid, wwid, sizeof wwid), cp_names[cp], top, other, top);
    }
    return top;
}

void export_lun(const pathinfo &rec, bool last, FILE *out, FILE *warnings)
{
    std::fputs("    {\n      \"wwid\": ", out);
    json_string_to(out, rec.wwid, kWwidSize);
    std::fputs(",\n      \"alias\": ", out);
    json_string_to(out, rec.text_name, kTextNameSize);
    std::fputs(",\n      \"ports\": {", out);
    const char *sep = "\n";
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        int prio = port_prio(rec, cp, warnings);
        if (prio <= 0)
            continue;
        std::fprintf(out, "%s        \"%s\": {\"priority\": %d, \"override\": %s}", sep,
                     cp_names[cp], prio, is_override(prio) ? "true" : "false");
        sep = ",\n";
    }
    std::fprintf(out, "%s}\n    }%s\n", sep[0] == ',' ? "\n      " : "", last ? "" : ",");
}

}  // namespace

int export_to(Store *store, FILE *out, FILE *warnings)
{
    Collected c = {{}, false};
    GrowArrayFreed freed(&c.luns);
    listing_walk(store, {collect_lun, no_path, no_name, &c});
    if (c.failed)
        return -1;
    if (c.luns.size() > 1)
        std::qsort(c.luns.data(), c.luns.size(), sizeof(const pathinfo *), by_wwid);
    std::fputs("{\n  \"luns\": [", out);
    for (std::size_t i = 0; i < c.luns.size(); ++i) {
        std::fputs(i == 0 ? "\n" : "", out);
        export_lun(*c.luns[i], i + 1 == c.luns.size(), out, warnings);
    }
    std::fputs(c.luns.size() > 0 ? "  ]\n}\n" : "]\n}\n", out);
    return 0;
}

namespace {

struct ExportOut {
    Store *store;
    int rc;
};

void export_out(FILE *out, void *context)
{
    auto *e = static_cast<ExportOut *>(context);
    e->rc = export_to(e->store, out, stderr);
}

}  // namespace

int fleet_export(Store *store, const char *file)
{
    const char *why = file_unread_reason(store);
    if (why != nullptr) {
        std::fprintf(stderr, kFmtConfUnreadable, kConfigPath, why);
        return 1;
    }
    ExportOut e = {store, 0};
    char not_written[kOutFileWhySize];
    if (file == nullptr) {
        export_out(stdout, &e);
    } else if (out_file_replace(file, kExportMode, export_out, &e, not_written,
                                sizeof not_written) != 0) {
        std::fprintf(stderr, kFmtNotWritten, file, not_written);
        return 1;
    }
    if (e.rc < 0) {
        std::fprintf(stderr, kFmtNotWritten, file != nullptr ? file : "standard output",
                     std::strerror(ENOMEM));
        return 1;
    }
    return 0;
}

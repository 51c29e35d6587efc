#include "command/fleet/fleet_input.hpp"

#include "base/fd_guard.hpp"
#include "base/fd_io.hpp"
#include "base/hash_index.hpp"
#include "base/priority.hpp"
#include "command/fleet/fleet.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace {

constexpr const char *kFmtNoRead = "%s: cannot be read: %s\n";
constexpr const char *kFmtTooBig = "%s: longer than 16 MiB\n";
constexpr const char *kFmtNotRegular = "%s: not a regular file\n";
constexpr const char *kFmtSyntax = "%s: line %d, column %d: %s\n";
constexpr const char *kFmtShape = "%s: the document is an object with one key, \"luns\", an array "
                                  "of LUNs\n";
constexpr const char *kFmtEntry = "%s: luns[%zu]%s%s%s: ";

static_assert(kFleetInputMax == std::size_t{16} << 20, "kFmtTooBig names the limit");

/// The document named `file`, opened for reading: a regular file only,
/// never waiting for a FIFO's writer nor opening a device (a FIFO put in
/// its place after the stat is opened without waiting, then refused). The
/// descriptor, or -1 with the line written (also for a file longer than
/// the limit).
/// Whose the file is stays the administrator's choice, as for standard
/// input: the document is named on the command line, only read, and
/// checked whole before it changes anything.
int open_document(const char *file, FILE *err)
{
    struct stat st = {};
    if (stat(file, &st) != 0) {
        std::fprintf(err, kFmtNoRead, file, std::strerror(errno));
        return -1;
    }
    FdGuard fd(S_ISREG(st.st_mode) ? open(file, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK) : -1);
    if (S_ISREG(st.st_mode) && fd.fd < 0) {
        std::fprintf(err, kFmtNoRead, file, std::strerror(errno));
        return -1;
    }
    if (fd.fd >= 0 && fstat(fd.fd, &st) != 0) {
        std::fprintf(err, kFmtNoRead, file, std::strerror(errno));
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        std::fprintf(err, kFmtNotRegular, file);
        return -1;
    }
    if (static_cast<std::uintmax_t>(st.st_size) > kFleetInputMax) {
        std::fprintf(err, kFmtTooBig, file);
        return -1;
    }
    int flags = fcntl(fd.fd, F_GETFL);
    if (flags < 0 || fcntl(fd.fd, F_SETFL, flags & ~O_NONBLOCK) < 0) {
        std::fprintf(err, kFmtNoRead, file, std::strerror(errno));
        return -1;
    }
    return fd.release();
}

/// Where one entry's check stands, for its message.
struct EntryCheck {
    const char *file;
    FILE *err;
    std::size_t index;
    const FleetEntry *entry;
};

/// Writes the entry's message prefix and `reason`, formatted; returns -1.
__attribute__((format(printf, 2, 3))) int refuse(const EntryCheck &c, const char *reason, ...)
{
    const char *name = c.entry != nullptr ? entry_name(*c.entry) : "";
    bool named = name[0] != '\0';
    std::fprintf(c.err, kFmtEntry, c.file, c.index, named ? " (" : "", name, named ? ")" : "");
    va_list args;
    va_start(args, reason);
    std::vfprintf(c.err, reason, args);
    va_end(args);
    std::fputc('\n', c.err);
    return -1;
}

int port_index(const char *label)
{
    for (int cp = 0; cp < kControllerPorts; ++cp) {
        if (std::strcmp(label, cp_names[cp]) == 0)
            return cp;
    }
    return -1;
}

/// The export's form of a port: {"priority": N, "override": B}.
int port_object(const EntryCheck &c, const JsonDoc &doc, const JsonNode *v, const char *port,
                int *want)
{
    const JsonNode *prio = nullptr;
    const JsonNode *override = nullptr;
    for (const JsonNode *m = json_first(doc, v); m != nullptr; m = json_next(doc, m)) {
        const char *key = json_key(doc, m);
        if (std::strcmp(key, "priority") == 0)
            prio = m;
        else if (std::strcmp(key, "override") == 0)
            override = m;
        else
            return refuse(c, "port %s: unknown key \"%s\"", port, key);
    }
    if (prio == nullptr || !prio->is_integer || override == nullptr ||
        (override->type != JsonType::kTrue && override->type != JsonType::kFalse))
        return refuse(c, "port %s: give {\"priority\": N, \"override\": true or false}", port);
    long long p = prio->integer;
    if (override->type == JsonType::kTrue) {
        if (!is_override(static_cast<int>(p)) || p != static_cast<int>(p))
            return refuse(c, "port %s: priority %lld is not 5..8 or \"default\"", port, p);
        *want = static_cast<int>(p);
        return 0;
    }
    if (p < 1 || p >= kOverrideLow)
        return refuse(c, "port %s: a default priority is 1..4, not %lld", port, p);
    *want = kWantDefault;
    return 0;
}

/// One port's value: 5..8, "default", or the export's object.
int port_value(const EntryCheck &c, const JsonDoc &doc, const JsonNode *v, const char *port,
               int *want)
{
    if (v->type == JsonType::kObject)
        return port_object(c, doc, v, port, want);
    if (v->type == JsonType::kString && std::strcmp(json_string(doc, v), "default") == 0) {
        *want = kWantDefault;
        return 0;
    }
    if (v->type == JsonType::kNumber && v->is_integer && v->integer >= kOverrideLow &&
        v->integer <= kOverrideHigh) {
        *want = static_cast<int>(v->integer);
        return 0;
    }
    if (v->type == JsonType::kNumber && v->is_integer)
        return refuse(c, "port %s: priority %lld is not 5..8 or \"default\"", port, v->integer);
    return refuse(c, "port %s: the priority is 5..8 or \"default\"", port);
}

int ports_of(const EntryCheck &c, const JsonDoc &doc, const JsonNode *ports, FleetEntry *e)
{
    if (ports->type == JsonType::kString && std::strcmp(json_string(doc, ports), "default") == 0) {
        for (int &w : e->want)
            w = kWantDefault;
        return 0;
    }
    if (ports->type != JsonType::kObject)
        return refuse(c, "\"ports\" is \"default\" or an object of ports");
    for (const JsonNode *m = json_first(doc, ports); m != nullptr; m = json_next(doc, m)) {
        const char *label = json_key(doc, m);
        int cp = port_index(label);
        if (cp < 0)
            return refuse(c, "unknown port \"%s\" (C0P0, C0P1, C1P0 or C1P1)", label);
        if (port_value(c, doc, m, label, &e->want[cp]) < 0)
            return -1;
    }
    return 0;
}

int preferred_of(const EntryCheck &c, const JsonDoc &doc, const JsonNode *v, FleetEntry *e)
{
    const char *label = v->type == JsonType::kString ? json_string(doc, v) : nullptr;
    int cp = label != nullptr ? port_index(label) : -1;
    if (label == nullptr)
        return refuse(c, "\"preferred_port\" is a port: C0P0, C0P1, C1P0 or C1P1");
    if (cp < 0)
        return refuse(c, "unknown port \"%s\" (C0P0, C0P1, C1P0 or C1P1)", label);
    for (int &w : e->want)
        w = kWantDefault;
    e->want[cp] = kOverrideHigh;
    return 0;
}

/// The names first, so that every later message can name the entry.
int names_of(const EntryCheck &c, const JsonDoc &doc, const JsonNode *lun, FleetEntry *e)
{
    for (const JsonNode *m = json_first(doc, lun); m != nullptr; m = json_next(doc, m)) {
        const char *key = json_key(doc, m);
        bool wwid = std::strcmp(key, "wwid") == 0;
        if (!wwid && std::strcmp(key, "alias") != 0)
            continue;
        const char *text = json_string(doc, m);
        std::size_t most = wwid ? kWwidSize : kTextNameSize;
        if (text == nullptr || text[0] == '\0' || m->value_len >= most)
            return refuse(c, "\"%s\" is a text of 1 to %zu bytes", key, most - 1);
        (wwid ? e->wwid : e->alias) = text;
    }
    if (e->wwid == nullptr && e->alias == nullptr)
        return refuse(c, "names no LUN: give its \"wwid\" or \"alias\"");
    return 0;
}

int entry_of(const EntryCheck &c, const JsonDoc &doc, const JsonNode *lun, FleetEntry *e)
{
    if (lun->type != JsonType::kObject)
        return refuse(c, "a LUN is an object");
    if (names_of(c, doc, lun, e) < 0)
        return -1;
    int given = 0;
    for (const JsonNode *m = json_first(doc, lun); m != nullptr; m = json_next(doc, m)) {
        const char *key = json_key(doc, m);
        int rc = 0;
        if (std::strcmp(key, "preferred_port") == 0)
            rc = preferred_of(c, doc, m, e);
        else if (std::strcmp(key, "ports") == 0)
            rc = ports_of(c, doc, m, e);
        else if (std::strcmp(key, "wwid") != 0 && std::strcmp(key, "alias") != 0)
            return refuse(c, "unknown key \"%s\"", key);
        else
            continue;
        if (rc < 0)
            return -1;
        ++given;
    }
    if (given != 1)
        return refuse(c, "give one of \"preferred_port\" and \"ports\"");
    return 0;
}

/// The entries checked so far by wwid and by alias: for each name the first
/// entry that gives it, so that a repeated name is found in constant time.
struct SeenNames {
    HashIndex wwids;
    HashIndex aliases;
    SeenNames() = default;
    SeenNames(const SeenNames &) = delete;
    SeenNames &operator=(const SeenNames &) = delete;
    ~SeenNames()
    {
        hash_free(&wwids);
        hash_free(&aliases);
    }
};

std::size_t name_hash(const char *name) { return hash_bytes(name, std::strlen(name)); }

/// Room for `entries` entries in both tables; false without memory.
bool seen_reserve(SeenNames *seen, const GrowArray<FleetEntry> &all, std::size_t entries)
{
    return hash_reserve(&seen->wwids, entries,
                        [&](std::size_t n) { return name_hash(all[n].wwid); }) &&
           hash_reserve(&seen->aliases, entries,
                        [&](std::size_t n) { return name_hash(all[n].alias); });
}

/// The first entry before `index` whose name `which` (its wwid or its alias)
/// is the same text, or SIZE_MAX when none is; entry `index` is entered
/// under its name when it is the first.
std::size_t seen_before(HashIndex *seen, const GrowArray<FleetEntry> &all, std::size_t index,
                        const char *FleetEntry::*which)
{
    const char *name = all[index].*which;
    if (name == nullptr)
        return SIZE_MAX;
    std::uint32_t *slot = hash_slot(*seen, name_hash(name), [&](std::size_t n) {
        return std::strcmp(all[n].*which, name) == 0;
    });
    if (*slot != 0)
        return *slot - 1;
    hash_put(seen, slot, static_cast<std::uint32_t>(index));
    return SIZE_MAX;
}

/// The entry before `index` that names the same LUN by the same text.
int same_names(const EntryCheck &c, const GrowArray<FleetEntry> &entries, SeenNames *seen)
{
    std::size_t by_wwid = seen_before(&seen->wwids, entries, c.index, &FleetEntry::wwid);
    std::size_t by_alias = seen_before(&seen->aliases, entries, c.index, &FleetEntry::alias);
    std::size_t first = std::min(by_wwid, by_alias);
    if (first != SIZE_MAX)
        return refuse(c, "the same LUN as luns[%zu]", first);
    return 0;
}

}  // namespace

void fleet_input_free(FleetInput *input)
{
    input->bytes.free();
    json_free(&input->doc);
    input->entries.free();
}

const char *entry_name(const FleetEntry &entry)
{
    return entry.alias != nullptr ? entry.alias : entry.wwid != nullptr ? entry.wwid : "";
}

int fleet_read(const char *file, FleetInput *input, FILE *err)
{
    bool standard = std::strcmp(file, "-") == 0;
    FdGuard fd(standard ? -1 : open_document(file, err));
    if (!standard && fd.fd < 0)
        return -1;
    // Standard input may be a pipe or a device that never ends: it is read
    // no further than one byte past the limit.
    int rc = fd_read_all(standard ? STDIN_FILENO : fd.fd, {kFleetInputMax, 0}, &input->bytes);
    if (rc == -EFBIG)
        std::fprintf(err, kFmtTooBig, file);
    else if (rc != 0)
        std::fprintf(err, kFmtNoRead, file, std::strerror(-rc));
    return rc != 0 ? -1 : 0;
}

int fleet_parse(const char *file, FleetInput *input, FILE *err)
{
    JsonDoc &doc = input->doc;
    if (json_parse(input->bytes.data(), input->bytes.size(), &doc) < 0) {
        std::fprintf(err, kFmtSyntax, file, doc.error_line, doc.error_column, doc.error);
        return -1;
    }
    const JsonNode *root = json_root(doc);
    const JsonNode *luns = root->type == JsonType::kObject ? json_member(doc, root, "luns") : nullptr;
    if (luns == nullptr || luns->type != JsonType::kArray || root->children != 1) {
        std::fprintf(err, kFmtShape, file);
        return -1;
    }
    SeenNames seen;
    if (!input->entries.reserve(luns->children + 1) ||
        !seen_reserve(&seen, input->entries, luns->children)) {
        std::fprintf(err, kFmtNoRead, file, std::strerror(ENOMEM));
        return -1;
    }
    std::size_t index = 0;
    for (const JsonNode *lun = json_first(doc, luns); lun != nullptr;
         lun = json_next(doc, lun), ++index) {
        FleetEntry e = {nullptr, nullptr, {kWantKeep, kWantKeep, kWantKeep, kWantKeep}};
        EntryCheck c = {file, err, index, &e};
        if (entry_of(c, doc, lun, &e) < 0)
            return -1;
        input->entries.append(e);
        c.entry = &input->entries[index];
        if (same_names(c, input->entries, &seen) < 0)
            return -1;
    }
    return 0;
}

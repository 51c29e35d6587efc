#include "command/boot/initramfs_note.hpp"

#include "base/grow_array.hpp"
#include "base/priority.hpp"
#include "store/file.hpp"
#include "store/store.hpp"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

/// The builders whose records are looked for, with the command that makes
/// their image again.
struct Builder {
    const char *suffix;
    const char *command;
};
constexpr Builder kBuilders[] = {
    {"initramfs-tools", kUpdateInitramfs},
    {"dracut", kDracut},
};

/// One override: the path as a resolution finds it (LUN, port, host) and
/// its priority.
struct Override {
    char wwid[kWwidSize];
    int cp, host, prio;
};

/// The overrides of one file, sorted.
struct Overrides {
    GrowArray<Override> list;
    Overrides() = default;
    Overrides(const Overrides &) = delete;
    Overrides &operator=(const Overrides &) = delete;
    ~Overrides() { list.free(); }
    std::size_t count() const { return list.size(); }
    Override *items() const { return list.data(); }
};

int compare(const void *a, const void *b)
{
    const auto *x = static_cast<const Override *>(a);
    const auto *y = static_cast<const Override *>(b);
    if (int c = std::strcmp(x->wwid, y->wwid))
        return c;
    if (x->cp != y->cp)
        return x->cp < y->cp ? -1 : 1;
    if (x->host != y->host)
        return x->host < y->host ? -1 : 1;
    return x->prio < y->prio ? -1 : x->prio > y->prio;
}

bool add(Overrides *all, const pathinfo *rec, int cp, int slot)
{
    Override o = {};
    std::memcpy(o.wwid, rec->wwid, sizeof o.wwid);
    o.cp = cp;
    o.host = rec->slot_host[cp][slot];
    o.prio = rec->prio[cp][slot];
    return all->list.append(o);
}

/// Whether `slot` is the first of its host in the row of `cp`: the one a
/// resolution reads.
bool first_of_host(const pathinfo *rec, int cp, int slot)
{
    for (int s = 0; s < slot; ++s) {
        if (rec->slot_host[cp][s] == rec->slot_host[cp][slot])
            return false;
    }
    return true;
}

/// The overrides of the file at `path`; false when the file exists but
/// cannot be read, or for want of memory. A missing file has none.
bool overrides_of(const char *path, Overrides *all)
{
    Store store{path};
    if (load_config(&store, path) < 0)
        return !file_unreadable(&store);
    if (!file_walk_start(&store))
        return true;
    const pathinfo *rec = nullptr;
    while (file_walk_next(&store, &rec) == kWalkRecord) {
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            for (int slot = 0; slot < kSlotsPerPort; ++slot) {
                if (is_override(rec->prio[cp][slot]) && first_of_host(rec, cp, slot) &&
                    !add(all, rec, cp, slot))
                    return false;
            }
        }
    }
    if (all->count() > 1)
        std::qsort(all->items(), all->count(), sizeof(Override), compare);
    return true;
}

bool same(const Overrides &a, const Overrides &b)
{
    if (a.count() != b.count())
        return false;
    for (std::size_t i = 0; i < a.count(); ++i) {
        if (compare(&a.items()[i], &b.items()[i]) != 0)
            return false;
    }
    return true;
}

/// Whether the image the host boots for `release`, BOOT/initrd.img-RELEASE,
/// is a regular file written no earlier than the record (`recorded`, its
/// mtime): only then does the record say what that image carries. A build
/// that failed after the hook, or wrote its image elsewhere, leaves the boot
/// image older than the record, or none. Whole seconds: /boot may be a file
/// system that keeps no finer time than that.
bool image_has_record(const char *boot, const char *release, const timespec &recorded)
{
    char path[PATH_MAX];
    int n = std::snprintf(path, sizeof path, "%s/initrd.img-%s", boot, release);
    struct stat st = {};
    return n >= 0 && static_cast<std::size_t>(n) < sizeof path && stat(path, &st) == 0 &&
           S_ISREG(st.st_mode) && st.st_mtim.tv_sec >= recorded.tv_sec;
}

}  // namespace

bool initramfs_stale_note(const char *records, const char *boot, const char *release,
                          const char *conf_path, FILE *out)
{
    const Builder *newest = nullptr;
    char newest_path[PATH_MAX] = "";
    timespec newest_time = {};
    for (const Builder &builder : kBuilders) {
        char path[PATH_MAX];
        int n = std::snprintf(path, sizeof path, "%s/%s.%s", records, release, builder.suffix);
        struct stat st = {};
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof path || stat(path, &st) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        const timespec &t = st.st_mtim;
        if (newest == nullptr || t.tv_sec > newest_time.tv_sec ||
            (t.tv_sec == newest_time.tv_sec && t.tv_nsec > newest_time.tv_nsec)) {
            newest = &builder;
            std::memcpy(newest_path, path, sizeof path);
            newest_time = t;
        }
    }
    if (newest == nullptr)
        return false;
    // What the boot image carries is unknown when the record is not its: it
    // is then stale whatever the overrides say.
    if (image_has_record(boot, release, newest_time)) {
        Overrides image;
        Overrides now;
        if (!overrides_of(newest_path, &image) || !overrides_of(conf_path, &now) ||
            same(image, now))
            return false;
    }
    std::fprintf(out, kFmtInitramfsStale, release, newest->command, release);
    return true;
}

bool initramfs_stale_note(FILE *out)
{
    struct utsname names = {};
    if (uname(&names) != 0)
        return false;
    return initramfs_stale_note(kInitramfsRecords, kBootDir, names.release, kConfigPath, out);
}

// Priority resolution against a fuzzed preference file. The first bytes of
// the input make a probed path (as the probe would fill it: cp 0..3, lunref
// 0..1023, an address of bytes, a hexadecimal wwid or one of the file's own,
// a printable alias), the rest is the file. The path is resolved with
// conf_getPrio, then a requested value -2..10 is applied with conf_setPrio,
// and the saved file is loaded again.
//
// Invariants: conf_getPrio gives 1..8: the stored override 5..8 of the path
// when there is one, else the default; conf_setPrio gives the override 5..8,
// the default for 0, and 0 for anything else; the path's priority held in
// memory after it is the one the saved file loads back.

#include "fuzz_support.hpp"

#include "base/pathinfo.hpp"
#include "base/priority.hpp"
#include "base/text.hpp"
#include "store/file.hpp"
#include "store/resolve.hpp"
#include "store/store.hpp"

#include <sysfs/dlist.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
constexpr std::size_t kHeader = 28;

/// The first record of the list with this wwid (as the store finds it).
pathinfo *find(const Store *store, const char *wwid)
{
    const dlist *conf = store->luns;
    if (conf == nullptr)
        return nullptr;
    for (DL_node *node = conf->head->next; node != nullptr && node != conf->head;
         node = node->next) {
        auto *rec = static_cast<pathinfo *>(node->data);
        if (rec != nullptr && std::strcmp(rec->wwid, wwid) == 0)
            return rec;
    }
    return nullptr;
}

/// The n-th record of the list (wrapping), or nullptr for an empty list.
const pathinfo *nth(const Store *store, unsigned n)
{
    const dlist *conf = store->luns;
    unsigned count = 0;
    for (DL_node *node = conf->head->next; node != nullptr && node != conf->head;
         node = node->next)
        ++count;
    if (count == 0)
        return nullptr;
    DL_node *node = conf->head->next;
    for (n %= count; n > 0; --n)
        node = node->next;
    return static_cast<const pathinfo *>(node->data);
}

/// The wwid of the probed path: one of the file's LUNs, or hex digits as the
/// probe makes them.
void probed_wwid(const Store *store, const uint8_t *h, char *wwid)
{
    const pathinfo *known = h[8] < 0xc0 ? nth(store, h[8]) : nullptr;
    if (known != nullptr && known->wwid[0] != '\0') {
        copy_field(wwid, kWwidSize, known->wwid);
        return;
    }
    int used = std::snprintf(wwid, kWwidSize, "%x", h[9] & 0x0f);
    for (int i = 10; i < 18; ++i)
        used += std::snprintf(wwid + used, kWwidSize - static_cast<std::size_t>(used), "%02x",
                              h[i]);
}

/// The probed record that the header bytes describe, as grelt_info leaves it.
pathinfo *probed_path(const uint8_t *h, const char *wwid)
{
    auto *rec = static_cast<pathinfo *>(std::calloc(1, sizeof(pathinfo)));
    FUZZ_CHECK(rec != nullptr, "out of memory");
    rec->cp = h[0] & 3;
    rec->lunref = (h[1] & 3) * 256 + h[2];
    rec->host = h[3];
    rec->channel = h[4];
    rec->id = h[5];
    rec->lun = h[6];
    copy_field(rec->wwid, kWwidSize, wwid);
    for (int i = 0; i < 8; ++i)
        rec->text_name[i] = static_cast<char>(0x21 + h[18 + i] % 0x5e);
    std::snprintf(rec->dev, kDevSize, "/dev/sd%c%c", 'a' + h[26] % 26, 'a' + h[27] % 26);
    addDevToPathInfo(rec, rec->dev, rec->host, rec->channel, rec->id, rec->lun, rec->cp);
    return rec;
}

/// Frees the probed record: the store keeps a copy of what it stores.
void release(const Store *, pathinfo *rec) { std::free(rec); }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t header[kHeader] = {};
    std::size_t used = size < kHeader ? size : kHeader;
    std::memcpy(header, data, used);
    const std::string file = fuzz_scratch("tald.conf");
    fuzz_write_file(file, data + used, size - used);
    Store store(file.c_str());
    FUZZ_CHECK(load_config(&store, file.c_str()) == 0, "a readable file did not load");

    char wwid[kWwidSize];
    probed_wwid(&store, header, wwid);
    pathinfo *probed = probed_path(header, wwid);
    const int cp = probed->cp;
    const int host = probed->host;
    const int lunref = probed->lunref;
    const int def = defaultPrio(cp, probed->lunref);

    const pathinfo *stored = find(&store, wwid);
    int before = stored != nullptr ? getPathPrio(const_cast<pathinfo *>(stored), host, cp) : -1;
    int got = conf_getPrio(&store, probed);
    FUZZ_CHECK(got >= 1 && got <= 8, "conf_getPrio outside 1..8");
    FUZZ_CHECK(got == (before >= 5 && before <= 8 ? before : def),
               "conf_getPrio neither kept the override nor gave the default");
    FUZZ_CHECK(probed->cp == cp && probed->lunref == lunref,
               "conf_getPrio changed the probed cp or lunref");
    release(&store, probed);
    FUZZ_CHECK(find(&store, wwid) != nullptr, "the LUN is not in the list after conf_getPrio");
    int after_get = getPathPrio(find(&store, wwid), host, cp);

    const int requested = header[7] % 13 - 2;
    probed = probed_path(header, wwid);
    int applied = conf_setPrio(&store, probed, requested);
    release(&store, probed);
    int expected = requested >= 5 && requested <= 8 ? requested : requested == 0 ? def : 0;
    FUZZ_CHECK(applied == expected, "conf_setPrio broke its value rule");
    int held = getPathPrio(find(&store, wwid), host, cp);
    if (applied > 0 && held != -1)
        FUZZ_CHECK(held == applied, "conf_setPrio did not set the path");
    if (applied == 0)
        held = after_get;  // refused: the file is as conf_getPrio saved it

    store_reset(&store);
    FUZZ_CHECK(load_config(&store, file.c_str()) == 0, "the saved file did not load");
    const pathinfo *reloaded = find(&store, wwid);
    FUZZ_CHECK(reloaded != nullptr, "the LUN was not saved");
    FUZZ_CHECK(getPathPrio(const_cast<pathinfo *>(reloaded), host, cp) == held,
               "the saved file does not keep the path's priority");
    return 0;
}

// The preference file reader and writer, with a round trip: the fuzzed bytes
// are loaded as a preference file and saved to a second file; the second is
// loaded and saved to a third.
//
// Invariants: every text field of every loaded record is NUL-terminated
// within its field; every saved line is complete (97 separators, so 98
// tokens, and its line feed) and there is one per record with a wwid; the
// third file holds the second's lines, byte for byte, in reverse order (each
// load reverses the order of the lines). Then the first file and the second
// are each loaded twice more, indexed for one LUN and whole, the same change
// is made to that LUN's record (a priority toggled) and a new LUN is added,
// and the saves of both (spliced and whole) must give the same bytes.

#include "fuzz_support.hpp"

#include "base/pathinfo.hpp"
#include "base/text.hpp"
#include "store/file.hpp"
#include "store/records.hpp"
#include "store/line.hpp"

#include <sysfs/dlist.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
/// The LUN changed by change_and_save in a whole load.
std::string indexed_wwid;

/// Checks the fields of every record of the store; the number with a wwid.
std::size_t check_records(const Store *store)
{
    const dlist *conf = store->luns;
    FUZZ_CHECK(conf != nullptr, "no list after loading a readable file");
    std::size_t named = 0;
    // An empty dlist's head has no neighbours at all.
    for (DL_node *node = conf->head->next; node != nullptr && node != conf->head;
         node = node->next) {
        const auto *rec = static_cast<const pathinfo *>(node->data);
        FUZZ_CHECK(rec != nullptr, "a list node without record");
        FUZZ_CHECK(fuzz_terminated(rec->wwid, kWwidSize), "wwid not terminated");
        FUZZ_CHECK(fuzz_terminated(rec->text_name, kTextNameSize), "alias not terminated");
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            for (int slot = 0; slot < kSlotsPerPort; ++slot) {
                FUZZ_CHECK(fuzz_terminated(rec->slot_dev[cp][slot], kDevSize),
                           "device name not terminated");
            }
        }
        if (rec->wwid[0] != '\0')
            ++named;
    }
    return named;
}

std::vector<std::string> save_and_check(Store *store, const std::string &path,
                                        std::size_t records)
{
    FUZZ_CHECK(save_config(store, path.c_str()) == 0, "save failed");
    std::vector<std::string> lines = fuzz_lines(fuzz_read_file(path));
    FUZZ_CHECK(lines.size() == records, "not one line per record with a wwid");
    for (const std::string &line : lines) {
        auto separators = std::count_if(line.begin(), line.end(),
                                        [](char c) { return c == ',' || c == ':'; });
        FUZZ_CHECK(separators == 97, "a saved line is not complete");
        FUZZ_CHECK(line.find('\0') == std::string::npos, "a saved line holds a NUL");
    }
    return lines;
}

/// Loads `path` (indexed for `wwid`, or whole with nullptr), changes the
/// record of `wwid` and adds a LUN, and saves to `out`; the bytes saved.
std::string change_and_save(Store *store, const std::string &path, const char *wwid,
                            const std::string &out)
{
    store_reset(store);
    FUZZ_CHECK(file_load(store, path.c_str(), wwid) == 0, "a readable file did not load");
    dlist *conf = store->luns;
    const char *lun = wwid != nullptr ? wwid : indexed_wwid.c_str();
    pathinfo *found = nullptr;
    for (DL_node *node = conf->head->next; node != nullptr && node != conf->head;
         node = node->next) {
        auto *rec = static_cast<pathinfo *>(node->data);
        if (found == nullptr && std::strcmp(rec->wwid, lun) == 0)
            found = rec;
    }
    if (found != nullptr)
        found->prio[1][2] = found->prio[1][2] == 5 ? 6 : 5;
    auto *added = static_cast<pathinfo *>(std::calloc(1, sizeof(pathinfo)));
    copy_field(added->wwid, kWwidSize, "3f0zz,new");
    copy_field(added->slot_dev[2][0], kDevSize, "/dev/new");
    added->prio[2][0] = 3;
    add_confNode(store, added);
    FUZZ_CHECK(save_config(store, out.c_str()) == 0, "save failed");
    return fuzz_read_file(out);
}

/// The same change saved after an indexed and after a whole load of `path`.
void compare_spliced(Store *store, const std::string &path, const std::string &wwid)
{
    indexed_wwid = wwid;
    std::string spliced = change_and_save(store, path, wwid.c_str(), fuzz_scratch("spliced.conf"));
    std::string whole = change_and_save(store, path, nullptr, fuzz_scratch("whole.conf"));
    FUZZ_CHECK(spliced == whole, "the spliced save differs from the whole one");
}

/// The wwid of the record written on the middle line of `lines`, or a LUN
/// that none holds.
std::string middle_wwid(const std::vector<std::string> &lines)
{
    if (lines.empty())
        return "3none";
    const std::string &line = lines[lines.size() / 2];
    pathinfo rec{};
    std::string copy = line.substr(0, line.size() - (line.back() == '\n' ? 1 : 0));
    line_parse(copy.data(), &rec);
    return rec.wwid;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string first = fuzz_scratch("first.conf");
    const std::string second = fuzz_scratch("second.conf");
    const std::string third = fuzz_scratch("third.conf");
    fuzz_write_file(first, data, size);
    Store store(first.c_str());

    FUZZ_CHECK(load_config(&store, first.c_str()) == 0, "a readable file did not load");
    std::vector<std::string> lines2 = save_and_check(&store, second, check_records(&store));

    store_reset(&store);
    FUZZ_CHECK(load_config(&store, second.c_str()) == 0, "the saved file did not load");
    std::vector<std::string> lines3 = save_and_check(&store, third, check_records(&store));

    std::reverse(lines3.begin(), lines3.end());
    FUZZ_CHECK(lines2 == lines3, "the round trip changed the file");

    // The fuzzed file (read whole whenever it is not canonical) and the
    // saved one (always canonical), each for one of its own LUNs and for one
    // it does not hold.
    const std::string wwid = middle_wwid(lines2);
    for (const std::string *path : {&first, &second}) {
        compare_spliced(&store, *path, wwid);
        compare_spliced(&store, *path, "3none");
    }
    return 0;
}

// The preference file reader and writer, with a round trip: the fuzzed bytes
// are loaded as a preference file and saved to a second file; the second is
// loaded and saved to a third.
//
// Invariants: every text field of every loaded record is NUL-terminated
// within its field; every saved line is complete (97 separators, so 98
// tokens, and its line feed) and there is one per record with a wwid; the
// third file holds the second's lines, byte for byte, in reverse order (each
// load reverses the order of the lines).

#include "fuzz_support.hpp"

#include "store/conf.hpp"
#include "store/pathinfo.hpp"

#include <sysfs/dlist.h>

#include <algorithm>
#include <string>

namespace {
/// Checks the fields of every record in conf; the number with a wwid.
std::size_t check_records()
{
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

std::vector<std::string> save_and_check(const std::string &path, std::size_t records)
{
    FUZZ_CHECK(save_config(path.c_str()) == 0, "save failed");
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
    conf_use_file(first.c_str());

    conf_reset();
    FUZZ_CHECK(load_config(first.c_str()) == 0, "a readable file did not load");
    std::vector<std::string> lines2 = save_and_check(second, check_records());

    conf_reset();
    FUZZ_CHECK(load_config(second.c_str()) == 0, "the saved file did not load");
    std::vector<std::string> lines3 = save_and_check(third, check_records());

    std::reverse(lines3.begin(), lines3.end());
    FUZZ_CHECK(lines2 == lines3, "the round trip changed the file");
    conf_reset();
    return 0;
}

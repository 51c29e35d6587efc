#include "command/list_json.hpp"

#include "store/conf_test_util.hpp"

#include <nlohmann/json.hpp>

#include <random>

namespace {

using namespace conf_test;
using Json = nlohmann::ordered_json;

/// The document as the JSON library writes it (what tald wrote before it
/// wrote the document itself): every input must give these bytes.
std::string library_document()
{
    auto text = [](const char *field, std::size_t size) {
        return std::string(field, strnlen(field, size));
    };
    Json luns = Json::array();
    for (const pathinfo *rec : records()) {
        if (rec->wwid[0] == '\0')
            continue;
        Json paths = Json::array();
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            for (int slot = 0; slot < kSlotsPerPort; ++slot) {
                int prio = rec->prio[cp][slot];
                if (prio <= 0)
                    continue;
                char hctl[48];
                std::snprintf(hctl, sizeof hctl, "%d:%d:%d:%d", rec->slot_host[cp][slot],
                              rec->slot_channel[cp][slot], rec->slot_id[cp][slot],
                              rec->slot_lun[cp][slot]);
                Json path = Json::object();
                path["port"] = cp_names[cp];
                path["hctl"] = hctl;
                path["device"] = text(rec->slot_dev[cp][slot], kDevSize);
                path["priority"] = prio;
                path["override"] = prio >= 5 && prio <= 8;
                paths.push_back(path);
            }
        }
        Json lun = Json::object();
        lun["wwid"] = text(rec->wwid, kWwidSize);
        lun["alias"] = text(rec->text_name, kTextNameSize);
        lun["paths"] = std::move(paths);
        luns.push_back(lun);
    }
    Json doc = Json::object();
    doc["luns"] = std::move(luns);
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string written_document()
{
    char *text = nullptr;
    std::size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    EXPECT_EQ(list_json_to(out), 0);
    std::fclose(out);
    std::string doc(text, len);
    std::free(text);
    return doc;
}

/// Where two documents part (gtest's own diff of texts this long would take
/// more memory than a test machine has): empty when they are the same.
std::string first_difference(const std::string &written, const std::string &expected)
{
    std::size_t at = 0;
    while (at < written.size() && at < expected.size() && written[at] == expected[at])
        ++at;
    if (at == written.size() && at == expected.size())
        return "";
    std::size_t from = at > 80 ? at - 80 : 0;
    return "at byte " + std::to_string(at) + ":\n" + written.substr(from, 160) +
           "\n--- expected:\n" + expected.substr(from, 160);
}

class ListJson : public StoreTest {};

// Every string of one and two bytes, every one of four bytes drawn from the
// edges of UTF-8's ranges, and records of random names, addresses and
// priorities: byte for byte the library's document.
TEST_F(ListJson, SameBytesAsTheLibrary)
{
    std::vector<std::string> names;
    for (int a = 1; a < 256; ++a) {
        names.emplace_back(1, static_cast<char>(a));
        for (int b = 1; b < 256; ++b)
            names.push_back({static_cast<char>(a), static_cast<char>(b)});
    }
    const unsigned char edges[] = {0x01, 0x09, 0x1f, 0x22, 0x5c, 'a',  0x7f, 0x80, 0x8f, 0x90,
                                   0x9f, 0xa0, 0xbf, 0xc0, 0xc2, 0xdf, 0xe0, 0xe1, 0xed, 0xef,
                                   0xf0, 0xf4, 0xf5, 0xff};
    for (unsigned char a : edges)
        for (unsigned char b : edges)
            for (unsigned char c : edges)
                for (unsigned char d : edges)
                    names.push_back({static_cast<char>(a), static_cast<char>(b),
                                     static_cast<char>(c), static_cast<char>(d)});
    std::mt19937 random(20);
    auto pick = [&](std::size_t size) {
        std::string name = names[random() % names.size()] + names[random() % names.size()];
        return name.substr(0, size - 1);
    };
    const int prios[] = {-3, 0, 1, 4, 5, 8, 9, 2147483647};
    std::size_t next = 0;
    while (next < names.size()) {
        conf_reset();
        new_list();
        for (int lun = 0; lun < 512 && next < names.size(); ++lun) {
            pathinfo *rec = new_record();
            copy_field(rec->wwid, kWwidSize, lun % 97 == 0 ? "" : pick(kWwidSize).c_str());
            copy_field(rec->text_name, kTextNameSize, pick(kTextNameSize).c_str());
            for (int k = 0; k < kControllerPorts * kSlotsPerPort && next < names.size(); ++k) {
                int prio = prios[random() % 8];
                const char *dev = prio > 0 ? names[next++].c_str() : "not shown";
                set_slot(rec, k % 4, k / 4, dev, static_cast<int>(random()),
                         -static_cast<int>(random() % 300), 0, 1, prio);
            }
            add_confNode(rec);
        }
        ASSERT_EQ(first_difference(written_document(), library_document()), "");
    }
    conf_reset();
    new_list();
    EXPECT_EQ(written_document(), "{\n  \"luns\": []\n}\n");
    conf_reset();
    EXPECT_EQ(list_json_to(stdout), -1);
}

}  // namespace

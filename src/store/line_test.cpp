// The line format's own readers: numbers and tokens as the C library's
// strtol and strtok_r would give them.
#include "store/line.hpp"
#include "store/test_util.hpp"

#include <climits>
#include <cstdlib>

namespace conf_test {
namespace {

int strtol_saturated(const char *text)
{
    long value = std::strtol(text, nullptr, 10);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

TEST(ConfLine, NumbersReadAsStrtolSaturated)
{
    const char *const cases[] = {
        "0", "7", "-7", "+7", "  12ab", "\t\n\v\f\r-3", "ab", "", "-", "+", "+-1", "--1", " - 1",
        "2147483647", "2147483648", "-2147483648", "-2147483649", "4294967296", "-4294967296",
        "9223372036854775807", "9223372036854775808", "99999999999999999999999999",
        "-99999999999999999999999999", "000000000000000000000000000012", "1e3", "0x1f", "\x85" "5",
    };
    for (const char *text : cases)
        EXPECT_EQ(int_from_text(text), strtol_saturated(text)) << "'" << text << "'";
    // Every prefix and suffix of an awkward number.
    const std::string awkward = " \t-0002147483648999x";
    for (std::size_t i = 0; i <= awkward.size(); ++i) {
        for (std::size_t n = 0; i + n <= awkward.size(); ++n) {
            std::string text = awkward.substr(i, n);
            EXPECT_EQ(int_from_text(text.c_str()), strtol_saturated(text.c_str())) << text;
        }
    }
}

TEST(ConfLine, TokensSplitAsStrtok)
{
    // One line with every kind of separator run; the record shows where
    // each token went.
    std::string line = ",,w1::/dev/a,1:2,:3:4,,5:";
    for (int entry = 1; entry < 16; ++entry)
        line += ",x,0:0:0:0,0";
    line += ",:alias,:extra";
    pathinfo rec{};
    ASSERT_EQ(line_parse(line.data(), &rec), 0);
    std::ostringstream got;
    got << rec.wwid << " " << rec.slot_dev[0][0] << " " << rec.slot_host[0][0] << ":"
        << rec.slot_channel[0][0] << ":" << rec.slot_id[0][0] << ":" << rec.slot_lun[0][0] << " "
        << rec.prio[0][0] << " " << rec.slot_dev[1][0] << " " << rec.text_name;
    EXPECT_EQ(got.str(), "w1 /dev/a 1:2:3:4 5 x alias");

    for (const char *only : {"", ",", ":,:,,", "w"}) {
        std::string text = only;
        pathinfo partial{};
        EXPECT_EQ(line_parse(text.data(), &partial), -1) << only;
        EXPECT_STREQ(partial.wwid, only[0] == 'w' ? "w" : "") << only;
    }
}

TEST(ConfLine, CanonicalIsWhatAParseAndAFormatKeep)
{
    const std::string line = kExampleLine.substr(0, kExampleLine.size() - 1);
    // The example line with one piece replaced.
    auto with = [&](const std::string &from, const std::string &to) {
        std::string changed = line;
        return changed.replace(changed.find(from), from.size(), to);
    };
    const std::string cases[] = {
        line,
        with("vol_db01", "vol%2Cdb%25%3A%7F"),      // encoded as the writer encodes
        with("vol_db01", "vol%2cdb"),               // lowercase hex
        with("vol_db01", "vol%41"),                 // a byte that needs no encoding
        with("vol_db01", "vol%00"), with("vol_db01", "vol%2"), with("vol_db01", "v l\\x"),
        with("vol_db01", std::string(32, 'a')), with("vol_db01", std::string(33, 'a')),
        with("vol_db01", std::string(31, 'a') + "%2C"), with("vol_db01", std::string(32, 'a') + "%2C"),
        with(",vol_db01", ","), with("vol_db01", "vol,extra"), with("vol_db01", "vol:db"),
        with("2:0:0:1,8", "2:0:0:1,08"), with("2:0:0:1,8", "2:0:0:1,+8"),
        with("2:0:0:1,8", "2:0:0:1,-0"), with("2:0:0:1,8", "2:0:0:1,-8"),
        with("2:0:0:1,8", "2:0:0:1,2147483647"), with("2:0:0:1,8", "2:0:0:1,2147483648"),
        with("2:0:0:1,8", "2:0:0:1,-2147483648"), with("2:0:0:1,8", "2:0:0:1,-2147483649"),
        with("2:0:0:1,8", "2:0:0:1,12345678901"), with("2:0:0:1,8", "2:0:0:1, 8"),
        with("2:0:0:1,8", "2:0,0:1,8"), with("2:0:0:1,8", "2::0:0:1,8"),
        with("2:0:0:1,8", "300:0:0:1,8"), with("/dev/sdb,", "x,"), with("/dev/sdb,", "/dev/sdb:"),
        with("/dev/sdb,", ",/dev/sdb,"), with("/dev/sdb,", "/dev/" + std::string(251, 'b') + ","),
        with("/dev/sdb,", "/dev/" + std::string(250, 'b') + ","),
        with(kExampleWwid, std::string(63, 'a')), with(kExampleWwid, std::string(64, 'a')),
        with(kExampleWwid + ",", kExampleWwid + ":"), with(kExampleWwid, ""),
        line.substr(0, line.rfind(',') + 1), line + ",more", line + "\t",
    };
    for (const std::string &text : cases) {
        pathinfo *rec = new_record();
        std::string copy = text;
        bool complete = line_parse(copy.data(), rec) == 0;
        char out[kMaxLine];
        std::size_t len = line_format(rec, out);
        bool kept = complete && std::string(out, len) == text + "\n";
        LineShape shape{};
        EXPECT_EQ(line_canonical(text.data(), text.size(), &shape), kept) << text;
        if (kept) {
            EXPECT_EQ(text.substr(0, shape.wwid_len), text.substr(0, text.find(',')));
            EXPECT_EQ(shape.bad_address, line_invalid_address(rec, 0) >= 0) << text;
        }
        std::free(rec);
    }
}

}  // namespace
}  // namespace conf_test

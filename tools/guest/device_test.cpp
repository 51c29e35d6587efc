#include "device.hpp"

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const simarray::Node &parsed_node(const char *text, std::size_t index) {
    static simarray::Scenario sc;
    char msg[simarray::kMaxMessage];
    EXPECT_EQ(0, simarray::parse_scenario(text, std::strlen(text), sc, msg, sizeof msg)) << msg;
    return sc.nodes[index];
}

constexpr char kTwoPaths[] =
    "node /dev/sdb\n"
    "designator 3 60 01 1c 7a 55 0d 00 00 00 00 00 00 00 00 00 02\n"
    "alias \"vol_db02\"\n"
    "port 1 2\n"
    "node /dev/sdc\n"
    "designator 3 60 01 1c 7a 55 0d 00 00 00 00 00 00 00 00 00 02\n"
    "port 2 1\n"
    "fault readbuffer check\n";

TEST(GuestDevice, CommandLengthFollowsTheOpcodeGroup) {
    const struct {
        std::uint8_t op;
        std::size_t len;
    } cases[] = {{0x00, 6},  {0x12, 6},  {0x25, 10}, {0x3c, 10}, {0x5a, 10},
                 {0x7f, 0},  {0x88, 16}, {0x9e, 16}, {0xa0, 12}, {0xa8, 12},
                 {0xc0, 0},  {0xff, 0}};
    for (const auto &c : cases) EXPECT_EQ(c.len, guest::cdb_length(c.op)) << int(c.op);
}

// Block commands the kernel's scan and sd send: capacity and zeroes, bounded
// by the initiator's buffer; anything else is refused with the array's sense.
TEST(GuestDevice, BlockCommands) {
    const simarray::Node &node = parsed_node(kTwoPaths, 0);
    const std::uint8_t last_lba = 0x07, last_lba_low = 0xff;  // 2047 blocks of 512
    struct Case {
        std::vector<std::uint8_t> cdb;
        std::size_t buffer;
        std::uint8_t status;
        std::vector<std::uint8_t> data;  // expected prefix; size = bytes returned
        std::uint8_t asc;
    } cases[] = {
        {{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 0,
         {0, 0, last_lba, last_lba_low, 0, 0, 0x02, 0x00}, 0},
        {{0x9e, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32, 0,
         {0, 0, 0, 0, 0, 0, last_lba, last_lba_low, 0, 0, 0x02, 0x00, 0, 0, 0, 0,
          0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
        // allocation length 12 cuts the reply
        {{0x9e, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 12, 0, 0}, 32, 0,
         {0, 0, 0, 0, 0, 0, last_lba, last_lba_low, 0, 0, 0x02, 0x00}, 0},
        {{0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 1024, 0, std::vector<std::uint8_t>(1024, 0), 0},
        {{0x08, 0, 0, 0, 1, 0}, 512, 0, std::vector<std::uint8_t>(512, 0), 0},
        {{0x00, 0, 0, 0, 0, 0}, 0, 0, {}, 0},
        // other service actions of 0x9e, MODE SENSE, WRITE(10): invalid opcode
        {{0x9e, 0x11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 32, 2, {}, 0x20},
        {{0x1a, 0, 0x08, 0, 0xff, 0}, 255, 2, {}, 0x20},
        {{0x2a, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512, 2, {}, 0x20},
    };
    for (const Case &c : cases) {
        std::vector<std::uint8_t> buf(c.buffer, 0xee);
        guest::Result r;
        guest::run_command(node, nullptr, c.cdb.data(), c.cdb.size(), buf.data(), buf.size(), r);
        SCOPED_TRACE(testing::Message() << "opcode " << int(c.cdb[0]));
        EXPECT_EQ(c.status, r.status);
        ASSERT_EQ(c.data.size(), r.data_len);
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), buf.begin()));
        if (c.status == 2) {
            ASSERT_EQ(18u, r.sense_len);
            EXPECT_EQ(0x70, r.sense[0]);
            EXPECT_EQ(0x05, r.sense[2]);
            EXPECT_EQ(c.asc, r.sense[12]);
        }
    }
}

// A LUN over a file (the boot-from-SAN test's root): its size, what was
// written reads back, the blocks beyond it are refused. In order, on one file
// of 4 blocks.
TEST(GuestDevice, BlockCommandsOnAFile) {
    std::string name = (std::filesystem::temp_directory_path() / "guest_disk.XXXXXX").string();
    int fd = mkstemp(name.data());
    ASSERT_GE(fd, 0);
    unlink(name.c_str());
    ASSERT_EQ(0, ftruncate(fd, 4 * 512));
    const guest::Disk disk{fd, 4 * 512};
    const simarray::Node &node = parsed_node(kTwoPaths, 0);
    std::vector<std::uint8_t> ones(1024, 0x11), twos(512, 0x22), zeroes(512, 0);
    std::vector<std::uint8_t> ones_twos(ones);
    ones_twos.insert(ones_twos.end(), twos.begin(), twos.end());
    struct Case {
        std::vector<std::uint8_t> cdb;
        std::vector<std::uint8_t> in;    // a write's data, or the buffer's size for a read
        std::uint8_t status;
        std::vector<std::uint8_t> data;  // what a read returns
        std::uint8_t asc;
    } cases[] = {
        {{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, std::vector<std::uint8_t>(8), 0,
         {0, 0, 0, 3, 0, 0, 0x02, 0x00}, 0},
        {{0x2a, 0, 0, 0, 0, 1, 0, 0, 2, 0}, ones, 0, {}, 0},               // WRITE(10) LBA 1, 2 blocks
        {{0x0a, 0, 0, 3, 1, 0}, twos, 0, {}, 0},                          // WRITE(6) LBA 3
        {{0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}, 0, {}, 0},                // SYNCHRONIZE CACHE
        {{0x88, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0}, std::vector<std::uint8_t>(1536), 0,
         ones_twos, 0},                                                   // READ(16) LBA 1, 3 blocks
        {{0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, std::vector<std::uint8_t>(512), 0, zeroes, 0},
        {{0xa8, 0, 0, 0, 0, 3, 0, 0, 0, 2, 0, 0}, std::vector<std::uint8_t>(1024), 2, {}, 0x21},
        {{0x8a, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0}, twos, 2, {}, 0x21},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "opcode " << int(c.cdb[0]));
        guest::Result r;
        guest::run_command(node, &disk, c.cdb.data(), c.cdb.size(), c.in.data(), c.in.size(), r);
        EXPECT_EQ(c.status, r.status);
        ASSERT_EQ(c.data.size(), r.data_len);
        EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), c.in.begin()));
        if (c.status == 2) {
            EXPECT_EQ(c.asc, r.sense[12]);
        }
    }
    close(fd);
}

// The array's own commands as the target core hands them over: READ BUFFER
// cut to its 10-byte block, page 0x83 shorter than the allocation length.
TEST(GuestDevice, ArrayCommandsAnswerAsTheSimulatedArray) {
    const std::uint8_t read_buffer[10] = {0x3c, 0x02, 0x40, 0, 0, 0, 0, 0, 0x08, 0};
    const std::uint8_t page83[6] = {0x12, 0x01, 0x83, 0x00, 0xff, 0x00};
    std::uint8_t buf[255];
    guest::Result r;

    guest::run_command(parsed_node(kTwoPaths, 0), nullptr, read_buffer, 10, buf, 8, r);
    EXPECT_EQ(0, r.status);
    ASSERT_EQ(8u, r.data_len);
    const std::uint8_t c0p1[8] = {0, 0, 0, 0, 0x02, 0x01, 0xf1, 0x00};
    EXPECT_EQ(0, std::memcmp(c0p1, buf, 8));

    guest::run_command(parsed_node(kTwoPaths, 0), nullptr, page83, 6, buf, sizeof buf, r);
    EXPECT_EQ(0, r.status);
    // header 4 + NAA descriptor 4+16 + alias descriptor 4+8
    ASSERT_EQ(36u, r.data_len);
    EXPECT_EQ(0x83, buf[1]);
    EXPECT_EQ(32, buf[3]);
    EXPECT_EQ(0, std::memcmp("vol_db02", buf + 28, 8));

    guest::run_command(parsed_node(kTwoPaths, 1), nullptr, read_buffer, 10, buf, 8, r);
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.data_len);
    EXPECT_EQ(0x24, r.sense[12]);
}

}  // namespace

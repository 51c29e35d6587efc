// The simulator's parser and SCSI answers, without any interposition.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "scenario.hpp"
#include "scsi.hpp"

namespace simarray {
namespace {

using Bytes = std::vector<std::uint8_t>;

Scenario &parsed(const std::string &text, Scenario &sc) {
    char msg[kMaxMessage];
    int line = parse_scenario(text.data(), text.size(), sc, msg, sizeof msg);
    EXPECT_EQ(line, 0) << msg;
    return sc;
}

Bytes page_of(const Node &n) { return Bytes(n.page83, n.page83 + n.page83_len); }
Bytes reply_of(const Node &n) { return Bytes(n.reply, n.reply + n.reply_len); }

TEST(SimScenario, BuildsNodes) {
    static Scenario storage;
    Scenario &sc = parsed(
        "# comment line\n"
        "\n"
        "node /dev/sdb   # trailing comment\n"
        "alias \"A \\\"b\\\\ \\x41\"\n"  // alias before designator still goes last
        "addr 3 0 5 1\n"
        "designator 3 61 23 45 67 89ab cdef   # no blanks inside pairs needed\n"
        "port 2 1\n"
        "fail write /tmp/x 28\n"  // inside a block, does not end it
        "fault idlun EIO\n"
        "fault busno ENOTTY\n"
        "node /dev/sdc\n"
        "page83 00 83 00 02 aa\n"
        "reply 01 02 03\n"
        "fault inquiry check\n"
        "fault readbuffer check\n"
        "fault open EACCES\n"
        "fault sgio ENOTTY\n"
        "node /dev/sdd\n"
        "port 1 2\n"
        "fault delay 250\n",
        storage);
    ASSERT_EQ(sc.node_count, 3u);
    const Node &b = sc.nodes[0];
    EXPECT_STREQ(b.path, "/dev/sdb");
    EXPECT_EQ(idlun_word(b), 0x03000105u);  // bytes 05 01 00 03, lowest first
    EXPECT_EQ(page_of(b), (Bytes{0x00, 0x83, 0x00, 0x17,                              //
                                 0x01, 0x03, 0x00, 0x08, 0x61, 0x23, 0x45, 0x67,      //
                                 0x89, 0xab, 0xcd, 0xef,                              //
                                 0x02, 0x00, 0x00, 0x07, 'A', ' ', '"', 'b', '\\', ' ', 'A'}));
    EXPECT_EQ(b.page83_len, 4u + 12u + 11u);
    EXPECT_EQ(reply_of(b), (Bytes{0, 0, 0, 0, 1, 2, 0x00, 0xf1}));
    EXPECT_EQ(b.fault_idlun, EIO);
    EXPECT_EQ(b.fault_busno, ENOTTY);
    EXPECT_EQ(b.fault_open, 0);

    const Node &c = sc.nodes[1];
    EXPECT_EQ(page_of(c), (Bytes{0x00, 0x83, 0x00, 0x02, 0xaa}));
    EXPECT_EQ(reply_of(c), (Bytes{1, 2, 3}));
    EXPECT_TRUE(c.fault_inquiry_check && c.fault_readbuffer_check);
    EXPECT_EQ(c.fault_open, EACCES);
    EXPECT_EQ(c.fault_sgio, ENOTTY);

    const Node &d = sc.nodes[2];
    EXPECT_EQ(page_of(d), (Bytes{0x00, 0x83, 0x00, 0x00}));
    EXPECT_EQ(d.fault_delay_ms, 250);
    EXPECT_EQ(b.fault_delay_ms, 0);
    EXPECT_EQ(reply_of(d), (Bytes{0, 0, 0, 0, 2, 1, 0xf1, 0x00}));

    EXPECT_EQ(find_node(sc, "/dev/sdc"), &c);
    EXPECT_EQ(find_node(sc, "/dev/sd"), nullptr);
    EXPECT_EQ(find_fail(sc, FailOp::write, "/tmp/x"), ENOSPC);
    EXPECT_EQ(find_fail(sc, FailOp::open, "/tmp/x"), 0);
}

TEST(SimScenario, RejectsBadLines) {
    struct Case {
        const char *text;
        int line;
        const char *message;
    };
    const Case cases[] = {
        {"bogus\n", 1, "unknown directive 'bogus'"},
        {"port 1 1\n", 1, "no node before 'port'"},
        {"node\n", 1, "missing node path"},
        {"node /a b\n", 1, "unexpected text: 'b'"},
        {"node /a\naddr -1 0 0 0\n", 2, "not a decimal number: '-1'"},
        {"node /a\naddr 0 0 0 99999999999999999999\n", 2, "lun out of range 0..255: '99999999999999999999'"},
        {"node /a\naddr 65536 0 0 0\n", 2, "host out of range 0..65535: '65536'"},
        {"node /a\naddr 0 0 0 0\naddr 0 0 0 0\n", 3, "duplicate addr"},
        {"node /a\ndesignator 3 abc\n", 2, "bad hex byte at 'c'"},
        {"node /a\ndesignator 3 0g\n", 2, "bad hex byte at '0g'"},
        {"node /a\ndesignator\n", 2, "missing 'designator type'"},
        {"node /a\nalias abc\n", 2, "expected a quoted text"},
        {"node /a\nalias \"\\x4\"\n", 2, "bad \\x escape: two hex digits expected"},
        {"node /a\nalias \"ab\\\n", 2, "unterminated quoted text"},
        {"node /a\npage83 00\ndesignator 3 00\n", 3, "designator cannot be combined with page83"},
        {"node /a\npage83 00\nalias \"x\"\n", 3, "alias cannot be combined with page83"},
        {"node /a\nreply 00\nport 1 1\n", 3, "port cannot be combined with reply"},
        {"node /a\nport 1 1\nport 1 2\n", 3, "duplicate port"},
        {"node /a\nfault open EIO\nfault open EIO\n", 3, "duplicate fault 'open'"},
        {"node /a\nfault readbuffer check\nfault readbuffer check\n", 3,
         "duplicate fault 'readbuffer'"},
        {"node /a\nfault disk EIO\n", 2,
         "unknown fault (open, idlun, busno, sgio, delay, inquiry, readbuffer): 'disk'"},
        {"node /a\nfault delay 5\nfault delay 7\n", 3, "duplicate fault 'delay'"},
        {"node /a\nfault delay 3600001\n", 2,
         "milliseconds out of range 0..3600000: '3600001'"},
        {"node /a\nfault delay\n", 2, "missing 'milliseconds'"},
        {"node /a\nfault open 4096\n", 2, "unknown errno '4096'"},
        {"node /a\nfault open 0\n", 2, "unknown errno '0'"},
        {"fail open\n", 1, "missing path"},
        {"fail open /x EIO junk\n", 1, "unexpected text: 'junk'"},
        {"node /a\nnode /a\n", 2, "duplicate node '/a'"},
    };
    static Scenario sc;
    for (const Case &c : cases) {
        char msg[kMaxMessage];
        std::string text = c.text;
        EXPECT_EQ(parse_scenario(text.data(), text.size(), sc, msg, sizeof msg), c.line) << c.text;
        EXPECT_STREQ(msg, c.message) << c.text;
    }
}

TEST(SimScenario, Limits) {
    std::string hex255, hex256;
    for (int i = 0; i < 255; ++i) hex255 += "ab";
    hex256 = hex255 + "cd";
    std::string alias255(255, 'x');
    std::string text = "node /a\ndesignator 1 " + hex255 + "\nalias \"" + alias255 + "\"\n";
    static Scenario sc;
    parsed(text, sc);
    EXPECT_EQ(sc.nodes[0].page83_len, 4u + 259u + 259u);

    static Scenario big;
    char msg[kMaxMessage];
    std::string over = "node /a\ndesignator 1 " + hex256 + "\n";
    EXPECT_EQ(parse_scenario(over.data(), over.size(), big, msg, sizeof msg), 2);
    EXPECT_STREQ(msg, "more than 255 hex bytes");
    std::string full = "node /a\n";
    for (int i = 0; i < 4; ++i) full += "designator 1 " + hex255 + "\n";
    EXPECT_EQ(parse_scenario(full.data(), full.size(), big, msg, sizeof msg), 5);
    EXPECT_STREQ(msg, "page 0x83 grows beyond 1024 bytes");
    std::string nul("node /a\0b\n", 10);
    EXPECT_EQ(parse_scenario(nul.data(), nul.size(), big, msg, sizeof msg), 1);
}

// A scenario of the largest size: every node found through the index, each
// with its own page (raw and built pages alike), a late duplicate caught, one
// node too many refused; parsing again forgets the previous nodes.
TEST(SimScenario, ThousandsOfNodes) {
    static Scenario sc;
    std::string text;
    char hex[32];
    for (std::size_t i = 0; i < kMaxNodes; ++i) {
        std::snprintf(hex, sizeof hex, "%02zx %02zx", i >> 8, i & 0xff);
        text += "node /dev/n" + std::to_string(i) + "\n";
        text += i % 2 ? std::string("designator 3 ") + hex + "\n"
                      : std::string("page83 00 83 ") + hex + "\n";
    }
    parsed(text, sc);
    ASSERT_EQ(sc.node_count, kMaxNodes);
    for (std::size_t i = 0; i < kMaxNodes; ++i) {
        const Node *n = find_node(sc, ("/dev/n" + std::to_string(i)).c_str());
        ASSERT_EQ(n, &sc.nodes[i]) << i;
        Bytes tail = page_of(*n);
        tail.erase(tail.begin(), tail.end() - 2);
        EXPECT_EQ(tail, (Bytes{static_cast<std::uint8_t>(i >> 8),
                               static_cast<std::uint8_t>(i & 0xff)})) << i;
    }
    const std::string last = "/dev/n" + std::to_string(kMaxNodes - 1);
    const std::string beyond = "/dev/n" + std::to_string(kMaxNodes);
    EXPECT_EQ(find_node(sc, beyond.c_str()), nullptr);

    char msg[kMaxMessage];
    const int next_line = 2 * static_cast<int>(kMaxNodes) + 1;
    std::string dup = text + "node " + last + "\n";
    EXPECT_EQ(parse_scenario(dup.data(), dup.size(), sc, msg, sizeof msg), next_line);
    EXPECT_EQ(std::string(msg), "duplicate node '" + last + "'");
    std::string over = text + "node " + beyond + "\n";
    EXPECT_EQ(parse_scenario(over.data(), over.size(), sc, msg, sizeof msg), next_line);
    EXPECT_STREQ(msg, "too many nodes");

    parsed("node /dev/other\n", sc);
    EXPECT_EQ(sc.node_count, 1u);
    EXPECT_EQ(find_node(sc, "/dev/n1"), nullptr);
    EXPECT_NE(find_node(sc, "/dev/other"), nullptr);
}

TEST(SimScenario, ErrnoNames) {
    EXPECT_EQ(parse_errno("EROFS", 5), EROFS);
    EXPECT_EQ(parse_errno("13", 2), 13);
    EXPECT_EQ(parse_errno("4095", 4), 4095);
    EXPECT_EQ(parse_errno("erofs", 5), 0);
    EXPECT_EQ(parse_errno("1x", 2), 0);
    EXPECT_EQ(parse_errno("", 0), 0);
}

// One SG_IO request with its own buffers.
struct Request {
    sg_io_hdr_t hdr{};
    std::uint8_t cdb[16]{};
    std::uint8_t data[512];
    std::uint8_t sense[32];

    Request(Bytes command, unsigned dxfer_len) {
        std::memset(data, 0xee, sizeof data);
        std::memset(sense, 0xee, sizeof sense);
        std::memcpy(cdb, command.data(), command.size());
        hdr.interface_id = 'S';
        hdr.dxfer_direction = SG_DXFER_FROM_DEV;
        hdr.cmd_len = static_cast<unsigned char>(command.size());
        hdr.cmdp = cdb;
        hdr.dxferp = data;
        hdr.dxfer_len = dxfer_len;
        hdr.sbp = sense;
        hdr.mx_sb_len = sizeof sense;
    }
    Bytes got() const { return Bytes(data, data + (hdr.dxfer_len - hdr.resid)); }
};

const Node &array_node() {
    static Scenario storage;
    static Scenario &sc = parsed(
        "node /dev/sdb\n"
        "designator 3 61 23\n"
        "alias \"LUN 01\"\n"
        "port 1 2\n"
        "node /dev/sdc\n"
        "fault inquiry check\n"
        "fault readbuffer check\n"
        "port 1 1\n",
        storage);
    return sc.nodes[0];
}

TEST(SimScsi, RejectsBadRequests) {
    struct Case {
        const char *name;
        void (*spoil)(Request &);
        int err;
    };
    const Case cases[] = {
        {"interface id", [](Request &r) { r.hdr.interface_id = 'Q'; }, ENOSYS},
        {"null cdb", [](Request &r) { r.hdr.cmdp = nullptr; }, EMSGSIZE},
        {"cdb of 5", [](Request &r) { r.hdr.cmd_len = 5; }, EMSGSIZE},
        {"cdb of 17", [](Request &r) { r.hdr.cmd_len = 17; }, EMSGSIZE},
        {"direction", [](Request &r) { r.hdr.dxfer_direction = -7; }, EINVAL},
        {"iovec", [](Request &r) { r.hdr.iovec_count = 2; }, EINVAL},
        {"null data", [](Request &r) { r.hdr.dxferp = nullptr; }, EFAULT},
        {"huge", [](Request &r) { r.hdr.dxfer_len = 1u << 30; }, ENOMEM},
        {"null sense on check", [](Request &r) { r.cdb[2] = 0x80; r.hdr.sbp = nullptr; }, EFAULT},
    };
    for (const Case &c : cases) {
        Request r({0x12, 0x01, 0x83, 0x00, 0xff, 0x00}, 255);
        c.spoil(r);
        EXPECT_EQ(sg_io(array_node(), r.hdr), c.err) << c.name;
        EXPECT_EQ(r.data[0], 0xee) << c.name;
    }
    Request none({0x12, 0x00, 0x00, 0x00, 0x24, 0x00}, 36);
    none.hdr.dxferp = nullptr;
    none.hdr.dxfer_direction = SG_DXFER_NONE;
    EXPECT_EQ(sg_io(array_node(), none.hdr), 0) << "no data pointer needed without data";
    EXPECT_EQ(none.hdr.resid, 36);
}

TEST(SimScsi, Answers) {
    const Bytes page83 = {0x00, 0x83, 0x00, 0x10, 0x01, 0x03, 0x00, 0x02, 0x61, 0x23,
                          0x02, 0x00, 0x00, 0x06, 'L',  'U',  'N',  ' ',  '0',  '1'};
    struct Case {
        const char *name;
        Bytes cdb;
        unsigned dxfer_len;
        Bytes want;  // the bytes moved
    };
    const Case cases[] = {
        {"page 83", {0x12, 0x01, 0x83, 0x00, 0xff, 0x00}, 255, page83},
        {"page 83 cut by the allocation length", {0x12, 0x01, 0x83, 0x00, 0x04, 0x00}, 255,
         {0x00, 0x83, 0x00, 0x10}},
        {"page 83 cut by dxfer_len", {0x12, 0x01, 0x83, 0x00, 0xff, 0x00}, 3, {0x00, 0x83, 0x00}},
        {"allocation length above 255", {0x12, 0x01, 0x83, 0x01, 0x00, 0x00}, 512, page83},
        {"supported pages", {0x12, 0x01, 0x00, 0x00, 0xff, 0x00}, 255,
         {0x00, 0x00, 0x00, 0x02, 0x00, 0x83}},
        {"standard inquiry head", {0x12, 0x00, 0x00, 0x00, 0x08, 0x00}, 255,
         {0x00, 0x00, 0x06, 0x12, 31, 0x00, 0x00, 0x02}},
        {"read buffer 16", {0x3c, 0x02, 0x40, 0, 0, 0, 0, 0, 0x08, 0, 0, 0, 0, 0, 0, 0}, 8,
         {0, 0, 0, 0, 2, 1, 0xf1, 0}},
        {"read buffer 10, offset 4", {0x3c, 0x02, 0x40, 0, 0, 4, 0, 0, 0x08, 0}, 8,
         {2, 1, 0xf1, 0}},
        {"read buffer, allocation 2", {0x3c, 0x02, 0x40, 0, 0, 0, 0, 0, 0x02, 0}, 8, {0, 0}},
        {"test unit ready", {0x00, 0, 0, 0, 0, 0}, 0, {}},
    };
    for (const Case &c : cases) {
        Request r(c.cdb, c.dxfer_len);
        ASSERT_EQ(sg_io(array_node(), r.hdr), 0) << c.name;
        EXPECT_EQ(r.got(), c.want) << c.name;
        EXPECT_EQ(r.hdr.status, 0) << c.name;
        EXPECT_EQ(r.hdr.info, static_cast<unsigned>(SG_INFO_OK)) << c.name;
        EXPECT_EQ(r.hdr.sb_len_wr, 0) << c.name;
        EXPECT_GT(r.hdr.duration, 0u) << c.name;
        EXPECT_EQ(r.data[c.want.size()], 0xee) << c.name << ": wrote past the bytes moved";
    }
}

TEST(SimScsi, CheckConditions) {
    const Node &faulty = *(&array_node() + 1);
    struct Case {
        const char *name;
        const Node &node;
        Bytes cdb;
        std::uint8_t asc;
    };
    const Case cases[] = {
        {"unknown page", array_node(), {0x12, 0x01, 0x80, 0x00, 0xff, 0x00}, 0x24},
        {"page without EVPD", array_node(), {0x12, 0x00, 0x83, 0x00, 0xff, 0x00}, 0x24},
        {"CmdDt", array_node(), {0x12, 0x02, 0x00, 0x00, 0xff, 0x00}, 0x24},
        {"read buffer mode 3", array_node(), {0x3c, 0x03, 0x40, 0, 0, 0, 0, 0, 8, 0}, 0x24},
        {"read buffer id 0x41", array_node(), {0x3c, 0x02, 0x41, 0, 0, 0, 0, 0, 8, 0}, 0x24},
        {"read buffer in 6 bytes", array_node(), {0x3c, 0x02, 0x40, 0, 0, 0}, 0x24},
        {"read buffer offset past the reply", array_node(),
         {0x3c, 0x02, 0x40, 0, 0, 9, 0, 0, 8, 0}, 0x24},
        {"read capacity", array_node(), {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x20},
        {"fault inquiry", faulty, {0x12, 0x01, 0x83, 0x00, 0xff, 0x00}, 0x24},
        {"fault readbuffer", faulty, {0x3c, 0x02, 0x40, 0, 0, 0, 0, 0, 8, 0}, 0x24},
    };
    for (const Case &c : cases) {
        Request r(c.cdb, 255);
        ASSERT_EQ(sg_io(c.node, r.hdr), 0) << c.name;
        EXPECT_EQ(r.hdr.status, 0x02) << c.name;
        EXPECT_EQ(r.hdr.masked_status, 0x01) << c.name;
        EXPECT_EQ(r.hdr.driver_status, 0x08) << c.name;
        EXPECT_EQ(r.hdr.info & SG_INFO_CHECK, static_cast<unsigned>(SG_INFO_CHECK)) << c.name;
        EXPECT_EQ(r.hdr.resid, 255) << c.name;
        ASSERT_EQ(r.hdr.sb_len_wr, 18) << c.name;
        EXPECT_EQ(r.sense[0], 0x70) << c.name;
        EXPECT_EQ(r.sense[2], 0x05) << c.name;
        EXPECT_EQ(r.sense[12], c.asc) << c.name;
        EXPECT_EQ(r.sense[18], 0xee) << c.name;
    }
    // The standard inquiry still answers under a page 0x83 fault.
    Request std_inq({0x12, 0x00, 0x00, 0x00, 0x24, 0x00}, 36);
    ASSERT_EQ(sg_io(faulty, std_inq.hdr), 0);
    EXPECT_EQ(std_inq.hdr.status, 0);
    // Sense is cut to the caller's maximum.
    Request small({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
    small.hdr.mx_sb_len = 8;
    ASSERT_EQ(sg_io(array_node(), small.hdr), 0);
    EXPECT_EQ(small.hdr.sb_len_wr, 8);
    EXPECT_EQ(small.sense[8], 0xee);
}

TEST(SimScsi, FormatsCdb) {
    char out[64];
    const std::uint8_t cdb[] = {0x12, 0x01, 0x83, 0x00, 0xff, 0x00};
    format_cdb(cdb, sizeof cdb, out, sizeof out);
    EXPECT_STREQ(out, "12 01 83 00 ff 00");
    format_cdb(cdb, sizeof cdb, out, 6);
    EXPECT_STREQ(out, "12 01");
    format_cdb(cdb, 0, out, sizeof out);
    EXPECT_STREQ(out, "");
}

}  // namespace
}  // namespace simarray

// The array's answers to SCSI commands, and the request checks of the Linux
// sg driver that come before them.
#include "scsi.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace simarray {
namespace {

constexpr std::uint8_t kOpTestUnitReady = 0x00;
constexpr std::uint8_t kOpInquiry = 0x12;
constexpr std::uint8_t kOpReadBuffer10 = 0x3c;

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;
constexpr unsigned short kDriverSense = 0x08;
constexpr std::uint8_t kSenseIllegalRequest = 0x05;
constexpr std::uint8_t kAscInvalidOpcode = 0x20;
constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr std::size_t kFixedSenseLen = 18;

constexpr std::uint8_t kReadBufferModeData = 0x02;
constexpr std::uint8_t kPortBufferId = 0x40;

constexpr unsigned kMaxTransfer = 1u << 24;  // larger requests fail like an oversized sg reserve
constexpr unsigned kDurationMs = 1;
constexpr int kSgDxferUnknown = -5;  // the kernel's SG_DXFER_UNKNOWN, missing from glibc's sg.h

// Standard INQUIRY data: a disk (SPC-4, HiSup, format 2, CmdQue).
constexpr std::uint8_t kStandardInquiry[36] = {
    0x00, 0x00, 0x06, 0x12, 31,  0x00, 0x00, 0x02,
    'Q',  'U',  'E',  'L',  'V', 'A',  'N',  'E',
    'S',  'I',  'M',  'U',  'L', 'A',  'T',  'E',  'D', ' ', 'A', 'R', 'R', 'A', 'Y', ' ',
    '0',  '1',  '0',  '0',
};

constexpr std::uint8_t kSupportedPages[6] = {0x00, 0x00, 0x00, 0x02, 0x00, 0x83};

// Outcome of one command: GOOD with `len` data bytes, or CHECK CONDITION
// with ILLEGAL REQUEST and `asc`.
struct Answer {
    bool check;
    std::uint8_t asc;
    const std::uint8_t *data;
    std::size_t len;
};

Answer good(const std::uint8_t *data, std::size_t len, std::size_t alloc) {
    return {false, 0, data, std::min(len, alloc)};
}

Answer check(std::uint8_t asc) { return {true, asc, nullptr, 0}; }

Answer inquiry(const Node &node, const std::uint8_t *cdb) {
    bool evpd = (cdb[1] & 0x01) != 0;
    bool cmddt = (cdb[1] & 0x02) != 0;
    std::uint8_t page = cdb[2];
    std::size_t alloc = (static_cast<std::size_t>(cdb[3]) << 8) | cdb[4];
    if (cmddt) return check(kAscInvalidFieldInCdb);
    if (!evpd) {
        if (page != 0) return check(kAscInvalidFieldInCdb);
        return good(kStandardInquiry, sizeof kStandardInquiry, alloc);
    }
    if (page == 0x00) return good(kSupportedPages, sizeof kSupportedPages, alloc);
    if (page == 0x83 && !node.fault_inquiry_check)
        return good(node.page83, node.page83_len, alloc);
    return check(kAscInvalidFieldInCdb);
}

Answer read_buffer(const Node &node, const std::uint8_t *cdb, std::size_t cdb_len) {
    if (cdb_len < 10 || node.fault_readbuffer_check || !node.has_reply)
        return check(kAscInvalidFieldInCdb);
    std::uint8_t mode = cdb[1] & 0x1f;
    std::size_t offset = (static_cast<std::size_t>(cdb[3]) << 16) | (cdb[4] << 8) | cdb[5];
    std::size_t alloc = (static_cast<std::size_t>(cdb[6]) << 16) | (cdb[7] << 8) | cdb[8];
    if (mode != kReadBufferModeData || cdb[2] != kPortBufferId || offset > node.reply_len)
        return check(kAscInvalidFieldInCdb);
    return good(node.reply + offset, node.reply_len - offset, alloc);
}

Answer run_command(const Node &node, const std::uint8_t *cdb, std::size_t cdb_len) {
    switch (cdb[0]) {
    case kOpTestUnitReady: return good(nullptr, 0, 0);
    case kOpInquiry: return inquiry(node, cdb);
    case kOpReadBuffer10: return read_buffer(node, cdb, cdb_len);
    default: return check(kAscInvalidOpcode);
    }
}

bool data_in(int direction) {
    return direction == SG_DXFER_FROM_DEV || direction == SG_DXFER_TO_FROM_DEV;
}

}  // namespace

int sg_io(const Node &node, sg_io_hdr_t &hdr) {
    if (hdr.interface_id != 'S') return ENOSYS;
    if (hdr.cmdp == nullptr || hdr.cmd_len < 6 || hdr.cmd_len > 16) return EMSGSIZE;
    switch (hdr.dxfer_direction) {
    case SG_DXFER_NONE:
    case SG_DXFER_TO_DEV:
    case SG_DXFER_FROM_DEV:
    case SG_DXFER_TO_FROM_DEV:
    case kSgDxferUnknown: break;
    default: return EINVAL;
    }
    if (hdr.iovec_count != 0) return EINVAL;  // scatter lists are not simulated
    if (hdr.dxfer_len > kMaxTransfer) return ENOMEM;
    if (hdr.dxfer_direction != SG_DXFER_NONE && hdr.dxfer_len > 0 && hdr.dxferp == nullptr)
        return EFAULT;

    Answer a = run_command(node, hdr.cmdp, hdr.cmd_len);
    std::size_t moved = 0;
    if (!a.check && data_in(hdr.dxfer_direction)) {
        moved = std::min<std::size_t>(a.len, hdr.dxfer_len);
        if (moved > 0) std::memcpy(hdr.dxferp, a.data, moved);
    }
    hdr.sb_len_wr = 0;
    if (a.check && hdr.mx_sb_len > 0) {
        if (hdr.sbp == nullptr) return EFAULT;
        std::uint8_t sense[kFixedSenseLen] = {};
        sense[0] = 0x70;  // current error, fixed format
        sense[2] = kSenseIllegalRequest;
        sense[7] = kFixedSenseLen - 8;
        sense[12] = a.asc;
        std::size_t n = std::min<std::size_t>(kFixedSenseLen, hdr.mx_sb_len);
        std::memcpy(hdr.sbp, sense, n);
        hdr.sb_len_wr = static_cast<unsigned char>(n);
    }
    hdr.status = a.check ? kStatusCheckCondition : kStatusGood;
    hdr.masked_status = static_cast<unsigned char>(hdr.status >> 1);
    hdr.msg_status = 0;
    hdr.host_status = 0;
    hdr.driver_status = a.check ? kDriverSense : 0;
    hdr.resid = static_cast<int>(hdr.dxfer_len - moved);
    hdr.duration = kDurationMs;
    hdr.info = a.check ? SG_INFO_CHECK : SG_INFO_OK;
    return 0;
}

std::uint32_t idlun_word(const Node &node) {
    return static_cast<std::uint32_t>(node.id & 0xff) |
           (static_cast<std::uint32_t>(node.lun & 0xff) << 8) |
           (static_cast<std::uint32_t>(node.channel & 0xff) << 16) |
           (static_cast<std::uint32_t>(node.host & 0xff) << 24);
}

void format_cdb(const std::uint8_t *cdb, std::size_t len, char *out, std::size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    std::size_t used = 0;
    for (std::size_t i = 0; i < len && used < size; ++i) {
        int n = std::snprintf(out + used, size - used, i == 0 ? "%02x" : " %02x", cdb[i]);
        if (n < 0) break;
        used += static_cast<std::size_t>(n);
    }
}

}  // namespace simarray

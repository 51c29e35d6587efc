// What one path of the guest's array answers: block commands here, the
// array's own commands through the simulated array's sg_io().
#include "device.hpp"

#include <algorithm>
#include <cstring>

#include <scsi/sg.h>

#include "scsi.hpp"

namespace guest {
namespace {

constexpr std::uint8_t kOpRead6 = 0x08;
constexpr std::uint8_t kOpReadCapacity10 = 0x25;
constexpr std::uint8_t kOpRead10 = 0x28;
constexpr std::uint8_t kOpRead16 = 0x88;
constexpr std::uint8_t kOpServiceActionIn16 = 0x9e;
constexpr std::uint8_t kOpRead12 = 0xa8;
constexpr std::uint8_t kSaReadCapacity16 = 0x10;

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;

constexpr std::uint64_t kLastLba = kDiskBytes / kBlockSize - 1;

void put_be(std::uint8_t *p, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        p[i] = static_cast<std::uint8_t>(v & 0xff);
        v >>= 8;
    }
}

void good(std::uint8_t *data, std::size_t data_len, const std::uint8_t *src, std::size_t len,
          Result &out) {
    out.status = kStatusGood;
    out.data_len = std::min(len, data_len);
    if (out.data_len > 0) std::memcpy(data, src, out.data_len);
}

// READ CAPACITY(10) and (16): a disk of kDiskBytes in kBlockSize blocks.
void read_capacity(const std::uint8_t *cdb, std::uint8_t *data, std::size_t data_len,
                   Result &out) {
    std::uint8_t reply[32] = {};
    std::size_t len = 8;
    if (cdb[0] == kOpReadCapacity10) {
        put_be(reply, kLastLba, 4);
        put_be(reply + 4, kBlockSize, 4);
    } else {
        put_be(reply, kLastLba, 8);
        put_be(reply + 8, kBlockSize, 4);
        std::size_t alloc = (static_cast<std::size_t>(cdb[10]) << 24) | (cdb[11] << 16) |
                            (cdb[12] << 8) | cdb[13];
        len = std::min<std::size_t>(sizeof reply, alloc);
    }
    good(data, data_len, reply, len, out);
}

// Any read: zeroes, as many bytes as the initiator asked for.
void read_zeroes(std::uint8_t *data, std::size_t data_len, Result &out) {
    out.status = kStatusGood;
    out.data_len = data_len;
    if (data_len > 0) std::memset(data, 0, data_len);
}

// INQUIRY, READ BUFFER, TEST UNIT READY and every refusal: the simulated
// array's answer, through a request block as the sg driver would pass it.
void array_command(const simarray::Node &node, const std::uint8_t *cdb, std::size_t cdb_len,
                   std::uint8_t *data, std::size_t data_len, Result &out) {
    std::uint8_t cmd[16] = {};
    std::memcpy(cmd, cdb, std::min(cdb_len, sizeof cmd));
    sg_io_hdr_t hdr{};
    hdr.interface_id = 'S';
    hdr.cmdp = cmd;
    hdr.cmd_len = static_cast<unsigned char>(cdb_len);
    hdr.dxfer_direction = data_len > 0 ? SG_DXFER_FROM_DEV : SG_DXFER_NONE;
    hdr.dxferp = data;
    hdr.dxfer_len = static_cast<unsigned>(data_len);
    hdr.sbp = out.sense;
    hdr.mx_sb_len = kSenseSize;
    if (simarray::sg_io(node, hdr) != 0) {
        // The sg checks refuse the block itself: a length of no known group.
        invalid_opcode(out);
        return;
    }
    out.status = hdr.status;
    out.data_len = data_len - static_cast<std::size_t>(hdr.resid);
    out.sense_len = hdr.sb_len_wr;
}

}  // namespace

void invalid_opcode(Result &out) {
    out = Result{};
    out.status = kStatusCheckCondition;
    out.sense[0] = 0x70;  // current error, fixed format
    out.sense[2] = 0x05;  // ILLEGAL REQUEST
    out.sense[7] = 10;    // additional length: 18 bytes in all
    out.sense[12] = 0x20; // invalid command operation code
    out.sense_len = 18;
}

std::size_t cdb_length(std::uint8_t opcode) {
    switch (opcode >> 5) {
    case 0: return 6;
    case 1:
    case 2: return 10;
    case 4: return 16;
    case 5: return 12;
    default: return 0;
    }
}

void run_command(const simarray::Node &node, const std::uint8_t *cdb, std::size_t cdb_len,
                 std::uint8_t *data, std::size_t data_len, Result &out) {
    out = Result{};
    switch (cdb[0]) {
    case kOpReadCapacity10: read_capacity(cdb, data, data_len, out); return;
    case kOpServiceActionIn16:
        if (cdb_len >= 16 && (cdb[1] & 0x1f) == kSaReadCapacity16) {
            read_capacity(cdb, data, data_len, out);
            return;
        }
        break;
    case kOpRead6:
    case kOpRead10:
    case kOpRead12:
    case kOpRead16: read_zeroes(data, data_len, out); return;
    default: break;
    }
    array_command(node, cdb, cdb_len, data, data_len, out);
}

}  // namespace guest

// What one path of the guest's array answers: block commands here, the
// array's own commands through the simulated array's sg_io().
#include "device.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <scsi/sg.h>
#include <unistd.h>

#include "scsi.hpp"

namespace guest {
namespace {

constexpr std::uint8_t kOpRead6 = 0x08;
constexpr std::uint8_t kOpWrite6 = 0x0a;
constexpr std::uint8_t kOpReadCapacity10 = 0x25;
constexpr std::uint8_t kOpRead10 = 0x28;
constexpr std::uint8_t kOpWrite10 = 0x2a;
constexpr std::uint8_t kOpSynchronizeCache10 = 0x35;
constexpr std::uint8_t kOpRead16 = 0x88;
constexpr std::uint8_t kOpWrite16 = 0x8a;
constexpr std::uint8_t kOpSynchronizeCache16 = 0x91;
constexpr std::uint8_t kOpServiceActionIn16 = 0x9e;
constexpr std::uint8_t kOpRead12 = 0xa8;
constexpr std::uint8_t kOpWrite12 = 0xaa;
constexpr std::uint8_t kSaReadCapacity16 = 0x10;

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;

std::uint64_t get_be(const std::uint8_t *p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

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

// CHECK CONDITION with fixed-format sense: KEY, ASC, ASCQ 0.
void check_condition(std::uint8_t key, std::uint8_t asc, Result &out) {
    out = Result{};
    out.status = kStatusCheckCondition;
    out.sense[0] = 0x70;  // current error, fixed format
    out.sense[2] = key;
    out.sense[7] = 10;    // additional length: 18 bytes in all
    out.sense[12] = asc;
    out.sense_len = 18;
}

// READ CAPACITY(10) and (16): the disk's size in kBlockSize blocks.
void read_capacity(const std::uint8_t *cdb, std::uint64_t bytes, std::uint8_t *data,
                   std::size_t data_len, Result &out) {
    const std::uint64_t last_lba = bytes / kBlockSize - 1;
    std::uint8_t reply[32] = {};
    std::size_t len = 8;
    if (cdb[0] == kOpReadCapacity10) {
        put_be(reply, std::min<std::uint64_t>(last_lba, 0xffffffff), 4);
        put_be(reply + 4, kBlockSize, 4);
    } else {
        put_be(reply, last_lba, 8);
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

// READ and WRITE (6, 10, 12, 16) on a file: the blocks the command names,
// within the disk and the initiator's buffer. A failed transfer is a medium
// error, a range beyond the disk an ILLEGAL REQUEST.
void transfer(const Disk &disk, const std::uint8_t *cdb, std::size_t cdb_len, std::uint8_t *data,
              std::size_t data_len, Result &out) {
    std::uint64_t lba = 0, blocks = 0;
    switch (cdb_len) {
    case 6:
        lba = get_be(cdb + 1, 3) & 0x1fffff;
        blocks = cdb[4] == 0 ? 256 : cdb[4];
        break;
    case 10: lba = get_be(cdb + 2, 4); blocks = get_be(cdb + 7, 2); break;
    case 12: lba = get_be(cdb + 2, 4); blocks = get_be(cdb + 6, 4); break;
    default: lba = get_be(cdb + 2, 8); blocks = get_be(cdb + 10, 4); break;
    }
    const std::uint64_t disk_blocks = disk.bytes / kBlockSize;
    if (lba > disk_blocks || blocks > disk_blocks - lba) {
        check_condition(0x05, 0x21, out);  // logical block address out of range
        return;
    }
    const bool write = cdb[0] == kOpWrite6 || cdb[0] == kOpWrite10 || cdb[0] == kOpWrite12 ||
                       cdb[0] == kOpWrite16;
    const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(blocks * kBlockSize, data_len));
    const off_t at = static_cast<off_t>(lba * kBlockSize);
    std::size_t done = 0;
    bool failed = false;
    while (done < len) {
        ssize_t n = write ? pwrite(disk.fd, data + done, len - done, at + static_cast<off_t>(done))
                          : pread(disk.fd, data + done, len - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        failed = n < 0 || (n == 0 && write);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    if (failed) {
        // MEDIUM ERROR: write error, or unrecovered read error
        check_condition(0x03, write ? 0x0c : 0x11, out);
        return;
    }
    if (!write && done < len) std::memset(data + done, 0, len - done);  // a file shorter than the disk
    out.status = kStatusGood;
    out.data_len = write ? 0 : len;
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
    check_condition(0x05, 0x20, out);  // ILLEGAL REQUEST, invalid command operation code
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

void run_command(const simarray::Node &node, const Disk *disk, const std::uint8_t *cdb,
                 std::size_t cdb_len, std::uint8_t *data, std::size_t data_len, Result &out) {
    out = Result{};
    const std::uint64_t bytes = disk != nullptr ? disk->bytes : kDiskBytes;
    switch (cdb[0]) {
    case kOpReadCapacity10: read_capacity(cdb, bytes, data, data_len, out); return;
    case kOpServiceActionIn16:
        if (cdb_len >= 16 && (cdb[1] & 0x1f) == kSaReadCapacity16) {
            read_capacity(cdb, bytes, data, data_len, out);
            return;
        }
        break;
    case kOpRead6:
    case kOpRead10:
    case kOpRead12:
    case kOpRead16:
        if (disk != nullptr) {
            transfer(*disk, cdb, cdb_len, data, data_len, out);
        } else {
            read_zeroes(data, data_len, out);
        }
        return;
    case kOpWrite6:
    case kOpWrite10:
    case kOpWrite12:
    case kOpWrite16:
        if (disk == nullptr) break;
        transfer(*disk, cdb, cdb_len, data, data_len, out);
        return;
    case kOpSynchronizeCache10:
    case kOpSynchronizeCache16:
        if (disk == nullptr) break;
        if (fdatasync(disk->fd) != 0) check_condition(0x03, 0x0c, out);
        else out.status = kStatusGood;
        return;
    default: break;
    }
    array_command(node, cdb, cdb_len, data, data_len, out);
}

}  // namespace guest

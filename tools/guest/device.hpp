// The guest's array device: what one TCMU-backed path answers to a SCSI
// command. The array's own commands (INQUIRY, READ BUFFER, TEST UNIT READY)
// are answered by the simulated array's code from the scenario, so the guest
// and the simulator answer alike; on top come the few block commands the
// kernel's scan and the sd driver need, over a disk of zeroes or, for a LUN
// that must hold real data (the boot-from-SAN test's root), over a file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scenario.hpp"

namespace guest {

constexpr std::size_t kSenseSize = 96;      ///< TCMU's sense buffer
constexpr std::uint32_t kBlockSize = 512;
constexpr std::uint64_t kDiskBytes = 1u << 20;  ///< every path's LUN: 1 MiB of zeroes

/// A LUN's data: `bytes` of the open file `fd` (reads and writes go there).
struct Disk {
    int fd;
    std::uint64_t bytes;
};

/// The outcome of one command.
struct Result {
    std::uint8_t status;          ///< SCSI status: 0 GOOD or 2 CHECK CONDITION
    std::size_t data_len;         ///< bytes of `data` that the device returned
    std::uint8_t sense[kSenseSize];
    std::size_t sense_len;
};

/// The length of a command block from its operation code's group, as the
/// target core cuts it: 6, 10, 12 or 16 bytes (0 for variable length or
/// vendor groups).
std::size_t cdb_length(std::uint8_t opcode);

/// CHECK CONDITION, ILLEGAL REQUEST, invalid command operation code: the
/// answer to a command the device does not know.
void invalid_opcode(Result &out);

/// Runs the command `cdb` (`cdb_len` bytes) on `node`. `data` of `data_len`
/// bytes is the command's data buffer as the initiator sized it; a data-in
/// command fills at most `data_len` bytes and reports how many in the result.
/// With `disk`, READ CAPACITY, READ, WRITE and SYNCHRONIZE CACHE work on its
/// file; without, the LUN is kDiskBytes of zeroes and refuses writes.
void run_command(const simarray::Node &node, const Disk *disk, const std::uint8_t *cdb,
                 std::size_t cdb_len, std::uint8_t *data, std::size_t data_len, Result &out);

}  // namespace guest

// The simulated device's side of the SCSI generic pass-through: the checks
// the kernel makes on an sg_io_hdr, and the array's answers to the commands.
#pragma once

#include <cstddef>
#include <cstdint>

#include <scsi/sg.h>

#include "scenario.hpp"

namespace simarray {

constexpr int kSgVersionNum = 30536;  ///< what SG_GET_VERSION_NUM reports (3.5.36)

/// Carries out one SG_IO request on `node`: validates `hdr` as the sg driver
/// does, runs the command and fills the result fields (status, sense, resid,
/// duration, info). Returns 0 when the request was carried out, whatever the
/// SCSI status, or a positive errno when the ioctl is to fail.
int sg_io(const Node &node, sg_io_hdr_t &hdr);

/// The packed address of SCSI_IOCTL_GET_IDLUN: id, lun, channel and host,
/// one byte each from the lowest up.
std::uint32_t idlun_word(const Node &node);

/// Formats the `sgio` log line's CDB part: the bytes as lowercase hex pairs
/// separated by one blank, into `out` of `size` bytes (always terminated).
void format_cdb(const std::uint8_t *cdb, std::size_t len, char *out, std::size_t size);

}  // namespace simarray

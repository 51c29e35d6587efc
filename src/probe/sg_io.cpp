#include "probe/sg_io.hpp"

#include "base/fd_guard.hpp"
#include "trace/trace.hpp"

#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace {

// Every node is opened read-only: the commands sent are data-in reads, which
// SG_IO accepts on such a descriptor. A descriptor opened for writing makes
// its close an IN_CLOSE_WRITE for udev's watch of the disk, which answers
// with a change uevent and a whole run of the disk's rules (multipathd hears
// it too): with multipathd asking our plugin at every path check, a stream
// of such events that keeps udev busy and delays the path events behind it.
// Non-blocking: a read-only open of a FIFO with no writer would wait for one.
constexpr int kNodeFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

constexpr int kLineAddrOpenFailed = 47;
constexpr int kLineIdlunSuccess = 58;
constexpr int kLineAddress = 63;
constexpr int kLineIdlunFailed = 68;
constexpr int kLineCommandLength = 84;
constexpr int kLineCommandOpenFailed = 92;
constexpr int kLineCommandSendFailed = 114;
constexpr int kLineLatencyOpenFailed = 162;
constexpr int kLineLatencySendFailed = 182;

constexpr const char *kOpenFailedFormat = "Opening the device [%s] failed.  Errno: 0x%x";

constexpr int kSenseSize = 128;
constexpr int kInquiryDataSize = 255;
constexpr std::array<unsigned char, 6> kStandardInquiry = {0x12, 0x00, 0x00, 0x00, 0xff, 0x00};

/// The request block of one data-in command, zeroed apart from what every
/// command of this module sets.
sg_io_hdr_t data_in_request(const unsigned char *cdb, int cdb_len, unsigned char *buf,
                            int buf_len, unsigned char *sense, unsigned timeout_ms)
{
    sg_io_hdr_t hdr;
    std::memset(&hdr, 0, sizeof hdr);
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr.cmd_len = static_cast<unsigned char>(cdb_len);
    // The kernel only reads the command block.
    hdr.cmdp = const_cast<unsigned char *>(cdb);
    hdr.dxferp = buf;
    hdr.dxfer_len = static_cast<unsigned>(buf_len);
    hdr.sbp = sense;
    hdr.mx_sb_len = kSenseSize;
    hdr.timeout = timeout_ms;
    hdr.pack_id = 0;
    return hdr;
}

}  // namespace

int sg_io_open_node(const char *dev)
{
    int fd = ::open(dev, kNodeFlags);
    if (fd < 0) {
        int err = errno;
        log_trace(kLineAddrOpenFailed, 4, kOpenFailedFormat, dev,
                  static_cast<unsigned>(err));
    }
    return fd;
}

namespace {
/// SG_IO of one data-in command on the open node; as sg_io_do_command after
/// its open.
int send_command(int fd, const char *dev, const unsigned char *cdb, int cdb_len,
                 unsigned char *buf, int buf_len, unsigned timeout_ms)
{
    std::array<unsigned char, kSenseSize> sense{};
    sg_io_hdr_t hdr = data_in_request(cdb, cdb_len, buf, buf_len, sense.data(), timeout_ms);
    if (::ioctl(fd, SG_IO, &hdr) < 0) {
        int err = errno;
        log_trace(kLineCommandSendFailed, 7,
                  "sg_io_do_command *** sending command to [%s] failed.  Errno: 0x%x", dev,
                  static_cast<unsigned>(err));
        return -1;
    }
    // Neither the sense data nor the residual count is examined: the callers
    // clear their buffers before each command.
    return (hdr.info & SG_INFO_CHECK) ? -2 : 0;
}
}  // namespace

int sg_io_do_command_fd(int fd, const char *dev, const unsigned char *cdb, int cdb_len,
                        unsigned char *buf, int buf_len, unsigned timeout_ms)
{
    log_trace(kLineCommandLength, 4, "%d %d", cdb_len, 4);
    return send_command(fd, dev, cdb, cdb_len, buf, buf_len, timeout_ms);
}

int sg_io_do_command(const char *dev, const unsigned char *cdb, int cdb_len, unsigned char *buf,
                     int buf_len, unsigned timeout_ms)
{
    log_trace(kLineCommandLength, 4, "%d %d", cdb_len, 4);

    FdGuard node(::open(dev, kNodeFlags));
    if (node.fd < 0) {
        int err = errno;
        log_trace(kLineCommandOpenFailed, 4, kOpenFailedFormat, dev,
                  static_cast<unsigned>(err));
        return -1;
    }
    return send_command(node.fd, dev, cdb, cdb_len, buf, buf_len, timeout_ms);
}

int sg_io_get_scsi_addr_fd(int fd, int *host, int *channel, int *id, int *lun)
{
    // [0]: target id, lun, channel and host, one byte each from the lowest;
    // [1]: the host's unique id.
    std::array<int, 2> idlun{};
    int rc = ::ioctl(fd, SCSI_IOCTL_GET_IDLUN, idlun.data());
    int err = errno;
    if (rc < 0) {
        log_trace(kLineIdlunFailed, 4, "SCSI_IOCTL_GET_IDLUN failed (%d)(%d)(%s)",
                  rc, err, std::strerror(err));
        return -1;
    }

    auto packed = static_cast<unsigned>(idlun[0]);
    log_trace(kLineIdlunSuccess, 7,
              "SCSI_IOCTL_GET_IDLUN success.  Returned %d (four: %x, unique: %x).", rc, packed,
              static_cast<unsigned>(idlun[1]));
    // The packed address keeps only the host number's low byte: host 258
    // would pass for host 2.
    int bus = -1;
    if (::ioctl(fd, SCSI_IOCTL_GET_BUS_NUMBER, &bus) < 0 || bus < 0)
        bus = static_cast<int>((packed >> 24) & 0xff);
    *host = bus;
    *channel = static_cast<int>((packed >> 16) & 0xff);
    *lun = static_cast<int>((packed >> 8) & 0xff);
    *id = static_cast<int>(packed & 0xff);
    log_trace(kLineAddress, 7, "Scsi address is %d:%d:%d:%d", *host, *channel,
              *id, *lun);
    return 0;
}

int sg_io_get_scsi_addr(const char *dev, int *host, int *channel, int *id, int *lun)
{
    FdGuard node(::open(dev, kNodeFlags));
    if (node.fd < 0) {
        int err = errno;
        log_trace(kLineAddrOpenFailed, 4, kOpenFailedFormat, dev,
                  static_cast<unsigned>(err));
        return -1;
    }
    return sg_io_get_scsi_addr_fd(node.fd, host, channel, id, lun);
}

int sg_io_get_cmd_latency(const char *dev, int timeout_ms, int *duration_ms)
{
    std::array<unsigned char, kSenseSize> sense{};
    std::array<unsigned char, kInquiryDataSize> data{};

    FdGuard node(::open(dev, kNodeFlags));
    if (node.fd < 0) {
        log_trace(kLineLatencyOpenFailed, 4, "Opening the device failed: %s",
                  dev);
        return -1;
    }

    sg_io_hdr_t hdr =
        data_in_request(kStandardInquiry.data(), static_cast<int>(kStandardInquiry.size()),
                        data.data(), kInquiryDataSize, sense.data(), static_cast<unsigned>(timeout_ms));
    if (::ioctl(node.fd, SG_IO, &hdr) < 0) {
        log_trace(kLineLatencySendFailed, 7, "sending command failed: %s", dev);
        node.close_now();
        *duration_ms = 0;
        return -1;
    }
    node.close_now();
    // The status of the INQUIRY does not matter: a CHECK CONDITION was timed too.
    *duration_ms = static_cast<int>(hdr.duration);
    return 0;
}

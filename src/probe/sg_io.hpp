// SCSI pass-through to a device node. The path-taking operations open the
// node, issue their ioctls and close it again; the descriptor-taking ones work
// on a node their caller opened once with sg_io_open_node, so that one probe
// costs one open. Every descriptor is opened read-only (its close makes no
// change uevent) and close-on-exec.
#pragma once

/// The time-out of a command for a caller without a bound of its own, in ms.
inline constexpr unsigned kSgCommandTimeoutMs = 60000;

/// Sends one data-in command, given `timeout_ms` to complete. 0 done; -2
/// carried out but the driver flags a problem (SG_INFO_CHECK); -1 node not
/// opened or SG_IO rejected.
int sg_io_do_command(const char *dev, const unsigned char *cdb, int cdb_len, unsigned char *buf,
                     int buf_len, unsigned timeout_ms = kSgCommandTimeoutMs);
/// Reads the node's SCSI address. 0 with all four set; -1 (untouched) on failure.
int sg_io_get_scsi_addr(const char *dev, int *host, int *channel, int *id, int *lun);
/// Times a standard INQUIRY. 0 with *duration_ms set; -1 on failure.
int sg_io_get_cmd_latency(const char *dev, int timeout_ms, int *duration_ms);

/// Opens `dev` for a whole probe: read-only, non-blocking, close-on-exec.
/// The descriptor, or -1 with the open failure traced as the address
/// request's (line 47), which is the probe's first question.
int sg_io_open_node(const char *dev);
/// sg_io_do_command on the node open at `fd`; `dev` names it in traces.
int sg_io_do_command_fd(int fd, const char *dev, const unsigned char *cdb, int cdb_len,
                        unsigned char *buf, int buf_len, unsigned timeout_ms);
/// sg_io_get_scsi_addr on the node open at `fd`. The host number comes from
/// SCSI_IOCTL_GET_BUS_NUMBER, which is not cut to the packed address's eight
/// bits (host numbers grow past 255 as adapters and sessions are re-created);
/// when that request fails, from the packed address. Channel, id and lun are
/// always the packed address's bytes.
int sg_io_get_scsi_addr_fd(int fd, int *host, int *channel, int *id, int *lun);

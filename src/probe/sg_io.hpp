// SCSI pass-through to a device node: one open, one ioctl, one close per call.
#pragma once

/// Sends one data-in command. 0 done; -2 carried out but the driver flags a
/// problem (SG_INFO_CHECK); -1 node not opened or SG_IO rejected.
int sg_io_do_command(const char *dev, const unsigned char *cdb, int cdb_len, unsigned char *buf,
                     int buf_len);
/// Sets the time-out of the commands of sg_io_do_command, in ms; 0 restores
/// the default of 60 s. For a caller with a bound of its own.
void sg_io_set_command_timeout(unsigned timeout_ms);
/// Reads the node's SCSI address. 0 with all four set; -1 (untouched) on failure.
int sg_io_get_scsi_addr(const char *dev, int *host, int *channel, int *id, int *lun);
/// Times a standard INQUIRY. 0 with *duration_ms set; -1 on failure.
int sg_io_get_cmd_latency(const char *dev, int timeout_ms, int *duration_ms);

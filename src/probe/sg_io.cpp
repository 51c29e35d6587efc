#include "probe/sg_io.hpp"

// TODO(probe)
int sg_io_do_command(const char *, const unsigned char *, int, unsigned char *, int) { return -1; }
int sg_io_get_scsi_addr(const char *, int *, int *, int *, int *) { return -1; }
int sg_io_get_cmd_latency(const char *, int, int *) { return -1; }

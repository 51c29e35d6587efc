// The array's identity of a path: LUN identifier, LUN reference number,
// alias and controller port, decoded from the array's answers.
//
// grelt_info opens the node once and asks it three questions (SCSI address,
// INQUIRY page 0x83, READ BUFFER id 0x40) into two scratch buffers of the
// calling thread, cleared on every call: threads probe side by side, but a
// call must not re-enter itself. The decoding steps below work on byte buffers
// alone: every read is bounded by the buffer size they are given, and a
// designator is cut at the end of the page that the page length announces.
#pragma once

#include "base/pathinfo.hpp"

#include <cstddef>

/// Probes `dev` into `rec` (every field overwritten, cleared first), each
/// command given `timeout_ms` (0: the default, kSgCommandTimeoutMs).
/// 1: identified, `text_name` holds the alias; 0: identified, `text_name`
/// holds the placeholder "???"; -2: a command ended with a problem the driver
/// reported; -1: any other failure. On a negative result the record holds
/// what was set before the failing step and is not to be used.
int grelt_info(const char *dev, pathinfo *rec, unsigned timeout_ms = 0);

// --- decoding steps ----------------------------------------------------------

/// Writes the first descriptor's designator type (one hex digit) and its
/// designator bytes (two hex digits each) into `wwid`, cut to `wwid_size`-1
/// characters. Designator bytes past the end of the page are not read.
/// 0, or -1 (nothing written) for a null buffer, a `wwid_size` below 1, or a
/// page that holds none of the designator's bytes (length 0, or a page that
/// ends before byte 8).
int grelt_get_dev_wwid(const unsigned char *page, int page_size, char *wwid, int wwid_size);
/// Sets rec->lunref from the first two designator bytes (page bytes 8 and 9):
/// (byte 8 & 3) * 256 + byte 9. A byte past the end of the page counts as 0.
void grelt_get_dev_ref_id(const unsigned char *page, int page_size, pathinfo *rec);
/// Decodes the array's 8-byte READ BUFFER id 0x40 reply into the controller
/// port index 0..3. 0, or -1 with *cp = -1 when the reply is not recognised
/// (or shorter than 8 bytes).
int grelt_get_controller_port(const unsigned char *reply, int reply_size, int *cp);
/// First byte of the first ASCII vendor-specific descriptor (code set 2,
/// designator type 0) within the page, or nullptr when there is none or the
/// page does not fit into `page_size` bytes. The descriptor's header lies
/// within the page; its designator may claim more bytes than the page holds.
const unsigned char *grelt_get_ascii_descriptor(const unsigned char *page, int page_size);
/// Stores the alias from the ASCII vendor-specific descriptor into
/// `text_name` (kTextNameSize bytes): at most 32 characters, trailing blanks
/// dropped, inner blanks and bytes outside 0x20..0x7e turned into "_".
/// 1 when an alias was stored; 0 when the placeholder "???" was.
int grelt_get_dev_text_name(const unsigned char *page, int page_size, char *text_name);

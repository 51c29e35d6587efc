// The array's identity of a path: LUN identifier, LUN reference number,
// alias and controller port, decoded from the array's answers.
#pragma once

#include "store/pathinfo.hpp"

#include <cstddef>

/// Probes `dev` into `rec` (cleared first). 1 identified with alias; 0
/// identified, alias placeholder "???"; negative on failure.
int grelt_info(const char *dev, pathinfo *rec);

// Decoding steps; they work on byte buffers alone.
int grelt_get_dev_wwid(const unsigned char *page, int page_size, char *wwid, int wwid_size);
void grelt_get_dev_ref_id(const unsigned char *page, pathinfo *rec);
int grelt_get_controller_port(const unsigned char *reply, int reply_size, int *cp);
/// First byte of the ASCII vendor-specific descriptor within the page, or
/// nullptr.
const unsigned char *grelt_get_ascii_descriptor(const unsigned char *page, int page_size);
int grelt_get_dev_text_name(const unsigned char *page, char *text_name);

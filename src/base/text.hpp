// Bounded text helpers that every floor above uses: a copy into a fixed-size
// field, the lenient number rule of the command line and the file, and a
// name made safe to show.
#pragma once

#include <cstddef>

/// Copies `src` into a field of `size` bytes: at most size-1 characters and
/// always a terminating NUL.
void copy_field(char *dst, std::size_t size, const char *src);

/// Reads a number as strtol does in base 10 (leading blanks, one sign, digits
/// up to the first other character; 0 without digits), saturated to the
/// range of int instead of overflowing.
int int_from_text(const char *text);

/// `name` as a terminal may show it: at most `size`-1 bytes into `shown`, each
/// outside 0x20..0x7e as "?". Returns `shown`.
const char *shown_name(const char *name, char *shown, std::size_t size);

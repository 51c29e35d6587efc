// Quoted strings, and the one walk over UTF-8 that they share. Read: one
// quoted string of untrusted JSON input, checked and decoded to UTF-8
// (escapes and surrogate pairs joined), without reading past the input's end
// (json_read.cpp is its one user). Written: a name of the file or of the
// daemon, byte for byte, as a JSON string or as a metrics label value; each
// escaping says what becomes of a byte that is no UTF-8 and of the ASCII
// characters that the format escapes.
#pragma once

#include "base/grow_array.hpp"

#include <cstddef>
#include <cstdio>

constexpr const char *kJsonOutOfMemory = "out of memory";

/// Why and where (an input offset) a string was refused.
struct JsonFault {
    const char *what;
    std::size_t at;
};

/// Decodes the string whose opening quote is at text[*pos] (of `len` bytes)
/// and appends it to `out` with a NUL; *pos is then just past its closing
/// quote. 0, or -1 with *fault set: a raw control byte, malformed UTF-8, an
/// unknown escape, a lone surrogate, a \u0000, no closing quote, or no
/// memory.
int json_string_read(const char *text, std::size_t len, std::size_t *pos, GrowArray<char> *out,
                     JsonFault *fault);

/// The length of the UTF-8 character that begins `text` (`len` bytes, at
/// least one), or minus the length of the piece that stands for none: a
/// byte that cannot begin one, or the longest start of one that the next
/// byte or the end of the text breaks off (the byte that broke it off is
/// looked at again). The ranges are those of well-formed UTF-8: no overlong
/// form, no surrogate, nothing above U+10FFFF.
int utf8_length(const unsigned char *text, std::size_t len);

/// Writes the field (at most `size` bytes, up to its NUL) as a JSON string,
/// quotes included: '"', '\\' and the control characters escaped ("\n",
/// "\u001b"...), and each piece of bytes that is no UTF-8 (utf8_length's)
/// as one U+FFFD, so that the text is always valid JSON.
void json_string_to(FILE *out, const char *field, std::size_t size);

/// Writes the field (at most `size` bytes, up to its NUL) as a label value
/// of the metrics' text format, quotes included, so that two fields give two
/// values: a backslash as two and each byte that is no UTF-8 as "\xHH", then
/// '\\', '"' and the line feed escaped for the text format.
void label_value_to(FILE *out, const char *field, std::size_t size);

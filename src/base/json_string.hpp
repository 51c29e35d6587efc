// The strings of the JSON reader: one quoted string of untrusted input,
// checked and decoded to UTF-8 (escapes and surrogate pairs joined), without
// reading past the input's end. json_read.cpp is its one user.
#pragma once

#include "base/grow_array.hpp"

#include <cstddef>

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

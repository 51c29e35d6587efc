// Text built in memory through a stream, for output that must wait until the
// run lock is given up. Unlike open_memstream's, a write that finds no memory
// fails the stream (ferror, fclose), where the C library's memory stream drops
// the text and reports nothing.
#pragma once

#include "base/grow_array.hpp"

#include <cstdio>

/// The text written so far: `bytes`, freed when its scope ends.
struct MemoryText {
    GrowArray<char> bytes;
    MemoryText() = default;
    MemoryText(const MemoryText &) = delete;
    MemoryText &operator=(const MemoryText &) = delete;
    ~MemoryText() { bytes.free(); }
};

/// A stream writing into `text`, or nullptr.
FILE *memory_text_open(MemoryText *text);

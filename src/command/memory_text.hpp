// Text built in memory through a stream, for output that must wait until the
// run lock is given up. Unlike open_memstream's, a write that finds no memory
// fails the stream (ferror, fclose), where the C library's memory stream drops
// the text and reports nothing.
#pragma once

#include "base/byte_buffer.hpp"

#include <cstdio>

using MemoryText = ByteBuffer;

/// A stream writing into `text`, or nullptr.
FILE *memory_text_open(MemoryText *text);

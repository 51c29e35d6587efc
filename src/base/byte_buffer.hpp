// A growable run of bytes on malloc, freed when its scope ends: the content a
// save builds, the text a listing builds before it goes out.
#pragma once

#include <cstddef>
#include <cstdlib>

struct ByteBuffer {
    char *data = nullptr;
    std::size_t len = 0;
    std::size_t capacity = 0;
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;
    ~ByteBuffer() { std::free(data); }
};

/// Makes room for `more` bytes after those held: the buffer at least doubles,
/// and holds at least `at_least` bytes. false without memory, the buffer then
/// as it was.
inline bool byte_buffer_reserve(ByteBuffer *buf, std::size_t more, std::size_t at_least = 0)
{
    if (buf->capacity - buf->len >= more)
        return true;
    std::size_t grown = buf->capacity * 2;
    if (grown < buf->len + more)
        grown = buf->len + more;
    if (grown < at_least)
        grown = at_least;
    auto *bigger = static_cast<char *>(std::realloc(buf->data, grown));
    if (bigger == nullptr)
        return false;
    buf->data = bigger;
    buf->capacity = grown;
    return true;
}

#include "command/memory_text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

ssize_t memory_write(void *cookie, const char *buf, std::size_t size)
{
    auto *text = static_cast<MemoryText *>(cookie);
    if (text->capacity - text->len < size) {
        std::size_t grown = std::max(text->capacity * 2, text->len + size);
        auto *bigger = static_cast<char *>(std::realloc(text->data, grown));
        if (bigger == nullptr) {
            errno = ENOMEM;
            return 0;
        }
        text->data = bigger;
        text->capacity = grown;
    }
    std::memcpy(text->data + text->len, buf, size);
    text->len += size;
    return static_cast<ssize_t>(size);
}

}  // namespace

MemoryText::~MemoryText() { std::free(data); }

FILE *memory_text_open(MemoryText *text)
{
    return fopencookie(text, "w", {nullptr, memory_write, nullptr, nullptr});
}

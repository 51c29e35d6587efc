#include "command/output/memory_text.hpp"

#include <cerrno>
#include <cstring>

namespace {

ssize_t memory_write(void *cookie, const char *buf, std::size_t size)
{
    auto *text = static_cast<MemoryText *>(cookie);
    if (!text->bytes.append_all(buf, size)) {
        errno = ENOMEM;
        return 0;
    }
    return static_cast<ssize_t>(size);
}

}  // namespace

FILE *memory_text_open(MemoryText *text)
{
    return fopencookie(text, "w", {nullptr, memory_write, nullptr, nullptr});
}

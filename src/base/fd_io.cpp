#include "base/fd_io.hpp"

#include "base/status.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace {

/// The least a block grows by once more comes than was expected.
constexpr std::size_t kGrowStep = 65536;

/// Maps the pages of a large fresh block in one call: the read would
/// otherwise fault them in one by one. Advice only.
void prefault(char *data, std::size_t len)
{
    constexpr std::size_t kLarge = 128 * 1024;
    constexpr std::uintptr_t kPage = 4096;
    if (len < kLarge)
        return;
    auto begin = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
    auto end = (reinterpret_cast<std::uintptr_t>(data) + len) & ~(kPage - 1);
#ifdef MADV_POPULATE_WRITE  // C libraries before 2.35 do not name it; kernels before 5.14 refuse it
    if (end > begin)
        madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
#else
    (void)begin;
    (void)end;
#endif
}

/// Gives *bytes room for exactly `room` bytes; false without memory, the
/// array then as it was.
bool resize_to(GrowArray<char> *bytes, std::size_t room)
{
    auto *moved = static_cast<char *>(std::realloc(bytes->items, room));
    if (moved == nullptr)
        return false;
    bytes->items = moved;
    bytes->capacity = room;
    return true;
}

/// The room once the block is full: doubled, a step more at least, and never
/// beyond `most` bytes and the one after them (the NUL's).
std::size_t next_room(const GrowArray<char> &bytes, std::size_t most)
{
    std::size_t room = bytes.capacity > SIZE_MAX / 2 ? SIZE_MAX : bytes.capacity * 2;
    room = std::max(room, bytes.size() + kGrowStep);
    return most < SIZE_MAX ? std::min(room, most + 1) : room;
}

}  // namespace

int fd_read_all(int fd, const FdReadBound &bound, GrowArray<char> *bytes, const FdReader *reader)
{
    static constexpr FdReader kWhole = {::read, 0};
    const FdReader &by = reader != nullptr ? *reader : kWhole;
    const std::size_t most = bound.most;
    bytes->clear();
    if (bound.expected > most)
        return -EFBIG;
    // What is expected, one byte more to see the end within the same block,
    // and the NUL.
    std::size_t first = bound.expected + 2;
    if (most < SIZE_MAX)
        first = std::min(first, most + 1);
    if (bytes->capacity < first) {
        if (!resize_to(bytes, first))
            return -ENOMEM;
        prefault(bytes->items, first);
    }
    for (;;) {
        std::size_t count = bytes->size();
        bool at_most = count == most;
        if (!at_most && bytes->capacity - count < 2 && !resize_to(bytes, next_room(*bytes, most)))
            return -ENOMEM;
        // At the bound, one byte past it says whether the source ends there.
        char past = 0;
        char *to = at_most ? &past : bytes->items + count;
        std::size_t want = at_most ? 1 : std::min(bytes->capacity - 1 - count, most - count);
        if (by.chunk != 0)
            want = std::min(want, by.chunk);
        ssize_t n = by.read(fd, to, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return status_from_errno();
        if (n == 0)
            break;
        if (at_most)
            return -EFBIG;
        bytes->count += static_cast<std::size_t>(n);
    }
    bytes->items[bytes->count] = '\0';
    return 0;
}

int fd_write_all(int fd, const char *data, std::size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return status_from_errno();
        if (n == 0)
            return -EIO;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

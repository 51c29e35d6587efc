// A descriptor read to its end, or written whole: the one loop of each, which
// retries a call that a signal interrupted and goes on after a short one.
#pragma once

#include "base/grow_array.hpp"

#include <sys/types.h>

#include <cstddef>

/// How the bytes are taken: the read function, and the most bytes asked of
/// one call (0: no limit). Everything reads through read(2) whole; tests
/// read in pieces or fail half way.
struct FdReader {
    ssize_t (*read)(int fd, void *buf, std::size_t count);
    std::size_t chunk;
};

/// What one read to the end may take.
struct FdReadBound {
    std::size_t most;      ///< the most bytes taken (SIZE_MAX: no bound)
    std::size_t expected;  ///< the bytes expected (a file's size): the first block's room
};

/// Reads `fd` to its end into *bytes (emptied first), followed by a NUL
/// that its size does not count; the block grows to `most` + 1 bytes at the
/// most. 0 read whole; -EFBIG when there is more than `most` (`expected`
/// above it, or one byte read past it: a pipe that never ends is read no
/// further), -ENOMEM, or the failed read's -errno. On a failure *bytes holds
/// what was read, for its owner to free. `reader`: nullptr reads through
/// read(2).
int fd_read_all(int fd, const FdReadBound &bound, GrowArray<char> *bytes,
                const FdReader *reader = nullptr);

/// Writes `len` bytes of `data` to `fd`: 0, or the failed write's -errno
/// (-EIO for a write that took nothing).
int fd_write_all(int fd, const char *data, std::size_t len);

// A descriptor read to its end within a bound: what it takes, where it stops.
#include "base/fd_io.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include <unistd.h>

namespace {

/// The source the fake read takes its bytes from, and how it misbehaves.
struct Source {
    std::string bytes;
    bool endless = false;  ///< 'x' without end once the bytes are taken
    int fail_call = 0;     ///< the call that fails (0: none)
    int fail_errno = 0;
    std::size_t pos = 0;
    int calls = 0;
    std::size_t taken = 0;  ///< every byte handed out
};
Source source;

ssize_t fake_read(int, void *buf, std::size_t count)
{
    if (++source.calls == source.fail_call) {
        errno = source.fail_errno;
        return -1;
    }
    std::size_t left = source.endless ? count : source.bytes.size() - source.pos;
    std::size_t n = count < left ? count : left;
    for (std::size_t i = 0; i < n; ++i, ++source.pos)
        static_cast<char *>(buf)[i] = source.pos < source.bytes.size() ? source.bytes[source.pos] : 'x';
    source.taken += n;
    return static_cast<ssize_t>(n);
}

TEST(FdIo, ReadAllTakesTheWholeSourceWithinItsBound)
{
    const std::string big(200000, 'b');
    const struct Case {
        const char *name;
        std::string bytes;
        bool endless;
        std::size_t most;
        std::size_t expected;
        std::size_t chunk;
        int fail_call;
        int fail_errno;
        int rc;
        std::size_t taken_most;  ///< bytes the source may hand out at the most
    } cases[] = {
        {"empty", "", false, 10, 0, 0, 0, 0, 0, 0},
        {"at the bound", "0123456789", false, 10, 10, 0, 0, 0, 0, 10},
        {"one past the bound", "0123456789A", false, 10, 11, 0, 0, 0, -EFBIG, 0},
        {"one past, size not known", "0123456789A", false, 10, 0, 0, 0, 0, -EFBIG, 11},
        {"endless", "", true, 100, 0, 0, 0, 0, -EFBIG, 101},
        {"endless in pieces", "", true, 100, 0, 7, 0, 0, -EFBIG, 101},
        {"bound 0, empty", "", false, 0, 0, 0, 0, 0, 0, 0},
        {"bound 0, a byte", "a", false, 0, 0, 0, 0, 0, -EFBIG, 1},
        {"grows past the expected", big, false, SIZE_MAX, 10, 0, 0, 0, 0, big.size()},
        {"in pieces of 3", big, false, big.size(), 0, 3, 0, 0, 0, big.size()},
        {"shrank since its size was taken", "abc", false, 100, 90, 0, 0, 0, 0, 3},
        {"interrupted", big, false, SIZE_MAX, 0, 1000, 2, EINTR, 0, big.size()},
        {"fails half way", big, false, SIZE_MAX, 0, 1000, 3, EIO, -EIO, 2000},
    };
    for (const Case &c : cases) {
        source = Source{c.bytes, c.endless, c.fail_call, c.fail_errno};
        const FdReader reader = {fake_read, c.chunk};
        GrowArray<char> got;
        GrowArrayFreed<char> freed{&got};
        EXPECT_EQ(fd_read_all(-1, {c.most, c.expected}, &got, &reader), c.rc) << c.name;
        EXPECT_LE(source.taken, c.taken_most) << c.name;
        if (c.most != SIZE_MAX) {
            EXPECT_LE(got.capacity, c.most + 1) << c.name;
        }
        if (c.rc != 0)
            continue;
        ASSERT_EQ(std::string(got.data(), got.size()), c.bytes) << c.name;
        EXPECT_EQ(got.data()[got.size()], '\0') << c.name;
    }
}

TEST(FdIo, ReadAllAndWriteAllOnAPipe)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    EXPECT_EQ(fd_write_all(ends[1], "one\ntwo\n", 8), 0);
    close(ends[1]);
    GrowArray<char> got;
    GrowArrayFreed<char> freed{&got};
    EXPECT_EQ(fd_read_all(ends[0], {8, 0}, &got), 0);
    EXPECT_EQ(std::string(got.data(), got.size()), "one\ntwo\n");
    // The read end takes no writes: the failure as -errno.
    EXPECT_EQ(fd_write_all(ends[0], "x", 1), -EBADF);
    close(ends[0]);
}

}  // namespace

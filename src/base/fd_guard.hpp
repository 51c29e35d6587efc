// The one owner of an open file descriptor for every module of the library.
#pragma once

#include <unistd.h>

/// Owns an open descriptor (or -1): closed when the guard goes out of scope,
/// or earlier through close_now(). release() hands it over without closing.
struct FdGuard {
    int fd;
    explicit FdGuard(int d) : fd(d) {}
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    ~FdGuard() { close_now(); }
    /// Closes the descriptor now; close's result (-1 with errno set, or 0
    /// when there was nothing to close).
    int close_now()
    {
        int rc = fd >= 0 ? ::close(fd) : 0;
        fd = -1;
        return rc;
    }
    int release()
    {
        int d = fd;
        fd = -1;
        return d;
    }
};

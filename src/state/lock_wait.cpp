#include "state/lock_wait.hpp"

#include "base/status.hpp"

#include <sys/file.h>

int lock_flock_within(int fd, int timeout_ms, const LockPace &pace)
{
    return lock_wait(timeout_ms, pace, [fd] {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        return errno == EWOULDBLOCK ? -EAGAIN : status_from_errno();
    });
}

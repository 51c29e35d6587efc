#include "store/run.hpp"

#include "base/text.hpp"
#include "store/store.hpp"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <thread>

// None of these runs gets as far as the lock file: the state directory of
// the machine is never looked at.
namespace {

pathinfo probed_record()
{
    pathinfo rec = {};
    copy_field(rec.wwid, sizeof rec.wwid, "600a0b80001");
    return rec;
}

// The lock file's open says its failure as -errno, and only a state that
// cannot be written is read without the lock: a refused state never is.
TEST(StoreRun, OnlyAnUnwritableStateIsReadWithoutTheLock)
{
    const struct {
        int err;
        bool read_only;
    } cases[] = {
        {-ENOENT, true}, {-EROFS, true}, {-EACCES, true},
        {-EPERM, false}, {-EINVAL, false}, {-ELOOP, false}, {0, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(run_state_read_only(c.err), c.read_only) << c.err;
}

// A run that did not get what it waits for gives up within its bound and,
// leaving, gives back nothing that is another run's: a kept run's shared
// turn, store and lock stay as the run holding them has them.
TEST(StoreRun, ARunThatDidNotEnterLeavesWhatOthersHold)
{
    struct Case {
        const char *name;
        unsigned flags;
        bool turn_taken_by_other;
        bool probe_failed;  ///< run_enter never called
    };
    const Case cases[] = {
        {"kept, turn held by another call", kRunKept, true, false},
        {"kept, probe failed", kRunKept, true, true},
        {"kept, probe failed, turn free", kRunKept, false, true},
    };
    for (const Case &c : cases) {
        Store store("/nonexistent/tald.conf");
        RunLock lock;
        lock.file.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);  // another call's lock file
        ASSERT_GE(lock.file.fd, 0);
        int fd = lock.file.fd;
        RunTurn turn;
        turn.taken = c.turn_taken_by_other;
        StoreRun run = {&store, &lock, &turn, 20, c.flags};
        pathinfo rec = probed_record();
        if (!c.probe_failed) {
            EXPECT_EQ(run_enter(&run, &rec), kRunTimedOut) << c.name;
        }
        run_leave(&run);
        EXPECT_EQ(turn.taken, c.turn_taken_by_other) << c.name;
        EXPECT_EQ(lock.file.fd, fd) << c.name;
        EXPECT_EQ(fcntl(fd, F_GETFD), FD_CLOEXEC) << c.name;
    }
}

// A waiter gets the turn as soon as it is given back, and gives it back in
// its turn; a run alone in its process without a lock file enters nothing.
TEST(StoreRun, TurnPassesOnAndUnopenedLockEntersNothing)
{
    Store store("/nonexistent/tald.conf");
    RunLock lock;
    RunTurn turn;
    pthread_condattr_t attr;
    ASSERT_EQ(pthread_condattr_init(&attr), 0);
    ASSERT_EQ(pthread_condattr_setclock(&attr, CLOCK_MONOTONIC), 0);
    pthread_cond_init(&turn.freed, &attr);
    pthread_condattr_destroy(&attr);
    turn.taken = true;
    std::thread holder([&turn] {
        usleep(20000);
        pthread_mutex_lock(&turn.mutex);
        turn.taken = false;
        pthread_cond_signal(&turn.freed);
        pthread_mutex_unlock(&turn.mutex);
    });
    StoreRun run = {&store, &lock, &turn, 60000, 0};
    pathinfo rec = probed_record();
    // The turn is had; the lock file was never opened, so the flock is not.
    EXPECT_EQ(run_enter(&run, &rec), kRunTimedOut);
    EXPECT_TRUE(run.turn_held);
    EXPECT_FALSE(run_entered(run.entry));
    EXPECT_FALSE(store_loaded(&store));
    run_leave(&run);
    EXPECT_FALSE(turn.taken);
    EXPECT_FALSE(run.turn_held);
    holder.join();
    pthread_cond_destroy(&turn.freed);
}

}  // namespace

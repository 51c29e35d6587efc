#include "store/run.hpp"

#include "base/text.hpp"
#include "store/store.hpp"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
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

// The one life of a run: its steps in their order, each once; the entry as
// the request needs, seen by the step under the lock; a step before that
// stops ends the request with its result; and whatever happened, the run is
// left once, giving back nothing that is another run's. Kept runs whose turn
// another call holds, and runs that need no lock: the state directory of
// the machine is never looked at.
struct Life {
    std::string log;
    RunGo go = RunGo::kEnter;
    bool probe = false;  ///< the step before names a probed path
    pathinfo rec = probed_record();
};

Life &life_of(void *state) { return *static_cast<Life *>(state); }

RunGo life_before(StoreRun *run, void *state, int open_error, int *result)
{
    Life &life = life_of(state);
    life.log += "before " + std::to_string(open_error) + ",";
    if (life.probe)
        run->probed = &life.rec;
    *result = 7;
    return life.go;
}

int life_under(StoreRun *run, void *state)
{
    life_of(state).log += "under " + std::to_string(run->entry) + ",";
    return 5;
}

void life_leaving(const StoreRun &run, void *state)
{
    life_of(state).log += "leaving " + std::to_string(run.entry) + ",";
}

TEST(StoreRun, OneLifeEntersAsNeededAndLeavesOnce)
{
    const struct {
        const char *name;
        RunNeed need;
        unsigned flags;
        RunGo go;
        bool probe;
        int result;
        std::string log;
    } cases[] = {
        {"no lock: never entered", RunNeed::kNoLock, 0, RunGo::kEnter, false, 5,
         "before 0,under 0,leaving 0,"},
        {"stopped before the entry", RunNeed::kNoLock, 0, RunGo::kStop, false, 7, "before 0,"},
        {"kept, stopped before the entry", RunNeed::kOneLun, kRunKept, RunGo::kStop, true, 7,
         "before 0,"},
        {"one LUN, nothing probed: not entered", RunNeed::kOneLun, kRunKept, RunGo::kEnter, false,
         5, "before 0,under 0,leaving 0,"},
        {"one LUN, probed: entered, the turn not had", RunNeed::kOneLun, kRunKept, RunGo::kEnter,
         true, 5, "before 0,under 5,leaving 5,"},
        {"every LUN: entered, the turn not had", RunNeed::kEveryLun, kRunKept, RunGo::kEnter,
         false, 5, "before 0,under 5,leaving 5,"},
    };
    for (const auto &c : cases) {
        Store store("/nonexistent/tald.conf");
        RunLock lock;
        lock.file.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);  // another call's lock file
        ASSERT_GE(lock.file.fd, 0);
        int fd = lock.file.fd;
        RunTurn turn;
        turn.taken = true;  // another call's turn
        StoreRun run = {&store, &lock, &turn, 20, c.flags};
        Life life;
        life.go = c.go;
        life.probe = c.probe;
        RunSteps steps = {c.need, life_before, life_under, life_leaving};
        EXPECT_EQ(run_life(steps, &run, &life), c.result) << c.name;
        EXPECT_EQ(life.log, c.log) << c.name;
        EXPECT_TRUE(turn.taken) << c.name;
        EXPECT_FALSE(run.turn_held) << c.name;
        EXPECT_EQ(lock.file.fd, fd) << c.name;
    }
}

}  // namespace

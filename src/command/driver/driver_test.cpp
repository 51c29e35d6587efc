#include "command/driver/driver.hpp"

#include "store/store.hpp"

#include <gtest/gtest.h>

#include <string>

// The driver's order of a command's steps, on commands that need no lock
// (the machine's state directory is never looked at): every step once, in
// its order; the report written once, after the step under the lock and
// before the step after it; a step before that refuses ends the command.
namespace {

struct Steps {
    std::string log;
    int before_rc = 0;
};

Steps &steps_of(void *state) { return *static_cast<Steps *>(state); }

void opened(void *state) { steps_of(state).log += "opened,"; }

int before(StoreRun *, void *state)
{
    steps_of(state).log += "before,";
    return steps_of(state).before_rc;
}

int under(StoreRun *, void *state, FILE *report)
{
    steps_of(state).log += "under,";
    std::fputs("report\n", report);
    return 3;
}

int after(StoreRun *, void *state, int under_rc, const AfterLock &)
{
    steps_of(state).log += "after " + std::to_string(under_rc) + ",";
    std::fputs("after\n", stdout);
    return under_rc + 1;
}

TEST(CommandDrive, EveryStepOnceAndTheReportOnceBeforeTheStepAfter)
{
    const struct {
        const char *name;
        CommandSteps steps;
        int before_rc;
        int result;
        std::string log;
        std::string out;
    } cases[] = {
        {"in memory", {RunNeed::kNoLock, ReportTo::kMemory, opened, before, under, after, nullptr, -1},
         0, 4, "opened,before,under,after 3,", "report\nafter\n"},
        {"in memory or again",
         {RunNeed::kNoLock, ReportTo::kMemoryOrAgain, opened, nullptr, under, after, nullptr, -1},
         0, 4, "opened,under,after 3,", "report\nafter\n"},
        {"to standard output",
         {RunNeed::kNoLock, ReportTo::kStdout, opened, nullptr, under, after, nullptr, -1}, 0, 4,
         "opened,under,after 3,", "report\nafter\n"},
        {"no step after: the result under the lock",
         {RunNeed::kNoLock, ReportTo::kMemory, opened, nullptr, under, nullptr, nullptr, -1}, 0,
         3, "opened,under,", "report\n"},
        {"the step before refuses",
         {RunNeed::kNoLock, ReportTo::kMemory, opened, before, under, after, nullptr, -1}, 7, 7,
         "opened,before,", ""},
    };
    for (const auto &c : cases) {
        Store store("/nonexistent/tald.conf");
        StoreRun run = {&store, nullptr, nullptr, 0, kRunQuiet};
        Steps steps;
        steps.before_rc = c.before_rc;
        testing::internal::CaptureStdout();
        int rc = command_drive(c.steps, &run, &steps);
        std::fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, c.result) << c.name;
        EXPECT_EQ(steps.log, c.log) << c.name;
        EXPECT_EQ(out, c.out) << c.name;
        EXPECT_EQ(run.entry, kRunNotEntered) << c.name;
    }
}

}  // namespace

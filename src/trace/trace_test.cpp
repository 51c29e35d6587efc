#include "trace/trace.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct VerbosityGuard {
    int saved = log_verbosity;
    ~VerbosityGuard() { log_verbosity = saved; }
};

std::string traced(int verbosity, int level, const char *message)
{
    VerbosityGuard guard;
    log_verbosity = verbosity;
    testing::internal::CaptureStderr();
    log_trace(352, level, "%s", message);
    return testing::internal::GetCapturedStderr();
}

TEST(Trace, LevelsAreFilteredAgainstTheVerbosity)
{
    struct Case {
        int verbosity, level;
        bool written;
    } const cases[] = {
        {0, 3, false}, {3, 3, true}, {3, 4, false}, {4, 4, true}, {4, 6, false},
        {6, 6, true},  {6, 7, false}, {7, 7, true}, {7, 3, true},
    };
    for (const Case &c : cases) {
        std::string out = traced(c.verbosity, c.level, "hello");
        EXPECT_EQ(out, c.written ? "[352] hello\n" : "")
            << "verbosity " << c.verbosity << " level " << c.level;
    }
}

TEST(Trace, LineNumberAndFormattedMessageOnly)
{
    VerbosityGuard guard;
    log_verbosity = 4;
    testing::internal::CaptureStderr();
    log_trace(352, 4, "WARN[%d]: problem obtaining lock file", -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[352] WARN[-1]: problem obtaining lock file\n");
}

TEST(Trace, LongMessagesAreCutTo511Characters)
{
    std::string long_text(600, 'a');
    std::string out = traced(7, 7, long_text.c_str());
    EXPECT_EQ(out, "[352] " + std::string(511, 'a') + "\n");
}

TEST(Trace, ConsoleWritesOnlyAtLevelZeroOrBelow)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(log_console(0, "value %d", 5), 0);
    EXPECT_EQ(log_console(1, "hidden"), 0);
    EXPECT_EQ(log_console(-2, "%s", std::string(600, 'b').c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "value 5\n" + std::string(511, 'b') + "\n");
}

}  // namespace

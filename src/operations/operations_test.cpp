#include "operations/operations.hpp"

#include "store/file.hpp"
#include "store/store.hpp"
#include "store/run.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

RunGo probe(StoreRun *run, void *call, int, int *)
{
    path_probe(run, static_cast<PathCall *>(call));
    return RunGo::kEnter;
}

int result(StoreRun *run, void *call) { return path_result(run, static_cast<PathCall *>(call)); }

/// An operation's life on a run that needs no lock: its probe, then its
/// result, the run never entered.
int operate(StoreRun *run, PathOp op, const char *dev, const char *prio_text = nullptr)
{
    PathCall call(op, dev);
    call.prio_text = prio_text;
    return run_life({RunNeed::kNoLock, probe, result, nullptr}, run, &call);
}

TEST(PathOperations, FailedProbe)
{
    std::string dir = testing::TempDir() + "/operations_failed_probe";
    std::filesystem::create_directories(dir);
    std::string file = dir + "/tald.conf";
    std::filesystem::remove(file);

    for (int list = 0; list < 2; ++list) {
        Store store(file.c_str());
        RunLock lock;
        StoreRun run = {&store, &lock, nullptr, 0, 0};
        if (list == 1) {
            // Missing file: an empty list, as a first run on a host has.
            ASSERT_EQ(load_config(&store, file.c_str()), -1);
        }
        for (const char *dev : {"/nonexistent/sdb", "", "relative-node"}) {
            testing::internal::CaptureStdout();
            EXPECT_EQ(operate(&run, PathOp::kGetPrio, dev), 0) << dev;
            EXPECT_EQ(operate(&run, PathOp::kSetPrio, dev, "8"), -2) << dev;
            EXPECT_EQ(operate(&run, PathOp::kSetPrio, dev, "4"), -2) << dev;
            EXPECT_EQ(operate(&run, PathOp::kSetPrio, dev), -2) << dev;
            EXPECT_EQ(operate(&run, PathOp::kGetAlias, dev), -1) << dev;
            EXPECT_EQ(run.probed, nullptr) << dev;
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << dev;
        }
        EXPECT_FALSE(std::filesystem::exists(file));
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace

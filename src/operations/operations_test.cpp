#include "operations/operations.hpp"

#include "store/file.hpp"
#include "store/store.hpp"
#include "store/run.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

// Without a device every probe fails; the operations must answer from that
// alone, whatever state the LUN list is in, print nothing and touch no file.
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
            EXPECT_EQ(getPrio(&run, dev), 0) << dev;
            EXPECT_EQ(setPrio(&run, dev, "8"), -2) << dev;
            EXPECT_EQ(setPrio(&run, dev, "4"), -2) << dev;
            EXPECT_EQ(setPrio(&run, dev, nullptr), -2) << dev;
            EXPECT_EQ(getAlias(&run, dev), -1) << dev;
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << dev;
        }
        EXPECT_FALSE(std::filesystem::exists(file));
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace

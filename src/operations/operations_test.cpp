#include "operations/operations.hpp"

#include "store/conf.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

TEST(DefaultPrio, RotatesThePortsByLunref)
{
    // Rows: cp 0..3; columns: lunref mod 4 = 0..3.
    const int table[4][4] = {{1, 3, 2, 4}, {2, 4, 3, 1}, {3, 1, 4, 2}, {4, 2, 1, 3}};
    for (int lunref = 0; lunref < 1024; ++lunref) {
        bool seen[5] = {};
        for (int cp = 0; cp < 4; ++cp) {
            int prio = defaultPrio(cp, lunref);
            ASSERT_EQ(prio, table[cp][lunref % 4]) << "cp " << cp << " lunref " << lunref;
            seen[prio] = true;
        }
        EXPECT_TRUE(seen[1] && seen[2] && seen[3] && seen[4]) << "lunref " << lunref;
    }
    EXPECT_EQ(defaultPrio(0, 1023), 4);
    EXPECT_EQ(defaultPrio(1, 4), 2);
}

}  // namespace

namespace {

// Without a device every probe fails; the operations must answer from that
// alone, whatever state the LUN list is in, print nothing and touch no file.
TEST(PathOperations, FailedProbe)
{
    std::string dir = testing::TempDir() + "/operations_failed_probe";
    std::filesystem::create_directories(dir);
    std::string file = dir + "/tald.conf";
    std::filesystem::remove(file);
    conf_use_file(file.c_str());

    for (int list = 0; list < 2; ++list) {
        conf_reset();
        if (list == 1) {
            // Missing file: an empty list, as a first run on a host has.
            ASSERT_EQ(load_config(file.c_str()), -1);
        }
        for (const char *dev : {"/nonexistent/sdb", "", "relative-node"}) {
            testing::internal::CaptureStdout();
            EXPECT_EQ(getPrio(dev), 0) << dev;
            EXPECT_EQ(setPrio(dev, "8"), -2) << dev;
            EXPECT_EQ(setPrio(dev, "4"), -2) << dev;
            EXPECT_EQ(setPrio(dev, nullptr), -2) << dev;
            EXPECT_EQ(getAlias(dev), -1) << dev;
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << dev;
        }
        EXPECT_FALSE(std::filesystem::exists(file));
    }
    conf_reset();
    conf_use_file(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

}  // namespace

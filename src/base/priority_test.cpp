#include "base/priority.hpp"

#include <gtest/gtest.h>

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


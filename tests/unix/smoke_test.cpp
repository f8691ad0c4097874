#include <gtest/gtest.h>
TEST(Smoke, BuildWorks) { EXPECT_EQ(1 + 1, 2); }

#include <gtest/gtest.h>
TEST(Build, TestHarnessRuns) { SUCCEED(); }

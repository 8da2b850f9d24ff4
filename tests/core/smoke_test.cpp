#include <gtest/gtest.h>

TEST(Build, CoreLinks) { SUCCEED(); }

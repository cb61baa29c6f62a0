#include "util/debug.hpp"

#include <gtest/gtest.h>

TEST(Placeholder, Builds) { EXPECT_EQ(ostrand::debug(1), "1"); }

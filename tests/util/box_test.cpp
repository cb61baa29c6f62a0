#include "util/box.hpp"

#include <string>

#include <absl/hash/hash.h>
#include <gtest/gtest.h>

namespace ostrand {
namespace {

TEST(Box, CopiesAreIndependentValues) {
  Box<std::string> a(std::string("left"));
  Box<std::string> b = a;
  EXPECT_EQ(a, b);
  EXPECT_EQ(absl::Hash<Box<std::string>>{}(a), absl::Hash<Box<std::string>>{}(b));
  *b = "right";
  EXPECT_EQ(*a, "left");
  EXPECT_NE(a, b);
  a = b;
  EXPECT_EQ(*a, "right");
}

}  // namespace
}  // namespace ostrand

#include "util/check.hpp"

namespace ostrand {
namespace {

TEST(CheckDeathTest, ABrokenInvariantAborts) {
  EXPECT_DEATH(OSTRAND_CHECK(1 + 1 == 3, "arithmetic is broken"), "invariant violated.*arithmetic is broken");
}

}  // namespace
}  // namespace ostrand

#include "util/saturating.hpp"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

namespace ostrand {
namespace {

constexpr std::uint64_t max64 = std::numeric_limits<std::uint64_t>::max();

TEST(Saturating, SumsAndProductsStopAtTheLargestValue) {
  EXPECT_EQ(sat_add(2, 3), 5u);
  EXPECT_EQ(sat_add(max64 - 1, 1), max64);
  EXPECT_EQ(sat_add(max64 - 1, 2), max64);
  EXPECT_EQ(sat_add(max64, max64), max64);
  EXPECT_EQ(sat_mul(1ULL << 32, 1ULL << 31), 1ULL << 63);
  EXPECT_EQ(sat_mul(1ULL << 32, 1ULL << 32), max64);
  EXPECT_EQ(sat_mul(max64, 0), 0u);
  EXPECT_EQ(sat_sub(3, 5), 0u);
  EXPECT_EQ(sat_sub(5, 3), 2u);
}

TEST(Saturating, DivisionAndRounding) {
  EXPECT_EQ(ceil_div(10, 4), 3u);
  EXPECT_EQ(ceil_div(8, 4), 2u);
  EXPECT_EQ(ceil_div(0, 4), 0u);
  EXPECT_EQ(ceil_div(max64, 1), max64);
  EXPECT_EQ(ceil_div(max64, 2), (max64 / 2) + 1);
  EXPECT_EQ(ceil_div(7, 0), saturated);  // a zero divisor divides nothing
  EXPECT_EQ(round_up(100, 64), 128u);
  EXPECT_EQ(round_up(128, 64), 128u);
  EXPECT_EQ(round_up(5, 0), 5u);
  EXPECT_EQ(round_up(max64 - 1, 64), max64);
}

TEST(Saturating, NarrowForms) {
  EXPECT_EQ(sat_mul_as<std::uint16_t>(256, 256), 65535);
  EXPECT_EQ(sat_mul_as<std::uint16_t>(255, 257), 65535);
  EXPECT_EQ(sat_mul_as<std::uint16_t>(255, 256), 65280);
  EXPECT_EQ(checked_mul<std::uint16_t>(256, 256), std::nullopt);
  EXPECT_EQ(checked_mul<std::uint32_t>(65536, 65535), 4294901760u);
  EXPECT_EQ(checked_add<std::uint32_t>(4294967295u, 1), std::nullopt);
  EXPECT_EQ(checked_add<std::uint32_t>(4294967294u, 1), 4294967295u);
  EXPECT_EQ(narrow<std::uint16_t>(65535), 65535);
  EXPECT_EQ(narrow<std::uint16_t>(65536), std::nullopt);
}

}  // namespace
}  // namespace ostrand

#include "tensor/owners.hpp"

#include <absl/hash/hash_testing.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "util/debug.hpp"

namespace ostrand::tensor {
namespace {

OwnerMap embedded(std::vector<std::uint16_t> tiles, std::uint16_t offset = 0) {
  return OwnerMap{std::make_shared<const std::vector<std::uint16_t>>(std::move(tiles)), offset};
}

TEST(OwnerMapTile, RotatesOwnersAndWrapsAroundTheOwnerCount) {
  struct Case {
    std::string name;
    OwnerMap map;
    std::uint32_t owner;
    std::uint16_t device_tiles;
    std::optional<std::uint16_t> expected;
  };
  const std::vector<Case> cases = {
      {"identity", OwnerMap{}, 3, 4, 3},
      {"offset", OwnerMap{nullptr, 2}, 1, 4, 3},
      {"offset wraps around", OwnerMap{nullptr, 2}, 3, 4, 1},
      {"owner beyond the device", OwnerMap{nullptr, 0}, 4, 4, std::nullopt},
      {"offset beyond the device", OwnerMap{nullptr, 4}, 0, 4, std::nullopt},
      {"no device tiles", OwnerMap{}, 0, 0, std::nullopt},
      {"embedding", embedded({5, 6, 7}), 1, 8, 6},
      {"embedding with offset wraps around its length", embedded({5, 6, 7}, 1), 2, 8, 5},
      {"owner beyond the embedding", embedded({5, 6, 7}), 3, 8, std::nullopt},
      {"offset beyond the embedding", embedded({5, 6, 7}, 3), 0, 8, std::nullopt},
      {"embedded tile beyond the device", embedded({5, 6, 7}), 2, 7, std::nullopt},
      {"empty embedding", embedded({}), 0, 8, std::nullopt},
      {"embedding longer than 16 bits count", embedded(std::vector<std::uint16_t>(65536, 0)), 0, 8,
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.map.tile(c.owner, c.device_tiles), c.expected);
  }
}

TEST(OwnerMapValidate, AcceptsOnlyInjectiveEmbeddingsThatFit) {
  struct Case {
    std::string name;
    OwnerMap map;
    std::uint16_t owners;
    std::uint16_t device_tiles;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"identity", OwnerMap{}, 4, 4, true},
      {"identity on a larger device, rotated", OwnerMap{nullptr, 5}, 4, 8, true},
      {"no owners", OwnerMap{}, 0, 4, false},
      {"no device tiles", OwnerMap{}, 0, 0, false},
      {"more owners than device tiles", OwnerMap{}, 5, 4, false},
      {"offset beyond the device", OwnerMap{nullptr, 4}, 2, 4, false},
      {"embedding", embedded({3, 0, 2}), 3, 4, true},
      {"embedding with spare entries", embedded({3, 0, 2, 1}, 3), 2, 4, true},
      {"embedding too short", embedded({3, 0}), 3, 4, false},
      {"embedded tile beyond the device", embedded({3, 4}), 2, 4, false},
      {"embedding repeats a tile", embedded({1, 2, 1}), 2, 4, false},
      {"offset beyond the embedding", embedded({0, 1}, 2), 2, 4, false},
      {"embedding longer than 16 bits count", embedded(std::vector<std::uint16_t>(65536, 0)), 1, 4, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = c.map.validate(c.owners, c.device_tiles);
    if (c.valid) {
      EXPECT_TRUE(result.has_value()) << display(result.error());
    } else {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(display(result.error()), "invalid owner embedding for " + std::to_string(c.owners) +
                                             " logical owners on " + std::to_string(c.device_tiles) +
                                             " device tiles");
    }
  }
}

TEST(OwnerMap, ComparesAndHashesTheTileListNotThePointer) {
  EXPECT_EQ(embedded({1, 2}), embedded({1, 2}));
  EXPECT_NE(embedded({1, 2}), embedded({2, 1}));
  EXPECT_NE(embedded({0, 1}), OwnerMap{});
  EXPECT_NE((OwnerMap{nullptr, 1}), OwnerMap{});
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({OwnerMap{}, OwnerMap{nullptr, 1}, embedded({1, 2}),
                                                           embedded({1, 2}), embedded({2, 1}),
                                                           embedded({1, 2}, 1), embedded({})}));
  EXPECT_EQ(debug(embedded({1, 2}, 1)), "OwnerMap { embedding: Some([1, 2]), offset: 1 }");
  EXPECT_EQ(debug(OwnerMap{}), "OwnerMap { embedding: None, offset: 0 }");
}

}  // namespace
}  // namespace ostrand::tensor

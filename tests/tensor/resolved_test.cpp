#include "tensor/resolved.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "util/debug.hpp"
#include "util/saturating.hpp"

namespace ostrand::tensor {
namespace {

using namespace layout_error;

constexpr std::uint32_t max_u32 = std::numeric_limits<std::uint32_t>::max();

AxisTiling cut(TensorAxis axis, std::uint16_t partitions, std::uint32_t block = 1, std::uint32_t multiple = 1,
               Padding padding = Padding::Reject, std::optional<std::uint16_t> stride = std::nullopt) {
  return AxisTiling::simple(axis, partitions, block, multiple, padding, stride);
}

Layout layout(std::uint16_t tiles, std::uint16_t replicas, AxisTilings axes) {
  return Layout{RowMajor{}, TensorTiling{tiles, replicas, std::move(axes)}, MemoryClass::Ipu21Standard};
}

Layout linear(std::uint16_t tiles, std::uint32_t block) {
  return layout(tiles, 1, {cut(Linear{}, 1, block)});
}

ShardExtent shard(std::uint32_t start, std::uint32_t end, std::uint32_t padded_end, std::uint16_t axis) {
  return ShardExtent{start, end, padded_end, axis};
}

std::vector<ShardExtent> shards_of(const ResolvedAxis& axis) {
  return axis.shards;
}

// --- Axis resolution and strides ---------------------------------------------------------------

TEST(ResolveAxis, NamesAnAxisOnlyInsideTheRank) {
  struct Case {
    TensorAxis axis;
    std::size_t rank;
    std::optional<std::size_t> expected;
  };
  const Case cases[] = {
      {FromStart{0}, 3, 0},
      {FromStart{2}, 3, 2},
      {FromStart{3}, 3, std::nullopt},
      {FromEnd{1}, 3, 2},
      {FromEnd{3}, 3, 0},
      {FromEnd{0}, 3, std::nullopt},
      {FromEnd{4}, 3, std::nullopt},
      {FromEnd{1}, 0, std::nullopt},
      {Linear{}, 3, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(debug(c.axis) + " rank " + std::to_string(c.rank));
    EXPECT_EQ(resolve_axis(c.axis, c.rank), c.expected);
  }
}

TEST(AxisStrides, DefaultsPutReplicasFastestThenAxesInListOrder) {
  struct Case {
    std::string name;
    TensorTiling tiling;
    std::expected<SmallVector<std::uint32_t, 3>, LayoutError> expected;
  };
  const std::vector<Case> cases = {
      {"no axes", {4, 4, {}}, SmallVector<std::uint32_t, 3>{}},
      {"defaults",
       {24, 2, {cut(FromStart{0}, 3), cut(FromStart{1}, 4)}},
       SmallVector<std::uint32_t, 3>{2, 6}},
      {"explicit stride",
       {6, 1, {cut(FromStart{0}, 3, 1, 1, Padding::Reject, 2), cut(FromStart{1}, 2)}},
       SmallVector<std::uint32_t, 3>{2, 3}},
      {"zero stride",
       {2, 1, {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 0)}},
       std::unexpected(InvalidAxisTiling{})},
      {"zero replicas", {2, 0, {cut(FromStart{0}, 2)}}, std::unexpected(InvalidAxisTiling{})},
      {"product overflows 32 bits",
       {0, 65535, {cut(FromStart{0}, 65535), cut(FromStart{1}, 65535, 1, 1, Padding::Reject, 1)}},
       std::unexpected(TileCountOverflow{})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.tiling.axis_strides(), c.expected);
  }
}

TEST(HasRegularTileMapping, AcceptsOnlyAMixedRadixNumbering) {
  struct Case {
    std::string name;
    std::uint16_t replicas;
    std::vector<std::pair<std::uint32_t, std::uint16_t>> strides_and_partitions;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"no pairs", 1, {}, true},
      {"defaults", 2, {{2, 3}, {6, 4}}, true},
      {"listed out of order", 1, {{4, 2}, {1, 4}}, true},
      {"stride below replicas", 4, {{1, 2}, {2, 2}}, true},
      {"smallest stride does not divide replicas", 3, {{2, 2}}, false},
      {"repeated stride", 1, {{1, 2}, {1, 2}}, false},
      {"gap between strides", 2, {{1, 2}, {4, 2}}, false},
      {"zero stride", 1, {{0, 2}}, false},
      {"running product overflows", 1, {{1, 65535}, {65535, 65535}, {4294836225u, 2}}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TensorTiling tiling{0, c.replicas, {}};
    std::vector<std::uint32_t> strides;
    for (const auto& [stride, partitions] : c.strides_and_partitions) {
      tiling.axes.push_back(cut(FromStart{0}, partitions));
      strides.push_back(stride);
    }
    EXPECT_EQ(has_regular_tile_mapping(tiling, strides), c.expected);
  }
  // Only as many pairs as the shorter list: the unmatched axis does not spoil the mapping.
  const TensorTiling tiling{4, 1, {cut(FromStart{0}, 2), cut(FromStart{1}, 2)}};
  const std::vector<std::uint32_t> one_stride = {1};
  EXPECT_TRUE(has_regular_tile_mapping(tiling, one_stride));
}

// --- Padded shapes -------------------------------------------------------------------------------

TEST(PaddedShape, PadsEveryTiledAxis) {
  struct Case {
    std::string name;
    Layout layout;
    TensorShape shape;
    graph::Extents expected;
  };
  const std::vector<Case> cases = {
      {"100 padded to 128", layout(2, 1, {cut(FromEnd{1}, 2, 64, 64, Padding::Zero)}), {3, 100}, {3, 128}},
      {"already a multiple", layout(2, 1, {cut(FromEnd{1}, 2, 64, 64, Padding::Zero)}), {3, 128}, {3, 128}},
      {"per padding group",
       layout(4, 1, {AxisTiling{FromStart{0}, 4, 2, 2, 4, 1, Padding::Zero, std::nullopt}}),
       {12},
       {16}},
      {"linear keeps the shape", linear(3, 2), {2, 5}, {2, 5}},
      {"untiled", layout(3, 3, {}), {7, 9}, {7, 9}},
      {"irregular but consistent strides",
       layout(
           8, 2,
           {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 1), cut(FromStart{1}, 2, 1, 1, Padding::Reject, 4)}),
       {2, 2},
       {2, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.layout.padded_shape(c.shape), c.expected);
  }
}

// One case per check, in the order the checks run: each case also breaks a later check, so a
// reordering shows.
TEST(PaddedShape, ReportsTheFirstFailingCheck) {
  struct Case {
    std::string name;
    Layout layout;
    TensorShape shape;
    LayoutError expected;
  };
  const auto stride = [](std::uint16_t s) { return std::optional<std::uint16_t>(s); };
  const std::vector<Case> cases = {
      {"no tiles", layout(0, 1, {cut(FromStart{0}, 0)}), {4}, EmptyTileGroup{}},
      {"no replicas", layout(4, 0, {}), {4}, EmptyTileGroup{}},
      {"linear of rank 0", linear(1, 1), {}, InvalidAxisTiling{}},
      {"linear block does not divide", linear(1, 3), {2, 5}, InvalidAxisTiling{}},
      {"linear with fewer blocks than tiles", linear(6, 2), {2, 5}, InvalidAxisTiling{}},
      {"linear with zero block", linear(1, 0), {2, 5}, InvalidAxisTiling{}},
      {"linear element count overflows", linear(1, 1), {max_u32, max_u32, max_u32}, InvalidAxisTiling{}},
      {"zero partitions", layout(2, 1, {cut(FromStart{9}, 0)}), {4}, InvalidAxisTiling{}},
      {"zero padding groups",
       layout(2, 1, {AxisTiling{FromStart{9}, 2, 0, 1, 1, 1, Padding::Reject, std::nullopt}}),
       {4},
       InvalidAxisTiling{}},
      {"zero block", layout(2, 1, {cut(FromStart{9}, 2, 0)}), {4}, InvalidAxisTiling{}},
      {"zero padding multiple", layout(2, 1, {cut(FromStart{9}, 2, 1, 0)}), {4}, InvalidAxisTiling{}},
      {"zero shard padding multiple",
       layout(2, 1, {AxisTiling{FromStart{9}, 2, 1, 1, 1, 0, Padding::Reject, std::nullopt}}),
       {4},
       InvalidAxisTiling{}},
      {"tile product overflows",
       layout(1, 65535, {cut(FromStart{0}, 65535), cut(FromStart{9}, 65535)}),
       {65535, 4},
       TileCountOverflow{}},
      {"axis outside rank",
       layout(2, 1, {cut(FromStart{2}, 2, 3)}),
       {4, 4},
       AxisOutsideRank{FromStart{2}, 2}},
      {"from end zero", layout(2, 1, {cut(FromEnd{0}, 2)}), {4, 4}, AxisOutsideRank{FromEnd{0}, 2}},
      {"linear among several axes",
       layout(2, 1, {cut(FromStart{0}, 1), cut(Linear{}, 2)}),
       {4, 4},
       AxisOutsideRank{Linear{}, 2}},
      {"axis tiled twice",
       layout(4, 1, {cut(FromStart{1}, 2), cut(FromEnd{1}, 2, 3)}),
       {4, 4},
       AxisTiledTwice{1}},
      {"groups do not divide partitions",
       layout(3, 1, {AxisTiling{FromStart{0}, 3, 2, 7, 7, 1, Padding::Reject, std::nullopt}}),
       {4},
       IndivisibleAxisExtent{2, 3, 4}},
      {"groups do not divide the extent",
       layout(2, 1, {AxisTiling{FromStart{0}, 2, 2, 7, 7, 1, Padding::Reject, std::nullopt}}),
       {5},
       IndivisibleAxisExtent{2, 2, 5}},
      {"100 rejected by multiple 64",
       layout(2, 1, {cut(FromEnd{1}, 2, 48, 64)}),
       {3, 100},
       ExtentNotDivisible{1, 100, 64}},
      {"group extent rejected by its multiple",
       layout(2, 1, {AxisTiling{FromStart{0}, 2, 2, 3, 4, 1, Padding::Reject, std::nullopt}}),
       {12},
       ExtentNotDivisible{0, 6, 4}},
      {"padding overflows 32 bits",
       layout(1, 1, {cut(FromStart{0}, 1, 3, 2, Padding::Zero)}),
       {max_u32},
       PaddedExtentOverflow{0}},
      {"padded groups overflow 32 bits",
       layout(2, 1, {AxisTiling{FromStart{0}, 2, 2, 3, 2, 1, Padding::Zero, std::nullopt}}),
       {max_u32 - 1},
       PaddedExtentOverflow{0}},
      {"padded extent not whole blocks",
       layout(2, 1, {cut(FromEnd{1}, 2, 48, 64, Padding::Zero)}),
       {3, 100},
       ExtentNotDivisible{1, 128, 48}},
      {"extent not whole blocks",
       layout(2, 1, {cut(FromStart{0}, 2, 8, 4)}),
       {12},
       ExtentNotDivisible{0, 12, 8}},
      // Strides that repeat a cell, and a zero stride, are only looked at after the tile count.
      {"tile count before strides",
       layout(8, 1,
              {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 1),
               cut(FromStart{1}, 2, 1, 1, Padding::Reject, 0)}),
       {2, 2},
       TileCountMismatch{8, 4}},
      {"zero stride",
       layout(2, 1, {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 0)}),
       {2},
       InvalidAxisTiling{}},
      {"repeated cell",
       layout(4, 1,
              {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 1),
               cut(FromStart{1}, 2, 1, 1, Padding::Reject, stride(1))}),
       {2, 2},
       InconsistentTileStrides{}},
      {"stride skipping a tile",
       layout(2, 1, {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 2)}),
       {2},
       InconsistentTileStrides{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto padded = c.layout.padded_shape(c.shape);
    ASSERT_FALSE(padded.has_value()) << debug(*padded);
    EXPECT_EQ(padded.error(), c.expected) << display(padded.error());
    const auto resolved = c.layout.resolve(c.shape);
    ASSERT_FALSE(resolved.has_value());
    EXPECT_EQ(resolved.error(), c.expected);
  }
}

// --- Shard bounds --------------------------------------------------------------------------------

TEST(ShardBounds, SpreadsBlocksEvenlyEarlierPartitionsFirst) {
  struct Case {
    std::string name;
    AxisTiling tiling;
    std::uint32_t padded;
    std::uint32_t extent;
    std::vector<ShardBounds> expected;
  };
  const std::vector<Case> cases = {
      {"ten blocks over four partitions",
       cut(FromStart{0}, 4),
       10,
       10,
       {{0, 3, 3}, {3, 6, 6}, {6, 8, 8}, {8, 10, 10}}},
      {"blocks of two",
       cut(FromStart{0}, 4, 2),
       20,
       20,
       {{0, 6, 6}, {6, 12, 12}, {12, 16, 16}, {16, 20, 20}}},
      {"padding ends in the last shard",
       cut(FromStart{0}, 2, 64, 64, Padding::Zero),
       128,
       100,
       {{0, 64, 64}, {64, 100, 128}}},
      {"padding-only shard is empty",
       cut(FromStart{0}, 4, 16, 64, Padding::Zero),
       64,
       40,
       {{0, 16, 16}, {16, 32, 32}, {32, 40, 48}, {48, 48, 64}}},
      {"more partitions than blocks",
       cut(FromStart{0}, 5),
       3,
       3,
       {{0, 1, 1}, {1, 2, 2}, {2, 3, 3}, {3, 3, 3}, {3, 3, 3}}},
      // Each group of 6 is padded to 8 and cut on its own; positions count real elements.
      {"padding groups",
       AxisTiling{FromStart{0}, 4, 2, 2, 4, 1, Padding::Zero, std::nullopt},
       16,
       12,
       {{0, 4, 4}, {4, 6, 8}, {6, 10, 10}, {10, 12, 14}}},
      {"shard padding",
       AxisTiling{FromStart{0}, 4, 1, 1, 1, 4, Padding::Zero, std::nullopt},
       10,
       10,
       {{0, 3, 4}, {3, 6, 7}, {6, 8, 10}, {8, 10, 12}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.expected.size(), c.tiling.partitions);
    for (std::uint32_t i = 0; i < c.tiling.partitions; ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(c.tiling.shard_bounds(c.padded, c.extent, i), c.expected[i]);
    }
  }
}

TEST(ShardBounds, RejectsWhatItCannotCut) {
  struct Case {
    std::string name;
    AxisTiling tiling;
    std::uint32_t padded;
    std::uint32_t extent;
    std::uint32_t partition;
    LayoutError expected;
  };
  const std::vector<Case> cases = {
      {"partition out of range", cut(FromStart{0}, 4), 8, 8, 4, IndivisibleAxisExtent{1, 4, 8}},
      {"zero groups", AxisTiling{FromStart{0}, 4, 0, 1, 1, 1, Padding::Reject, std::nullopt}, 8, 8, 0,
       IndivisibleAxisExtent{0, 4, 8}},
      {"padded extent not in groups", AxisTiling{FromStart{0}, 4, 2, 1, 1, 1, Padding::Reject, std::nullopt},
       9, 8, 0, IndivisibleAxisExtent{2, 4, 8}},
      {"padded extent not whole blocks", cut(FromStart{0}, 2, 3), 8, 8, 0, ExtentNotDivisible{0, 8, 3}},
      {"zero block", cut(FromStart{0}, 2, 0), 8, 8, 0, InvalidAxisTiling{}},
      {"shard not a multiple", AxisTiling{FromStart{0}, 4, 1, 1, 1, 4, Padding::Reject, std::nullopt}, 10, 10,
       0, ShardNotDivisible{3, 4}},
      {"zero shard multiple", AxisTiling{FromStart{0}, 4, 1, 1, 1, 0, Padding::Zero, std::nullopt}, 10, 10, 0,
       InvalidAxisTiling{}},
      {"shard padding overflows", AxisTiling{FromStart{0}, 1, 1, max_u32, 1, 2, Padding::Zero, std::nullopt},
       max_u32, max_u32, 0, PaddedExtentOverflow{0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto bounds = c.tiling.shard_bounds(c.padded, c.extent, c.partition);
    ASSERT_FALSE(bounds.has_value()) << debug(*bounds);
    EXPECT_EQ(bounds.error(), c.expected);
  }
}

// --- Resolution ----------------------------------------------------------------------------------

TEST(Resolve, RowShardedOverMoreTilesThanRowsLeavesEmptyShards) {
  const auto resolved = Layout::row_sharded(64).resolve({1, 8, 128});
  ASSERT_TRUE(resolved.has_value()) << display(resolved.error());
  ASSERT_EQ(resolved->axes.size(), 3u);
  EXPECT_EQ(shards_of(resolved->axes[0]), std::vector{shard(0, 1, 1, 0)});
  EXPECT_EQ(shards_of(resolved->axes[2]), std::vector{shard(0, 128, 128, 2)});
  const ResolvedAxis& rows = resolved->axes[1];
  EXPECT_EQ(rows.stride, 1u);
  ASSERT_EQ(rows.shards.size(), 64u);
  for (std::uint16_t i = 0; i < 64; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(rows.shards[i], i < 8 ? shard(i, i + 1, i + 1, 1) : shard(8, 8, 8, 1));
    EXPECT_EQ(resolved->tile_elements(i), i < 8 ? 128u : 0u);
  }
  EXPECT_EQ(resolved->tile_elements(64), 0u);
  EXPECT_TRUE(resolved->has_empty_shards());
  EXPECT_EQ(resolved->maximum_tile_elements(), 128u);
  EXPECT_EQ(resolved->padded_shape, (graph::Extents{1, 8, 128}));
  EXPECT_FALSE(resolved->linear_block.has_value());
}

TEST(Resolve, TileElementsCountPaddingAndReplicas) {
  // Rows over 2 partitions (stride 2: replicas vary fastest), columns 100 padded to 128.
  const Layout l = layout(4, 2, {cut(FromEnd{2}, 2), cut(FromEnd{1}, 1, 64, 64, Padding::Zero)});
  const auto resolved = l.resolve({6, 100});
  ASSERT_TRUE(resolved.has_value()) << display(resolved.error());
  EXPECT_EQ(resolved->padded_shape, (graph::Extents{6, 128}));
  EXPECT_EQ(resolved->axes[0].stride, 2u);
  EXPECT_EQ(shards_of(resolved->axes[1]), std::vector{shard(0, 100, 128, 1)});
  for (std::uint32_t t = 0; t < 4; ++t) EXPECT_EQ(resolved->tile_elements(t), 3u * 128u);  // 3 rows x 128
  EXPECT_FALSE(resolved->has_empty_shards());

  const auto boxes = resolved->shard_extents();
  ASSERT_TRUE(boxes.has_value());
  const ShardExtent columns = shard(0, 100, 128, 1);
  const std::vector<std::pair<std::uint16_t, ShardBox>> expected = {
      {0, {shard(0, 3, 3, 0), columns}},
      {1, {shard(0, 3, 3, 0), columns}},
      {2, {shard(3, 6, 6, 0), columns}},
      {3, {shard(3, 6, 6, 0), columns}},
  };
  EXPECT_EQ(*boxes, expected);
  EXPECT_EQ(l.shard_extents({6, 100}), expected);
}

TEST(Resolve, ExplicitStridesSelectShardsByTileNumber) {
  // Columns vary fastest (stride 1), rows every third tile.
  const Layout l = layout(
      6, 1, {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 3), cut(FromStart{1}, 3, 1, 1, Padding::Reject, 1)});
  const auto boxes = l.shard_extents({2, 3});
  ASSERT_TRUE(boxes.has_value()) << display(boxes.error());
  ASSERT_EQ(boxes->size(), 6u);
  for (std::uint16_t t = 0; t < 6; ++t) {
    SCOPED_TRACE(t);
    const std::uint32_t row = t / 3;
    const std::uint32_t column = t % 3;
    const std::pair<std::uint16_t, ShardBox> expected{
        t, {shard(row, row + 1, row + 1, 0), shard(column, column + 1, column + 1, 1)}};
    EXPECT_EQ((*boxes)[t], expected);
  }
}

TEST(Resolve, ShardPaddingTheTextRejectsFailsOnlyWhenResolving) {
  // The padded shape does not look at shard sizes; cutting the shards does.
  const Layout l = layout(4, 1, {AxisTiling{FromStart{0}, 4, 1, 1, 1, 4, Padding::Reject, std::nullopt}});
  EXPECT_TRUE(l.padded_shape({10}).has_value());
  EXPECT_EQ(l.resolve({10}), std::unexpected(LayoutError{ShardNotDivisible{3, 4}}));
  EXPECT_EQ(l.shard_extents({10}), std::unexpected(LayoutError{ShardNotDivisible{3, 4}}));
}

TEST(Resolve, LinearLayoutSpreadsBlocksOverTiles) {
  const auto resolved = linear(3, 2).resolve({10});
  ASSERT_TRUE(resolved.has_value()) << display(resolved.error());
  EXPECT_EQ(resolved->linear_block, 2u);
  EXPECT_TRUE(resolved->axes.empty());
  EXPECT_EQ(resolved->tile_elements(0), 4u);
  EXPECT_EQ(resolved->tile_elements(1), 4u);
  EXPECT_EQ(resolved->tile_elements(2), 2u);
  EXPECT_EQ(resolved->tile_elements(3), 0u);
  EXPECT_EQ(resolved->maximum_tile_elements(), 4u);  // 2 x ceil(5 / 3)
  EXPECT_FALSE(resolved->has_empty_shards());
}

TEST(Resolve, LinearShardExtentsCutEachTileIntoRowPieces) {
  // [2, 5] in blocks of 2 over 3 tiles: tiles hold flat elements [0, 4), [4, 8), [8, 10).
  const auto boxes = linear(3, 2).shard_extents({2, 5});
  ASSERT_TRUE(boxes.has_value()) << display(boxes.error());
  const std::vector<std::pair<std::uint16_t, ShardBox>> expected = {
      {0, {shard(0, 1, 1, 0), shard(0, 4, 4, 1)}},
      {1, {shard(0, 1, 1, 0), shard(4, 5, 5, 1)}},
      {1, {shard(1, 2, 2, 0), shard(0, 3, 3, 1)}},
      {2, {shard(1, 2, 2, 0), shard(3, 5, 5, 1)}},
  };
  EXPECT_EQ(*boxes, expected);
}

TEST(Resolve, LinearShardExtentsDecomposeRowsOverLeadingAxes) {
  // [2, 3, 2] in blocks of 6 over 2 tiles: each tile holds three whole rows.
  const auto boxes = linear(2, 6).shard_extents({2, 3, 2});
  ASSERT_TRUE(boxes.has_value()) << display(boxes.error());
  std::vector<std::pair<std::uint16_t, ShardBox>> expected;
  for (std::uint32_t row = 0; row < 6; ++row) {
    const std::uint32_t outer = row / 3;
    const std::uint32_t inner = row % 3;
    expected.push_back(
        {static_cast<std::uint16_t>(row / 3),
         {shard(outer, outer + 1, outer + 1, 0), shard(inner, inner + 1, inner + 1, 1), shard(0, 2, 2, 2)}});
  }
  EXPECT_EQ(*boxes, expected);
}

TEST(Resolve, DebugTextNamesEveryField) {
  const auto resolved = layout(2, 1, {cut(FromStart{0}, 2)}).resolve({2});
  ASSERT_TRUE(resolved.has_value());
  EXPECT_EQ(debug(*resolved),
            "ResolvedLayout { padded_shape: [2], shape: [2], axes: [ResolvedAxis { shards: [ShardExtent { "
            "start: 0, "
            "end: 1, padded_end: 1, axis: 0 }, ShardExtent { start: 1, end: 2, padded_end: 2, axis: 0 }], "
            "stride: 1 "
            "}], linear_block: None, tile_count: 2, replicas: 1 }");
}

// Resolved layouts are public records: hand-built ones that resolution never produces must not
// crash the queries.
TEST(ResolvedLayout, DegenerateRecordsGiveEmptyOrSaturatedAnswers) {
  ResolvedLayout no_shards;
  no_shards.tile_count = 2;
  no_shards.axes = {ResolvedAxis{{}, 1}};
  EXPECT_EQ(no_shards.tile_elements(0), 0u);
  EXPECT_EQ(no_shards.maximum_tile_elements(), 0u);
  EXPECT_EQ(no_shards.shard_extents(), std::unexpected(LayoutError{InvalidAxisTiling{}}));

  ResolvedLayout zero_stride = no_shards;
  zero_stride.axes = {ResolvedAxis{{shard(0, 4, 4, 0)}, 0}};
  EXPECT_EQ(zero_stride.tile_elements(0), 0u);
  EXPECT_EQ(zero_stride.shard_extents(), std::unexpected(LayoutError{InvalidAxisTiling{}}));

  ResolvedLayout huge = no_shards;
  const ResolvedAxis wide{{shard(0, max_u32, max_u32, 0)}, 1};
  huge.axes = {wide, wide, wide};
  EXPECT_EQ(huge.tile_elements(0), saturated);
  EXPECT_EQ(huge.maximum_tile_elements(), saturated);

  ResolvedLayout no_axes;
  no_axes.tile_count = 1;
  EXPECT_EQ(no_axes.tile_elements(0), 1u);
  EXPECT_EQ(no_axes.maximum_tile_elements(), 1u);

  ResolvedLayout linear_layout;
  linear_layout.shape = {2, 5};
  linear_layout.padded_shape = linear_layout.shape;
  linear_layout.linear_block = 0;
  linear_layout.tile_count = 2;
  EXPECT_EQ(linear_layout.tile_elements(0), 0u);
  EXPECT_EQ(linear_layout.maximum_tile_elements(), 0u);
  EXPECT_EQ(linear_layout.shard_extents(), (std::vector<std::pair<std::uint16_t, ShardBox>>{}));
  linear_layout.linear_block = 1;
  linear_layout.tile_count = 0;
  EXPECT_EQ(linear_layout.tile_elements(0), 0u);
  EXPECT_EQ(linear_layout.maximum_tile_elements(), saturated);
  linear_layout.shape = {};
  EXPECT_EQ(linear_layout.shard_extents(), std::unexpected(LayoutError{InvalidAxisTiling{}}));
  linear_layout.shape = {0, 5};
  linear_layout.tile_count = 2;
  EXPECT_EQ(linear_layout.shard_extents(), (std::vector<std::pair<std::uint16_t, ShardBox>>{}));
  linear_layout.shape = graph::Extents(65537, 1);
  EXPECT_EQ(linear_layout.shard_extents(), std::unexpected(LayoutError{PaddedExtentOverflow{65537}}));
}

TEST(ResolvedAxis, QueriesLookAtPaddedShardSizes) {
  // Padded sizes 32, 32, 20 (the last one holding only 4 real elements).
  const ResolvedAxis axis{{shard(0, 32, 32, 0), shard(32, 64, 64, 0), shard(64, 68, 84, 0)}, 1};
  EXPECT_EQ(axis.maximum_extent(), 32u);
  EXPECT_EQ(axis.minimum_extent(), 20u);
  EXPECT_TRUE(axis.extents_are_multiple_of(4));
  EXPECT_FALSE(axis.extents_are_multiple_of(32));
  EXPECT_FALSE(axis.extents_are_multiple_of(0));
  EXPECT_TRUE(axis.complete_panels_except_tail(32));
  EXPECT_TRUE(axis.complete_panels_except_tail(16));
  EXPECT_FALSE(axis.complete_panels_except_tail(64));
  EXPECT_FALSE(axis.complete_panels_except_tail(0));

  const ResolvedAxis single{{shard(0, 5, 5, 0)}, 1};
  EXPECT_TRUE(single.complete_panels_except_tail(32));
  EXPECT_FALSE(single.extents_are_multiple_of(2));

  const ResolvedAxis empty_shards{{shard(0, 0, 0, 0), shard(0, 0, 0, 0), shard(0, 3, 3, 0)}, 1};
  EXPECT_FALSE(empty_shards.extents_are_multiple_of(0));
  EXPECT_TRUE(empty_shards.complete_panels_except_tail(0));

  const ResolvedAxis none{{}, 1};
  EXPECT_EQ(none.maximum_extent(), 0u);
  EXPECT_EQ(none.minimum_extent(), 0u);
  EXPECT_TRUE(none.extents_are_multiple_of(7));
  EXPECT_TRUE(none.complete_panels_except_tail(7));
}

// --- Tiling transformations ----------------------------------------------------------------------

TensorType typed(TensorShape shape, Layout l, ElementOrder order = RowMajor{}) {
  l.order = order;
  return TensorType{std::move(shape), TensorFormat{F16{}, std::move(l)}};
}

TEST(AxisTilingLookup, FindsTheFirstTilingOfAnAxis) {
  const TensorType type = typed({4, 6}, layout(4, 1, {cut(FromEnd{1}, 2), cut(FromStart{0}, 2)}));
  EXPECT_EQ(axis_tiling(type, 1), cut(FromEnd{1}, 2));
  EXPECT_EQ(axis_tiling(type, 0), cut(FromStart{0}, 2));
  EXPECT_EQ(axis_tiling(type, 2), std::nullopt);
  const TensorType twice = typed({4, 6}, layout(4, 1, {cut(FromEnd{1}, 2), cut(FromStart{1}, 2, 3)}));
  EXPECT_EQ(axis_tiling(twice, 1), cut(FromEnd{1}, 2));
}

TEST(SameDistribution, ComparesWhereElementsLive) {
  const Layout rows = layout(2, 1, {cut(FromStart{0}, 2)});
  const auto stride = [](std::uint16_t s) { return std::optional<std::uint16_t>(s); };
  // Identical tilings whose shards cannot be cut: neither resolves.
  const Layout unresolvable =
      layout(4, 1, {AxisTiling{FromStart{0}, 4, 1, 1, 1, 4, Padding::Reject, std::nullopt}});
  struct Case {
    std::string name;
    TensorType a;
    TensorType b;
    bool expected;
  };
  const std::vector<Case> cases = {
      {"same tiling, other element order", typed({4, 6}, rows), typed({4, 6}, rows, Amp{AmpOrder::Left}),
       true},
      {"other shape", typed({4, 6}, rows), typed({4, 8}, rows), false},
      {"other tile count", typed({4, 6}, rows), typed({4, 6}, layout(4, 2, {cut(FromStart{0}, 2)})), false},
      {"same axis named from the end", typed({4, 6}, rows), typed({4, 6}, layout(2, 1, {cut(FromEnd{2}, 2)})),
       true},
      {"same tiling that does not resolve", typed({10}, unresolvable), typed({10}, unresolvable), false},
      {"shards of one cannot be cut", typed({10}, unresolvable),
       typed({10}, layout(4, 1, {AxisTiling{FromStart{0}, 4, 1, 1, 1, 4, Padding::Zero, std::nullopt}})),
       false},
      {"one does not resolve", typed({4, 6}, rows), typed({4, 6}, layout(2, 1, {cut(FromStart{0}, 2, 3)})),
       false},
      {"other padding",
       typed({4, 100}, layout(2, 1, {cut(FromStart{0}, 2), cut(FromEnd{1}, 1, 64, 64, Padding::Zero)})),
       typed({4, 100}, layout(2, 1, {cut(FromStart{0}, 2)})), false},
      {"replicas placed differently", typed({4, 6}, layout(4, 2, {cut(FromStart{0}, 2)})),
       typed({4, 6}, layout(4, 2, {cut(FromStart{0}, 2, 1, 1, Padding::Reject, stride(1))})), false},
      {"untiled against one partition", typed({4, 6}, layout(2, 2, {})),
       typed({4, 6}, layout(2, 2, {cut(FromStart{1}, 1, 2, 2, Padding::Reject, stride(5))})), true},
      {"other split of the same axis", typed({10}, layout(2, 1, {cut(FromStart{0}, 2)})),
       typed({10}, layout(2, 1, {cut(FromStart{0}, 2, 5, 5)})), true},
      {"other block split", typed({12}, layout(2, 1, {cut(FromStart{0}, 2, 4, 4)})),
       typed({12}, layout(2, 1, {cut(FromStart{0}, 2)})), false},
      {"linear against tiled", typed({4}, linear(2, 2)), typed({4}, layout(2, 1, {cut(FromStart{0}, 2)})),
       false},
      {"same linear", typed({4}, linear(2, 2)), typed({4}, linear(2, 2)), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(same_distribution(c.a, c.b), c.expected);
    EXPECT_EQ(same_distribution(c.b, c.a), c.expected);
  }
}

TEST(ProjectTiling, CarriesAxesWithStridesAndTurnsDroppedAxesIntoReplicas) {
  // Rows over 2 (stride 1), columns over 3 (stride 2).
  const TensorType source = typed({4, 6}, layout(6, 1, {cut(FromStart{0}, 2), cut(FromEnd{1}, 3, 2, 2)}));
  const auto drop_rows = project_tiling(source, [](std::size_t axis) -> std::optional<std::size_t> {
    if (axis == 0) return std::nullopt;
    return axis + 4;
  });
  ASSERT_TRUE(drop_rows.has_value());
  EXPECT_EQ(*drop_rows, (TensorTiling{6, 2, {cut(FromStart{5}, 3, 2, 2, Padding::Reject, 2)}}));

  const auto keep_all = project_tiling(source, [](std::size_t axis) { return std::optional(axis); });
  ASSERT_TRUE(keep_all.has_value());
  EXPECT_EQ(*keep_all, (TensorTiling{6,
                                     1,
                                     {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 1),
                                      cut(FromStart{1}, 3, 2, 2, Padding::Reject, 2)}}));
}

TEST(ProjectTiling, GivesNothingWhenANumberDoesNotFit) {
  const auto identity = [](std::size_t axis) { return std::optional(axis); };
  const auto drop_all = [](std::size_t) { return std::optional<std::size_t>(); };
  struct Case {
    std::string name;
    TensorType source;
    AxisProjection projection;
  };
  const auto far = [](std::size_t) { return std::optional<std::size_t>(65536); };
  const std::vector<Case> cases = {
      {"strides fail", typed({4}, layout(2, 1, {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 0)})), identity},
      {"axis does not resolve", typed({4}, linear(2, 2)), identity},
      {"target index above 16 bits", typed({4}, layout(2, 1, {cut(FromStart{0}, 2)})), far},
      {"stride above 16 bits", typed({4, 4}, layout(0, 65535, {cut(FromStart{0}, 2), cut(FromStart{1}, 2)})),
       identity},
      {"replicas overflow", typed({4}, layout(0, 65535, {cut(FromStart{0}, 2)})), drop_all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(project_tiling(c.source, c.projection), std::nullopt);
  }
}

TEST(BroadcastOperandTiling, CoLocatesTheOperandWithTheResult) {
  // Result [4, 8]: rows over 2 (stride 1), columns over 2 (stride 2), 4 tiles.
  const TensorType result = typed({4, 8}, layout(4, 1, {cut(FromEnd{2}, 2), cut(FromEnd{1}, 2)}));
  const auto resolved_result = result.format.layout.resolve(result.shape);
  ASSERT_TRUE(resolved_result.has_value());
  struct Case {
    std::string name;
    TensorShape operand;
    std::optional<TensorTiling> expected;
  };
  const std::vector<Case> cases = {
      {"identical shape", {4, 8}, result.format.layout.tiling},
      {"row vector", {8}, TensorTiling{4, 2, {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 2)}}},
      {"unit rows", {1, 8}, TensorTiling{4, 2, {cut(FromStart{1}, 2, 1, 1, Padding::Reject, 2)}}},
      {"column vector", {4, 1}, TensorTiling{4, 2, {cut(FromStart{0}, 2, 1, 1, Padding::Reject, 1)}}},
      {"scalar", {}, TensorTiling{4, 4, {}}},
      {"extent mismatch", {3}, std::nullopt},
      {"higher rank", {1, 4, 8}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto tiling = broadcast_operand_tiling(c.operand, result);
    EXPECT_EQ(tiling, c.expected);
    if (!tiling) continue;
    // Every tile holds the operand elements its result shard reads.
    const Layout operand_layout{RowMajor{}, *tiling, MemoryClass::Ipu21Standard};
    const auto resolved = operand_layout.resolve(c.operand);
    ASSERT_TRUE(resolved.has_value()) << display(resolved.error());
    const auto operand_boxes = resolved->shard_extents();
    const auto result_boxes = resolved_result->shard_extents();
    ASSERT_TRUE(operand_boxes.has_value() && result_boxes.has_value());
    ASSERT_EQ(operand_boxes->size(), result_boxes->size());
    const std::size_t leading = result.shape.rank() - c.operand.rank();
    for (std::size_t t = 0; t < operand_boxes->size(); ++t) {
      for (std::size_t i = 0; i < c.operand.rank(); ++i) {
        const ShardExtent& o = (*operand_boxes)[t].second[i];
        const ShardExtent& r = (*result_boxes)[t].second[leading + i];
        if (c.operand[i] == 1) {
          EXPECT_EQ(o, shard(0, 1, 1, static_cast<std::uint16_t>(i)));
        } else {
          EXPECT_EQ(std::pair(o.start, o.end), std::pair(r.start, r.end)) << "tile " << t << " axis " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace ostrand::tensor

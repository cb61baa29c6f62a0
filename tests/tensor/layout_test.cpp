// The named layout constructors, checked through what they resolve to.

#include "tensor/layout.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tensor/resolved.hpp"
#include "util/debug.hpp"

namespace ostrand::tensor {
namespace {

using namespace layout_error;

// Shard start on every axis, per tile: a compact picture of which tile holds what.
std::vector<std::vector<std::uint32_t>> starts_by_tile(const Layout& layout, const TensorShape& shape) {
  const auto boxes = layout.shard_extents(shape);
  if (!boxes) {
    ADD_FAILURE() << display(boxes.error());
    return {};
  }
  std::vector<std::vector<std::uint32_t>> starts;
  for (const auto& [tile, box] : *boxes) {
    EXPECT_EQ(tile, starts.size());
    std::vector<std::uint32_t> row;
    for (const ShardExtent& s : box) row.push_back(s.start);
    starts.push_back(row);
  }
  return starts;
}

TEST(LayoutConstructors, ResolveToTheirTileGrids) {
  struct Case {
    std::string name;
    Layout layout;
    TensorShape shape;
    graph::Extents padded;
    std::vector<std::vector<std::uint32_t>> starts;
  };
  const std::vector<Case> cases = {
      {"amp_output_grid single column",
       Layout::amp_output_grid(64, 4, 4, 1, false),
       {8, 100},
       {8, 128},
       {{0, 0}, {2, 0}, {4, 0}, {6, 0}}},
      {"amp_output_grid columns fastest",
       Layout::amp_output_grid(32, 6, 3, 2, false),
       {6, 64},
       {6, 64},
       {{0, 0}, {0, 32}, {2, 0}, {2, 32}, {4, 0}, {4, 32}}},
      {"amp_output_grid rows fastest",
       Layout::amp_output_grid(32, 6, 3, 2, true),
       {6, 64},
       {6, 64},
       {{0, 0}, {2, 0}, {4, 0}, {0, 32}, {2, 32}, {4, 32}}},
      {"amp_left_result_grid single column form",
       Layout::amp_left_result_grid(64, 2, 2, 1, false),
       {4, 64},
       {4, 64},
       {{0, 0}, {2, 0}}},
      {"amp_left_parallel_grid with replicas",
       Layout::amp_left_parallel_grid(16, 8, 2, 2, 2),
       {4, 32},
       {4, 32},
       {{0, 0}, {0, 0}, {0, 16}, {0, 16}, {2, 0}, {2, 0}, {2, 16}, {2, 16}}},
      {"amp_transposed_output_grid columns fastest",
       Layout::amp_transposed_output_grid(16, 6, 2, 3, true),
       {40, 4},
       {48, 4},
       {{0, 0}, {0, 2}, {16, 0}, {16, 2}, {32, 0}, {32, 2}}},
      {"amp_transposed_left_result_grid rows fastest",
       Layout::amp_transposed_left_result_grid(16, 4, 2, 2, false),
       {32, 4},
       {32, 4},
       {{0, 0}, {16, 0}, {0, 2}, {16, 2}}},
      {"amp_transposed_left_parallel_grid",
       Layout::amp_transposed_left_parallel_grid(16, 4, 2, 1, 2),
       {32, 4},
       {32, 4},
       {{0, 0}, {16, 0}, {0, 2}, {16, 2}}},
      {"attention_key",
       Layout::attention_key(2, 3),
       {2, 100, 40},
       {2, 128, 48},
       {{0, 0, 0}, {1, 0, 0}, {0, 64, 0}, {1, 64, 0}, {0, 128, 0}, {1, 128, 0}}},
      {"attention_output",
       Layout::attention_output(2, 3),
       {2, 6, 20},
       {2, 6, 32},
       {{0, 0, 0}, {1, 0, 0}, {0, 2, 0}, {1, 2, 0}, {0, 4, 0}, {1, 4, 0}}},
      // Columns fastest, replicas next (at stride 2), rows last: each cell held by two tiles.
      {"block_major_matrix_storage with replicas",
       Layout::block_major_matrix_storage(16, 32, 2, 2, 2, MemoryClass::Ipu21Standard),
       {32, 64},
       {32, 64},
       {{0, 0}, {0, 32}, {0, 0}, {0, 32}, {16, 0}, {16, 32}, {16, 0}, {16, 32}}},
      {"transposed_block_major_matrix_storage",
       Layout::transposed_block_major_matrix_storage(16, 32, 2, 2, 1, MemoryClass::Ipu21Interleaved),
       {64, 20},
       {64, 32},
       {{0, 0}, {32, 0}, {0, 16}, {32, 16}}},
      {"row_sharded", Layout::row_sharded(3), {1, 6, 5}, {1, 6, 5}, {{0, 0, 0}, {0, 2, 0}, {0, 4, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.layout.padded_shape(c.shape), c.padded);
    EXPECT_EQ(starts_by_tile(c.layout, c.shape), c.starts);
  }
}

TEST(LayoutConstructors, AmpOutputGridTakesItsSingleColumnFormOnlyWhenAllThreeConditionsHold) {
  const Layout special = Layout::amp_output_grid(64, 4, 4, 1, true);
  EXPECT_EQ(special.tiling.axes.size(), 2u);
  EXPECT_EQ(special.tiling.axes[0].axis, TensorAxis{FromEnd{2}});
  EXPECT_EQ(special.tiling.axes[0].tile_stride, std::nullopt);
  EXPECT_EQ(special.tiling.axes[1].tile_stride, std::nullopt);
  EXPECT_EQ(special.order, ElementOrder{Amp{AmpOrder::Output}});
  EXPECT_EQ(special.memory_class, MemoryClass::Ipu21Interleaved);

  // Any one condition off gives the general grid, listed columns first with explicit strides.
  for (const Layout& general :
       {Layout::amp_output_grid(32, 4, 4, 1, true), Layout::amp_output_grid(64, 8, 4, 1, true),
        Layout::amp_output_grid(64, 8, 4, 2, true)}) {
    SCOPED_TRACE(debug(general));
    EXPECT_EQ(general.tiling.axes[0].axis, TensorAxis{FromEnd{1}});
    EXPECT_TRUE(general.tiling.axes[0].tile_stride.has_value());
  }
  // Eight tiles for four row partitions of one column do not add up.
  EXPECT_EQ(Layout::amp_output_grid(64, 8, 4, 1, true).resolve({8, 64}),
            std::unexpected(LayoutError{TileCountMismatch{8, 4}}));
}

TEST(LayoutConstructors, OverflowingTileCountsFailToResolve) {
  // The attention tile count saturates at 65535, which no longer matches the partitions.
  EXPECT_EQ(Layout::attention_key(300, 300).resolve({300, 300, 16}),
            std::unexpected(LayoutError{TileCountMismatch{65535, 90000}}));
  // The block-major tile count becomes 0: an empty tile group.
  EXPECT_EQ(
      Layout::block_major_matrix_storage(16, 16, 300, 300, 1, MemoryClass::Ipu21Standard).resolve({16, 16}),
      std::unexpected(LayoutError{EmptyTileGroup{}}));
  EXPECT_EQ(Layout::row_sharded(0).resolve({4, 4}), std::unexpected(LayoutError{EmptyTileGroup{}}));
}

}  // namespace
}  // namespace ostrand::tensor

#include "tensor/format.hpp"

#include <string>

#include <absl/hash/hash_testing.h>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/print.hpp"
#include "tensor/error.hpp"
#include "tensor/layout.hpp"
#include "util/hash.hpp"

namespace ostrand::tensor {
namespace {

TEST(Precision, ElementSizesAndIdentity) {
  EXPECT_EQ(element_bytes(F8F143{-4}), 1u);
  EXPECT_EQ(element_bytes(F16{}), 2u);
  EXPECT_EQ(element_bytes(F32{}), 4u);
  // The exponent is part of an 8-bit precision's identity.
  EXPECT_NE(Precision(F8F143{-4}), Precision(F8F143{-3}));
  EXPECT_NE(hash_of(Precision(F8F143{-4})), hash_of(Precision(F8F143{-3})));
  EXPECT_NE((TensorFormat{F8F143{-4}, Layout::row_sharded(4)}),
            (TensorFormat{F8F143{-3}, Layout::row_sharded(4)}));
  EXPECT_EQ(Precision(F16{}), Precision());
}

TEST(FormatTypes, HashingFollowsEquality) {
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({Precision(F8F143{0}), Precision(F8F143{-4}),
                                                           Precision(F8F143{4}), Precision(F16{}),
                                                           Precision(F32{})}));
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly(
      {ElementOrder(RowMajor{}), ElementOrder(Amp{AmpOrder::Left}), ElementOrder(Amp{AmpOrder::Output}),
       ElementOrder(BlockMajor{{BlockMajorKind::Matrix, 32, 16}}),
       ElementOrder(BlockMajor{{BlockMajorKind::TransposedMatrix, 32, 16}}),
       ElementOrder(BlockMajor{{BlockMajorKind::Matrix, 16, 32}})}));
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly(
      {TensorAxis(FromStart{1}), TensorAxis(FromEnd{1}), TensorAxis(FromStart{2}), TensorAxis(Linear{})}));
  const AxisTiling base = AxisTiling::simple(FromEnd{2}, 4, 1, 1, Padding::Reject);
  auto with = [&](auto change) {
    AxisTiling t = base;
    change(t);
    return t;
  };
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({
      base,
      with([](AxisTiling& t) { t.axis = FromEnd{1}; }),
      with([](AxisTiling& t) { t.partitions = 8; }),
      with([](AxisTiling& t) { t.padding_groups = 2; }),
      with([](AxisTiling& t) { t.block_size = 2; }),
      with([](AxisTiling& t) { t.padding_multiple = 2; }),
      with([](AxisTiling& t) { t.shard_padding_multiple = 2; }),
      with([](AxisTiling& t) { t.padding = Padding::Zero; }),
      with([](AxisTiling& t) { t.tile_stride = 0; }),
      with([](AxisTiling& t) { t.tile_stride = 1; }),
  }));
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({
      TensorType{{1, 8, 128}, {F16{}, Layout::row_sharded(64)}},
      TensorType{{1, 8, 128}, {F16{}, Layout::row_sharded(32)}},
      TensorType{{1, 8, 64}, {F16{}, Layout::row_sharded(64)}},
      TensorType{{1, 8, 128}, {F32{}, Layout::row_sharded(64)}},
      TensorType{{1, 8, 128}, {F16{}, Layout::amp_output_grid(64, 8, 8, 1, false)}},
      TensorType{{1, 8, 128}, {F16{}, Layout::amp_left_result_grid(64, 8, 8, 1, false)}},
  }));
}

TEST(FormatTypes, DebugTexts) {
  EXPECT_EQ(debug(Precision(F8F143{-4})), "F8F143 { scale_exponent: -4 }");
  EXPECT_EQ(debug(Precision(F16{})), "F16");
  EXPECT_EQ(debug(ElementOrder(Amp{AmpOrder::Output})), "Amp(Output)");
  EXPECT_EQ(debug(ElementOrder(RowMajor{})), "RowMajor");
  EXPECT_EQ(debug(ElementOrder(BlockMajor{{BlockMajorKind::Matrix, 32, 16}})),
            "BlockMajor(Matrix { row_block: 32, column_block: 16 })");
  EXPECT_EQ(fmt::format("{}", ElementOrder(BlockMajor{{BlockMajorKind::TransposedMatrix, 64, 16}})),
            "BlockMajor(TransposedMatrix { row_block: 64, column_block: 16 })");
  EXPECT_EQ(debug(TensorAxis(Linear{})), "Linear");
  EXPECT_EQ(debug(ShardExtent{0, 1, 2, 1}), "ShardExtent { start: 0, end: 1, padded_end: 2, axis: 1 }");
  EXPECT_EQ(
      debug(TensorType{{1, 8, 128}, {F16{}, Layout::row_sharded(64)}}),
      "TensorType { shape: TensorShape([1, 8, 128]), format: TensorFormat { precision: F16, layout: Layout { "
      "order: RowMajor, tiling: TensorTiling { tile_count: 64, replicas: 1, axes: [AxisTiling { axis: "
      "FromEnd(2), partitions: 64, padding_groups: 1, block_size: 1, padding_multiple: 1, "
      "shard_padding_multiple: 1, padding: Reject, tile_stride: None }] }, memory_class: Ipu21Standard } } "
      "}");
  EXPECT_EQ(
      debug(AxisTiling::simple(FromStart{0}, 2, 64, 64, Padding::Zero, 3)),
      "AxisTiling { axis: FromStart(0), partitions: 2, padding_groups: 1, block_size: 64, padding_multiple: "
      "64, shard_padding_multiple: 1, padding: Zero, tile_stride: Some(3) }");
}

TEST(LayoutError, Messages) {
  using namespace layout_error;
  struct Case {
    LayoutError error;
    std::string display;
    std::string debug;
  };
  const Case cases[] = {
      {NonBijectiveTileMapping{5}, "tile mapping must be a bijection over 5 active tiles",
       "NonBijectiveTileMapping(5)"},
      {InvalidOwnerEmbedding{3, 2}, "invalid owner embedding for 3 logical owners on 2 device tiles",
       "InvalidOwnerEmbedding(3, 2)"},
      {TileCountExceedsGraph{128, 64}, "layout requires 128 tiles but the graph has 64",
       "TileCountExceedsGraph(128, 64)"},
      {EmptyTileGroup{}, "layout has an empty tile group", "EmptyTileGroup"},
      {InvalidAxisTiling{}, "axis tiling must have nonzero partitions and block size", "InvalidAxisTiling"},
      {TileCountOverflow{}, "tile count calculation overflowed", "TileCountOverflow"},
      {AxisOutsideRank{FromEnd{3}, 2}, "axis FromEnd(3) is outside rank 2", "AxisOutsideRank(FromEnd(3), 2)"},
      {AxisTiledTwice{1}, "axis 1 is tiled more than once", "AxisTiledTwice(1)"},
      {ExtentNotDivisible{2, 100, 64}, "axis 2 extent 100 is not divisible by block size 64",
       "ExtentNotDivisible(2, 100, 64)"},
      {ShardNotDivisible{24, 16}, "shard extent 24 is not divisible by block size 16",
       "ShardNotDivisible(24, 16)"},
      {IndivisibleAxisExtent{3, 6, 10},
       "axis extent 10 cannot be divided into 3 padding groups and 6 partitions",
       "IndivisibleAxisExtent(3, 6, 10)"},
      {PaddedExtentOverflow{1}, "padded extent for axis 1 overflowed", "PaddedExtentOverflow(1)"},
      {TileCountMismatch{64, 32}, "layout declares 64 tiles but its tiling implies 32",
       "TileCountMismatch(64, 32)"},
      {InconsistentTileStrides{}, "tile strides do not form the declared partition and replica mapping",
       "InconsistentTileStrides"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.debug);
    EXPECT_EQ(display(c.error), c.display);
    EXPECT_EQ(debug(c.error), c.debug);
  }
}

// Axis tiling from the end with padding multiple equal to the block, as every named constructor builds.
AxisTiling from_end(std::uint16_t index, std::uint16_t partitions, std::uint32_t block, Padding padding,
                    std::optional<std::uint16_t> stride = std::nullopt) {
  return AxisTiling::simple(FromEnd{index}, partitions, block, block, padding, stride);
}

Layout layout(ElementOrder order, std::uint16_t tiles, std::uint16_t replicas, AxisTilings axes,
              MemoryClass memory) {
  return Layout{order, {tiles, replicas, std::move(axes)}, memory};
}

constexpr auto reject = Padding::Reject;
constexpr auto zero = Padding::Zero;
constexpr auto standard = MemoryClass::Ipu21Standard;
constexpr auto interleaved = MemoryClass::Ipu21Interleaved;

TEST(NamedLayouts, BuildTheirTilings) {
  struct Case {
    std::string name;
    Layout built;
    Layout expected;
  };
  const Amp amp_output{AmpOrder::Output};
  const Case cases[] = {
      {"row_sharded", Layout::row_sharded(64),
       layout(RowMajor{}, 64, 1, {from_end(2, 64, 1, reject)}, standard)},
      {"attention_key", Layout::attention_key(4, 8),
       layout(Amp{AmpOrder::TransposedRight}, 32, 1,
              {from_end(3, 4, 1, reject, 1), from_end(2, 8, 64, zero, 4), from_end(1, 1, 16, zero)},
              standard)},
      {"attention_key saturates", Layout::attention_key(300, 300),
       layout(Amp{AmpOrder::TransposedRight}, 65535, 1,
              {from_end(3, 300, 1, reject, 1), from_end(2, 300, 64, zero, 300), from_end(1, 1, 16, zero)},
              standard)},
      {"attention_output", Layout::attention_output(4, 8),
       layout(RowMajor{}, 32, 1,
              {from_end(2, 8, 1, reject, 4), from_end(3, 4, 1, reject, 1), from_end(1, 1, 16, zero)},
              standard)},
      // The single-column special case needs tiles == rows, a 64 column block and one column partition.
      {"amp_output_grid special", Layout::amp_output_grid(64, 8, 8, 1, true),
       layout(amp_output, 8, 1, {from_end(2, 8, 1, reject), from_end(1, 1, 64, zero)}, interleaved)},
      {"amp_output_grid tiles differ", Layout::amp_output_grid(64, 16, 8, 1, false),
       layout(amp_output, 16, 1, {from_end(1, 1, 64, zero, 1), from_end(2, 8, 1, reject, 1)}, interleaved)},
      {"amp_output_grid block differs", Layout::amp_output_grid(128, 8, 8, 1, false),
       layout(amp_output, 8, 1, {from_end(1, 1, 128, zero, 1), from_end(2, 8, 1, reject, 1)}, interleaved)},
      {"amp_output_grid two columns", Layout::amp_output_grid(64, 16, 8, 2, false),
       layout(amp_output, 16, 1, {from_end(1, 2, 64, zero, 1), from_end(2, 8, 1, reject, 2)}, interleaved)},
      {"amp_output_grid tile order", Layout::amp_output_grid(64, 16, 8, 2, true),
       layout(amp_output, 16, 1, {from_end(1, 2, 64, zero, 8), from_end(2, 8, 1, reject, 1)}, interleaved)},
      {"amp_left_result_grid", Layout::amp_left_result_grid(32, 16, 8, 2, false),
       layout(Amp{AmpOrder::Left}, 16, 1, {from_end(1, 2, 32, zero, 1), from_end(2, 8, 1, reject, 2)},
              interleaved)},
      {"amp_left_parallel_grid", Layout::amp_left_parallel_grid(64, 32, 8, 2, 2),
       layout(Amp{AmpOrder::Left}, 32, 2, {from_end(1, 2, 64, zero), from_end(2, 8, 1, reject)}, standard)},
      {"amp_transposed_output_grid", Layout::amp_transposed_output_grid(16, 8, 2, 4, false),
       layout(Amp{AmpOrder::TransposedOutput}, 8, 1,
              {from_end(2, 4, 16, zero, 1), from_end(1, 2, 1, reject, 4)}, interleaved)},
      {"amp_transposed_output_grid tile order", Layout::amp_transposed_output_grid(16, 8, 2, 4, true),
       layout(Amp{AmpOrder::TransposedOutput}, 8, 1,
              {from_end(2, 4, 16, zero, 2), from_end(1, 2, 1, reject, 1)}, interleaved)},
      {"amp_transposed_left_result_grid", Layout::amp_transposed_left_result_grid(16, 8, 2, 4, false),
       layout(Amp{AmpOrder::TransposedLeft}, 8, 1,
              {from_end(2, 4, 16, zero, 1), from_end(1, 2, 1, reject, 4)}, interleaved)},
      {"amp_transposed_left_parallel_grid", Layout::amp_transposed_left_parallel_grid(16, 16, 2, 2, 4),
       layout(Amp{AmpOrder::TransposedLeft}, 16, 2, {from_end(2, 4, 16, zero), from_end(1, 2, 1, reject)},
              standard)},
      // The element order's column block is always 16, whatever the tiling's column block.
      {"block_major_matrix_storage", Layout::block_major_matrix_storage(64, 128, 2, 4, 3, interleaved),
       layout(BlockMajor{{BlockMajorKind::Matrix, 64, 16}}, 24, 3,
              {from_end(1, 2, 128, zero, 1), from_end(2, 4, 64, zero)}, interleaved)},
      {"block_major_matrix_storage overflow",
       Layout::block_major_matrix_storage(64, 64, 256, 256, 1, standard),
       layout(BlockMajor{{BlockMajorKind::Matrix, 64, 16}}, 0, 1,
              {from_end(1, 256, 64, zero, 1), from_end(2, 256, 64, zero)}, standard)},
      {"transposed_block_major_matrix_storage",
       Layout::transposed_block_major_matrix_storage(32, 64, 2, 1, 1, standard),
       layout(BlockMajor{{BlockMajorKind::TransposedMatrix, 32, 16}}, 2, 1,
              {from_end(2, 2, 64, zero, 1), from_end(1, 1, 32, zero)}, standard)},
      {"transposed_block_major_matrix_storage overflow",
       Layout::transposed_block_major_matrix_storage(32, 64, 16, 64, 64, standard),
       layout(BlockMajor{{BlockMajorKind::TransposedMatrix, 32, 16}}, 0, 64,
              {from_end(2, 16, 64, zero, 1), from_end(1, 64, 32, zero)}, standard)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.built, c.expected);
  }
  EXPECT_EQ(Layout::attention_output(256, 256).tiling.tile_count, 65535);
  EXPECT_EQ(Layout::attention_output(255, 257).tiling.tile_count, 65535);
  EXPECT_EQ(Layout::attention_key(255, 256).tiling.tile_count, 65280);
}

}  // namespace
}  // namespace ostrand::tensor

#include "storage/matrix.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "util/debug.hpp"
#include "util/saturating.hpp"

namespace ostrand::storage {
namespace {

using namespace storage_error;
using tensor::AmpOrder;
using tensor::BlockMajorKind;
using tensor::BlockMajorOrder;
using tensor::F16;
using tensor::F32;
using tensor::F8F143;
using tensor::Precision;

constexpr std::uint32_t max_u32 = std::numeric_limits<std::uint32_t>::max();

MatrixCoordinate at(std::uint32_t row, std::uint32_t column) {
  return MatrixCoordinate{row, column};
}

TEST(AmpMatrixCoordinates, OutputInterleavesColumnsWithinGroupsOfSixteen) {
  const std::uint32_t interleave[] = {0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15};
  for (std::uint32_t p = 0; p < 16; ++p) {
    SCOPED_TRACE(p);
    EXPECT_EQ(amp_matrix_coordinates(AmpOrder::Output, F16{}, 2, 32, p), at(0, interleave[p]));
  }
  EXPECT_EQ(amp_matrix_coordinates(AmpOrder::Output, F16{}, 2, 32, 16), at(1, 0));
  EXPECT_EQ(amp_matrix_coordinates(AmpOrder::Output, F16{}, 2, 32, 32), at(0, 16));
  // The transpose interleaves rows instead.
  EXPECT_EQ(amp_matrix_coordinates(AmpOrder::TransposedOutput, F16{}, 32, 2, 2), at(8, 0));
  EXPECT_EQ(amp_matrix_coordinates(AmpOrder::TransposedOutput, F16{}, 32, 2, 16), at(0, 1));
  EXPECT_EQ(amp_matrix_coordinates(AmpOrder::TransposedOutput, F16{}, 32, 2, 32), at(16, 0));
}

TEST(AmpMatrixCoordinates, MapsThePositionsOfEachOrder) {
  struct Case {
    std::string name;
    AmpOrder order;
    Precision precision;
    std::uint32_t rows;
    std::uint32_t columns;
    std::uint64_t position;
    MatrixCoordinate expected;
  };
  const std::vector<Case> cases = {
      {"left: next row of the panel", AmpOrder::Left, F16{}, 3, 32, 16, at(1, 0)},
      {"left: next panel", AmpOrder::Left, F16{}, 3, 32, 48, at(0, 16)},
      {"left: F8 vectors are 32 wide", AmpOrder::Left, F8F143{-3}, 2, 32, 33, at(1, 1)},
      {"left: F32 vectors are 8 wide", AmpOrder::Left, F32{}, 3, 24, 9, at(1, 1)},
      {"transposed left: next column", AmpOrder::TransposedLeft, F16{}, 32, 3, 16, at(0, 1)},
      {"transposed left: next panel", AmpOrder::TransposedLeft, F16{}, 32, 3, 48, at(16, 0)},
      {"transposed right: within a unit", AmpOrder::TransposedRight, F16{}, 32, 32, 17, at(1, 1)},
      {"transposed right: next column group", AmpOrder::TransposedRight, F16{}, 32, 32, 256, at(0, 16)},
      {"transposed right: next strip", AmpOrder::TransposedRight, F16{}, 32, 32, 512, at(16, 0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(amp_matrix_coordinates(c.order, c.precision, c.rows, c.columns, c.position), c.expected);
  }
}

TEST(BlockMajorMatrixCoordinates, StoresBlocksRowGroupsAndColumnVectors) {
  const BlockMajorOrder order{BlockMajorKind::Matrix, 16, 16};
  struct Case {
    std::uint64_t position;
    MatrixCoordinate expected;
  };
  const Case cases[] = {{0, at(0, 0)}, {1, at(1, 0)}, {16, at(0, 1)}, {256, at(0, 16)}, {512, at(16, 0)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.position);
    EXPECT_EQ(block_major_matrix_coordinates(order, F16{}, 32, 32, c.position), c.expected);
  }
  // Two row groups per block: the second group comes before the next block.
  const BlockMajorOrder tall{BlockMajorKind::Matrix, 32, 16};
  EXPECT_EQ(block_major_matrix_coordinates(tall, F16{}, 32, 32, 256), at(16, 0));
  EXPECT_EQ(block_major_matrix_coordinates(tall, F16{}, 32, 32, 512), at(0, 16));
}

TEST(BlockMajorMatrixCoordinates, TransposedMatrixMirrorsTheMatrixOfTheTransposedShard) {
  const BlockMajorOrder matrix{BlockMajorKind::Matrix, 32, 16};
  const BlockMajorOrder transposed{BlockMajorKind::TransposedMatrix, 32, 16};
  // A 48 x 64 shard: the transposed shard is 64 x 48, whole blocks of 32 x 16.
  for (std::uint64_t p = 0; p < 48 * 64; ++p) {
    const auto mirrored = block_major_matrix_coordinates(matrix, F16{}, 64, 48, p);
    ASSERT_TRUE(mirrored.has_value());
    ASSERT_EQ(block_major_matrix_coordinates(transposed, F16{}, 48, 64, p),
              at(mirrored->column, mirrored->row))
        << "position " << p;
  }
  EXPECT_FALSE(block_major_matrix_coordinates(transposed, F16{}, 64, 48, 0).has_value());
}

// Every order stores every element of an admissible shard exactly once.
TEST(MatrixCoordinates, EveryOrderIsABijectionOntoTheShard) {
  struct Case {
    std::string name;
    std::optional<AmpOrder> amp;
    BlockMajorOrder block_major;
    Precision precision;
    std::uint32_t rows;
    std::uint32_t columns;
  };
  const std::vector<Case> cases = {
      {"left", AmpOrder::Left, {}, F16{}, 5, 48},
      {"transposed left", AmpOrder::TransposedLeft, {}, F32{}, 24, 7},
      {"transposed right", AmpOrder::TransposedRight, {}, F8F143{}, 48, 64},
      {"output", AmpOrder::Output, {}, F32{}, 3, 48},
      {"transposed output", AmpOrder::TransposedOutput, {}, F16{}, 32, 5},
      {"block major", std::nullopt, {BlockMajorKind::Matrix, 16, 32}, F32{}, 48, 64},
      {"transposed block major", std::nullopt, {BlockMajorKind::TransposedMatrix, 32, 16}, F16{}, 48, 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> seen(static_cast<std::size_t>(c.rows) * c.columns, 0);
    for (std::uint64_t p = 0; p < seen.size(); ++p) {
      const auto coordinate =
          c.amp ? amp_matrix_coordinates(*c.amp, c.precision, c.rows, c.columns, p)
                : block_major_matrix_coordinates(c.block_major, c.precision, c.rows, c.columns, p);
      ASSERT_TRUE(coordinate.has_value()) << display(coordinate.error());
      ASSERT_LT(coordinate->row, c.rows);
      ASSERT_LT(coordinate->column, c.columns);
      ++seen[std::size_t{coordinate->row} * c.columns + coordinate->column];
    }
    EXPECT_TRUE(std::ranges::all_of(seen, [](int n) { return n == 1; }));
  }
}

TEST(MatrixCoordinates, RejectsShardsTheOrderCannotHold) {
  struct Case {
    std::string name;
    std::optional<AmpOrder> amp;
    BlockMajorOrder block_major;
    Precision precision;
    std::uint32_t rows;
    std::uint32_t columns;
    std::uint64_t position;
    StorageError expected;
  };
  const BlockMajorOrder blocks{BlockMajorKind::Matrix, 16, 16};
  const std::vector<Case> cases = {
      {"left: columns not whole F16 vectors", AmpOrder::Left, {}, F16{}, 3, 24, 0, ExtentNotMultiple{24, 16}},
      {"left: panel overflows", AmpOrder::Left, {}, F16{}, 1u << 28, 16, 0, PanelSizeOverflow{}},
      {"transposed left: rows not whole vectors",
       AmpOrder::TransposedLeft,
       {},
       F16{},
       24,
       3,
       0,
       ExtentNotMultiple{24, 16}},
      {"transposed left: panel overflows",
       AmpOrder::TransposedLeft,
       {},
       F32{},
       8,
       1u << 29,
       0,
       PanelSizeOverflow{}},
      {"transposed right: columns not whole vectors",
       AmpOrder::TransposedRight,
       {},
       F32{},
       16,
       12,
       0,
       ExtentNotMultiple{12, 8}},
      {"transposed right: rows not whole units",
       AmpOrder::TransposedRight,
       {},
       F32{},
       8,
       8,
       0,
       ExtentNotMultiple{8, 16}},
      {"output: columns not whole groups", AmpOrder::Output, {}, F32{}, 2, 8, 0, ExtentNotMultiple{8, 16}},
      {"output: too many rows", AmpOrder::Output, {}, F16{}, 268435456, 16, 0, PanelSizeOverflow{}},
      {"transposed output: rows not whole groups",
       AmpOrder::TransposedOutput,
       {},
       F16{},
       8,
       2,
       0,
       ExtentNotMultiple{8, 16}},
      {"transposed output: too many columns",
       AmpOrder::TransposedOutput,
       {},
       F16{},
       16,
       268435456,
       0,
       PanelSizeOverflow{}},
      {"position past the end", AmpOrder::Output, {}, F16{}, 2, 16, 32, PositionOutOfRange{32, 32}},
      {"empty shard", AmpOrder::Left, {}, F16{}, 0, 16, 0, PositionOutOfRange{0, 0}},
      {"block major: zero row block",
       std::nullopt,
       {BlockMajorKind::Matrix, 0, 16},
       F16{},
       16,
       16,
       0,
       InvalidBlockMajorOrder{{BlockMajorKind::Matrix, 0, 16}}},
      {"block major: zero column block",
       std::nullopt,
       {BlockMajorKind::TransposedMatrix, 16, 0},
       F16{},
       16,
       16,
       0,
       InvalidBlockMajorOrder{{BlockMajorKind::TransposedMatrix, 16, 0}}},
      {"block major: row block not whole vectors",
       std::nullopt,
       {BlockMajorKind::Matrix, 8, 16},
       F16{},
       16,
       16,
       0,
       InvalidBlockMajorOrder{{BlockMajorKind::Matrix, 8, 16}}},
      {"block major: rows not whole blocks", std::nullopt, blocks, F16{}, 24, 16, 0,
       ExtentNotMultiple{24, 16}},
      {"block major: columns not whole blocks", std::nullopt, blocks, F16{}, 16, 24, 0,
       ExtentNotMultiple{24, 16}},
      {"block major: empty shard", std::nullopt, blocks, F16{}, 0, 0, 0, PositionOutOfRange{0, 0}},
      {"block major: huge shard past the end", std::nullopt, blocks, F16{}, 4294967280u, 4294967280u,
       saturated, PositionOutOfRange{saturated, 4294967280ull * 4294967280ull}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto coordinate =
        c.amp ? amp_matrix_coordinates(*c.amp, c.precision, c.rows, c.columns, c.position)
              : block_major_matrix_coordinates(c.block_major, c.precision, c.rows, c.columns, c.position);
    ASSERT_FALSE(coordinate.has_value()) << debug(*coordinate);
    EXPECT_EQ(coordinate.error(), c.expected) << debug(coordinate.error());
  }
  // The same widths are admissible with narrower vectors, and the largest panels still fit.
  EXPECT_TRUE(amp_matrix_coordinates(AmpOrder::Left, F32{}, 3, 24, 0).has_value());
  EXPECT_TRUE(amp_matrix_coordinates(AmpOrder::Left, F16{}, (1u << 28) - 1, 16, 0).has_value());
  EXPECT_TRUE(amp_matrix_coordinates(AmpOrder::Output, F16{}, 268435455, 16, 0).has_value());
  EXPECT_EQ(
      amp_matrix_coordinates(AmpOrder::Output, F16{}, 268435455, max_u32 - 15, 16ull * 268435455 * 2 + 3),
      at(0, 32 + 9));
}

TEST(StorageError, MessagesAndDebugTexts) {
  struct Case {
    StorageError error;
    std::string message;
    std::string debug_text;
  };
  const std::vector<Case> cases = {
      {ExtentNotMultiple{24, 16}, "matrix extent 24 is not a multiple of 16", "ExtentNotMultiple(24, 16)"},
      {PanelSizeOverflow{}, "matrix panel size overflowed", "PanelSizeOverflow"},
      {InvalidBlockMajorOrder{{BlockMajorKind::Matrix, 8, 16}},
       "invalid block-major order Matrix { row_block: 8, column_block: 16 }",
       "InvalidBlockMajorOrder(Matrix { row_block: 8, column_block: 16 })"},
      {PositionOutOfRange{32, 32}, "position 32 is outside a matrix of 32 elements",
       "PositionOutOfRange(32, 32)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(display(c.error), c.message);
    EXPECT_EQ(debug(c.error), c.debug_text);
  }
  EXPECT_EQ(debug(at(1, 2)), "MatrixCoordinate { row: 1, column: 2 }");
}

TEST(GemmOutputGroup, IsTheRowBlockOfPowerOfTwoBlocksSixteenWide) {
  using tensor::ElementOrder;
  struct Case {
    std::string name;
    ElementOrder order;
    std::optional<std::uint16_t> expected;
  };
  const auto block_major = [](BlockMajorKind kind, std::uint16_t rows, std::uint16_t columns) {
    return ElementOrder{tensor::BlockMajor{BlockMajorOrder{kind, rows, columns}}};
  };
  const std::vector<Case> cases = {
      {"32 x 16", block_major(BlockMajorKind::Matrix, 32, 16), 32},
      {"transposed 16 x 16", block_major(BlockMajorKind::TransposedMatrix, 16, 16), 16},
      {"largest power of two", block_major(BlockMajorKind::Matrix, 32768, 16), 32768},
      {"row block 24", block_major(BlockMajorKind::Matrix, 24, 16), std::nullopt},
      {"row block 8", block_major(BlockMajorKind::Matrix, 8, 16), std::nullopt},
      {"row block 0", block_major(BlockMajorKind::Matrix, 0, 16), std::nullopt},
      {"column block 32", block_major(BlockMajorKind::Matrix, 32, 32), std::nullopt},
      {"row major", ElementOrder{tensor::RowMajor{}}, std::nullopt},
      {"amp output", ElementOrder{tensor::Amp{AmpOrder::Output}}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.order.gemm_output_group(), c.expected);
  }
}

}  // namespace
}  // namespace ostrand::storage

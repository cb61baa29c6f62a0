#include "storage/matrix.hpp"

#include <fmt/format.h>

#include <limits>
#include <optional>

#include "util/check.hpp"
#include "util/overloaded.hpp"

namespace ostrand::storage {

namespace {

using namespace storage_error;

constexpr std::uint64_t max_u32 = std::numeric_limits<std::uint32_t>::max();
// The largest row (or column) count whose 16-wide output panel still fits 32 bits.
constexpr std::uint32_t max_output_panel_lines = 268435455;

// Storage slot k (0 to 15) of a 16-column output group holds column I(k):
// 0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15.
std::uint64_t interleaved_column(std::uint64_t slot) {
  return 2 * ((slot / 4) % 4) + 8 * ((slot / 2) % 2) + slot % 2;
}

// The failure, when `extent` is not a multiple of `multiple`.
std::optional<StorageError> not_multiple(std::uint32_t extent, std::uint32_t multiple) {
  if (extent % multiple != 0) return ExtentNotMultiple{extent, multiple};
  return std::nullopt;
}

// The failure, when `position` is not an element of the shard.
std::optional<StorageError> outside(std::uint64_t position, std::uint32_t rows, std::uint32_t columns) {
  const std::uint64_t elements = std::uint64_t{rows} * columns;
  if (position >= elements) return PositionOutOfRange{position, elements};
  return std::nullopt;
}

MatrixCoordinate coordinate(std::uint64_t row, std::uint64_t column) {
  // In range for every admissible shape and position: the mappings are bijections onto the shard.
  return MatrixCoordinate{static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(column)};
}

std::expected<MatrixCoordinate, StorageError> amp_coordinates(tensor::AmpOrder order, std::uint32_t w,
                                                              std::uint32_t rows, std::uint32_t columns,
                                                              std::uint64_t p) {
  switch (order) {
    case tensor::AmpOrder::Left: {
      // Column panels of w columns covering all rows; one row's w elements form one vector.
      if (auto e = not_multiple(columns, w)) return std::unexpected(*e);
      const std::uint64_t panel = std::uint64_t{rows} * w;
      if (panel > max_u32) return std::unexpected(PanelSizeOverflow{});
      if (auto e = outside(p, rows, columns)) return std::unexpected(*e);
      const std::uint64_t q = p / panel;
      const std::uint64_t k = p % panel;
      return coordinate(k / w, w * q + k % w);
    }
    case tensor::AmpOrder::TransposedLeft: {
      if (auto e = not_multiple(rows, w)) return std::unexpected(*e);
      const std::uint64_t panel = std::uint64_t{columns} * w;
      if (panel > max_u32) return std::unexpected(PanelSizeOverflow{});
      if (auto e = outside(p, rows, columns)) return std::unexpected(*e);
      const std::uint64_t q = p / panel;
      const std::uint64_t k = p % panel;
      return coordinate(w * q + k % w, k / w);
    }
    case tensor::AmpOrder::TransposedRight: {
      // Units of 16 rows x w columns stored row by row, ordered by column group within strips of
      // 16 rows.
      if (auto e = not_multiple(columns, w)) return std::unexpected(*e);
      if (auto e = not_multiple(rows, 16)) return std::unexpected(*e);
      if (auto e = outside(p, rows, columns)) return std::unexpected(*e);
      const std::uint64_t groups = columns / w;
      const std::uint64_t unit = p / (16 * w);
      const std::uint64_t k = p % (16 * w);
      return coordinate(16 * (unit / groups) + k / w, w * (unit % groups) + k % w);
    }
    case tensor::AmpOrder::Output: {
      // Panels of 16 columns covering all rows, row by row, columns interleaved.
      if (auto e = not_multiple(columns, 16)) return std::unexpected(*e);
      if (rows > max_output_panel_lines) return std::unexpected(PanelSizeOverflow{});
      if (auto e = outside(p, rows, columns)) return std::unexpected(*e);
      const std::uint64_t panel = 16 * std::uint64_t{rows};
      const std::uint64_t q = p / panel;
      const std::uint64_t k = p % panel;
      return coordinate(k / 16, 16 * q + interleaved_column(k % 16));
    }
    case tensor::AmpOrder::TransposedOutput: {
      if (auto e = not_multiple(rows, 16)) return std::unexpected(*e);
      if (columns > max_output_panel_lines) return std::unexpected(PanelSizeOverflow{});
      if (auto e = outside(p, rows, columns)) return std::unexpected(*e);
      const std::uint64_t panel = 16 * std::uint64_t{columns};
      const std::uint64_t q = p / panel;
      const std::uint64_t k = p % panel;
      return coordinate(16 * q + interleaved_column(k % 16), k / 16);
    }
  }
  OSTRAND_CHECK(false, "unknown AMP order");
}

// The Matrix mapping: block rows top to bottom, blocks left to right, row groups of w rows top to
// bottom, and inside a row group column by column, each column's w row elements forming one vector.
std::expected<MatrixCoordinate, StorageError> block_major_coordinates(const tensor::BlockMajorOrder& order,
                                                                      std::uint32_t w, std::uint32_t rows,
                                                                      std::uint32_t columns,
                                                                      std::uint64_t p) {
  const std::uint64_t row_block = order.row_block;
  const std::uint64_t column_block = order.column_block;
  if (row_block == 0 || column_block == 0 || row_block % w != 0) {
    return std::unexpected(InvalidBlockMajorOrder{order});
  }
  if (auto e = not_multiple(rows, order.row_block)) return std::unexpected(*e);
  if (auto e = not_multiple(columns, order.column_block)) return std::unexpected(*e);
  if (auto e = outside(p, rows, columns)) return std::unexpected(*e);
  const std::uint64_t groups = row_block / w;                      // row groups per block
  const std::uint64_t panels = (columns / column_block) * groups;  // panels per block row
  const std::uint64_t panel = p / (w * column_block);
  const std::uint64_t k = p % (w * column_block);
  const std::uint64_t in_block_row = panel % panels;
  return coordinate(row_block * (panel / panels) + w * (in_block_row % groups) + k % w,
                    column_block * (in_block_row / groups) + k / w);
}

}  // namespace

std::uint32_t vector_width(const tensor::Precision& precision) {
  return 32 / tensor::element_bytes(precision);
}

std::expected<MatrixCoordinate, StorageError> amp_matrix_coordinates(tensor::AmpOrder order,
                                                                     const tensor::Precision& precision,
                                                                     std::uint32_t rows,
                                                                     std::uint32_t columns,
                                                                     std::uint64_t position) {
  return amp_coordinates(order, vector_width(precision), rows, columns, position);
}

std::expected<MatrixCoordinate, StorageError> block_major_matrix_coordinates(
    const tensor::BlockMajorOrder& order, const tensor::Precision& precision, std::uint32_t rows,
    std::uint32_t columns, std::uint64_t position) {
  const std::uint32_t w = vector_width(precision);
  if (order.kind == tensor::BlockMajorKind::Matrix) {
    return block_major_coordinates(order, w, rows, columns, position);
  }
  // The Matrix mapping of the transposed shard, transposed back.
  OSTRAND_TRY(const MatrixCoordinate transposed, block_major_coordinates(order, w, columns, rows, position));
  return MatrixCoordinate{transposed.column, transposed.row};
}

std::string display(const StorageError& e) {
  return std::visit(
      Overloaded{
          [](const ExtentNotMultiple& v) {
            return fmt::format("matrix extent {} is not a multiple of {}", v.extent, v.multiple);
          },
          [](const PanelSizeOverflow&) -> std::string { return "matrix panel size overflowed"; },
          [](const InvalidBlockMajorOrder& v) {
            return fmt::format("invalid block-major order {}", debug(v.order));
          },
          [](const PositionOutOfRange& v) {
            return fmt::format("position {} is outside a matrix of {} elements", v.position, v.elements);
          },
      },
      e);
}

void debug_write(DebugWriter& w, const MatrixCoordinate& v) {
  w.record("MatrixCoordinate").field("row", v.row).field("column", v.column);
}

void debug_write(DebugWriter& w, const StorageError& e) {
  std::visit(Overloaded{
                 [&](const ExtentNotMultiple& v) { w.tuple("ExtentNotMultiple", v.extent, v.multiple); },
                 [&](const PanelSizeOverflow&) { w.raw("PanelSizeOverflow"); },
                 [&](const InvalidBlockMajorOrder& v) { w.tuple("InvalidBlockMajorOrder", v.order); },
                 [&](const PositionOutOfRange& v) { w.tuple("PositionOutOfRange", v.position, v.elements); },
             },
             e);
}

}  // namespace ostrand::storage

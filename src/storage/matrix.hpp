#pragma once
// Where each element of a matrix shard sits in a tile's storage for the block-major and AMP element
// orders, and which shard shapes those orders can hold at all.
//
// A shard is R rows by C columns (the padded shard sizes on the second-last and last axis); positions
// run from 0 to R x C - 1 in storage order, and the mapping gives the (row, column) stored at each.
// The matrix units load 32-byte vectors: one vector holds 32 F8F143, 16 F16 or 8 F32 elements.

#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <variant>

#include "tensor/format.hpp"
#include "util/debug.hpp"

namespace ostrand::storage {

struct MatrixCoordinate {
  std::uint32_t row = 0;
  std::uint32_t column = 0;

  bool operator==(const MatrixCoordinate&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const MatrixCoordinate& v) {
    return H::combine(std::move(h), v.row, v.column);
  }
};

namespace storage_error {
// A shard extent that is not a multiple of the vector width, of 16 or of the block.
struct ExtentNotMultiple {
  std::uint32_t extent = 0;
  std::uint32_t multiple = 0;
  bool operator==(const ExtentNotMultiple&) const = default;
};
// A panel of the order does not fit in 32 bits.
struct PanelSizeOverflow {
  bool operator==(const PanelSizeOverflow&) const = default;
};
// A block-major order with a zero block, or a row block that is not a whole number of vectors.
struct InvalidBlockMajorOrder {
  tensor::BlockMajorOrder order;
  bool operator==(const InvalidBlockMajorOrder&) const = default;
};
// A position at or beyond the shard's element count (every position of an empty shard).
struct PositionOutOfRange {
  std::uint64_t position = 0;
  std::uint64_t elements = 0;
  bool operator==(const PositionOutOfRange&) const = default;
};
}  // namespace storage_error

// Why a shard cannot be stored in an order. Callers treat every failure alike: the format cannot hold
// the tensor.
struct StorageError : std::variant<storage_error::ExtentNotMultiple, storage_error::PanelSizeOverflow,
                                   storage_error::InvalidBlockMajorOrder, storage_error::PositionOutOfRange> {
  using variant::variant;
};

// Number of elements in one 32-byte vector: 32 for F8F143, 16 for F16, 8 for F32.
[[nodiscard]] std::uint32_t vector_width(const tensor::Precision& precision);

// The (row, column) at `position` of a `rows` x `columns` shard stored in AMP order `order`.
[[nodiscard]] std::expected<MatrixCoordinate, StorageError> amp_matrix_coordinates(
    tensor::AmpOrder order, const tensor::Precision& precision, std::uint32_t rows, std::uint32_t columns,
    std::uint64_t position);

// The (row, column) at `position` of a `rows` x `columns` shard stored block by block in `order`.
[[nodiscard]] std::expected<MatrixCoordinate, StorageError> block_major_matrix_coordinates(
    const tensor::BlockMajorOrder& order, const tensor::Precision& precision, std::uint32_t rows,
    std::uint32_t columns, std::uint64_t position);

[[nodiscard]] std::string display(const StorageError& e);
void debug_write(DebugWriter& w, const MatrixCoordinate& v);
void debug_write(DebugWriter& w, const StorageError& e);

}  // namespace ostrand::storage

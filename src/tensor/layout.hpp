#pragma once
// Layouts, formats and tensor types, with the named layout constructors used by the catalogue,
// the lowering and the driver.

#include <cstdint>
#include <expected>
#include <utility>
#include <vector>

#include "graph/ids.hpp"
#include "tensor/format.hpp"
#include "util/debug.hpp"

namespace ostrand::tensor {

using graph::TensorShape;

struct ResolvedLayout;  // tensor/resolved.hpp

struct Layout {
  ElementOrder order;
  TensorTiling tiling;
  MemoryClass memory_class = MemoryClass::Ipu21Standard;

  bool operator==(const Layout&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Layout& v) {
    return H::combine(std::move(h), v.order, v.tiling, v.memory_class);
  }

  // The extents of `shape` after padding every tiled axis, once the tiling has been checked against
  // the shape; the shape unchanged for a linear layout.
  [[nodiscard]] std::expected<graph::Extents, LayoutError> padded_shape(const TensorShape& shape) const;

  // The shards of every axis and the rule that maps tile numbers to them.
  [[nodiscard]] std::expected<ResolvedLayout, LayoutError> resolve(const TensorShape& shape) const;

  // Resolves, then lists the box of every tile (ResolvedLayout::shard_extents).
  [[nodiscard]] std::expected<std::vector<std::pair<std::uint16_t, ShardBox>>, LayoutError> shard_extents(
      const TensorShape& shape) const;

  // The second axis from the end split into `tiles` partitions; row-major, standard memory.
  [[nodiscard]] static Layout row_sharded(std::uint16_t tiles);

  // Attention operands over `heads` x `sequence_partitions` tiles (tile count saturating at 65535).
  [[nodiscard]] static Layout attention_key(std::uint16_t heads, std::uint16_t sequence_partitions);
  [[nodiscard]] static Layout attention_output(std::uint16_t heads, std::uint16_t sequence_partitions);

  // AMP result grids: `row_partitions` x `column_partitions` shards over `tiles` tiles; with
  // `tile_order` the rows vary fastest in the tile number. A single column of 64-wide blocks with
  // one tile per row partition takes a simpler form.
  [[nodiscard]] static Layout amp_output_grid(std::uint32_t column_block, std::uint16_t tiles,
                                              std::uint16_t row_partitions, std::uint16_t column_partitions,
                                              bool tile_order);
  [[nodiscard]] static Layout amp_left_result_grid(std::uint32_t column_block, std::uint16_t tiles,
                                                   std::uint16_t row_partitions,
                                                   std::uint16_t column_partitions, bool tile_order);
  [[nodiscard]] static Layout amp_left_parallel_grid(std::uint32_t column_block, std::uint16_t tiles,
                                                     std::uint16_t row_partitions, std::uint16_t replicas,
                                                     std::uint16_t column_partitions);
  [[nodiscard]] static Layout amp_transposed_output_grid(std::uint32_t row_block, std::uint16_t tiles,
                                                         std::uint16_t column_partitions,
                                                         std::uint16_t row_partitions, bool tile_order);
  [[nodiscard]] static Layout amp_transposed_left_result_grid(std::uint32_t row_block, std::uint16_t tiles,
                                                              std::uint16_t column_partitions,
                                                              std::uint16_t row_partitions, bool tile_order);
  [[nodiscard]] static Layout amp_transposed_left_parallel_grid(std::uint32_t row_block, std::uint16_t tiles,
                                                                std::uint16_t column_partitions,
                                                                std::uint16_t replicas,
                                                                std::uint16_t row_partitions);

  // Block-major matrix storage (element-order column block always 16); the tile count
  // column_partitions x row_partitions x replicas is 0 when it overflows 16 bits.
  [[nodiscard]] static Layout block_major_matrix_storage(std::uint16_t row_block, std::uint16_t column_block,
                                                         std::uint16_t column_partitions,
                                                         std::uint16_t row_partitions, std::uint16_t replicas,
                                                         MemoryClass memory_class);
  [[nodiscard]] static Layout transposed_block_major_matrix_storage(
      std::uint16_t row_block, std::uint16_t column_block, std::uint16_t column_partitions,
      std::uint16_t row_partitions, std::uint16_t replicas, MemoryClass memory_class);
};

struct TensorFormat {
  Precision precision;
  Layout layout;

  bool operator==(const TensorFormat&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const TensorFormat& v) {
    return H::combine(std::move(h), v.precision, v.layout);
  }
};

struct TensorType {
  TensorShape shape;
  TensorFormat format;

  bool operator==(const TensorType&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const TensorType& v) {
    return H::combine(std::move(h), v.shape, v.format);
  }
};

void debug_write(DebugWriter& w, const Layout& v);
void debug_write(DebugWriter& w, const TensorFormat& v);
void debug_write(DebugWriter& w, const TensorType& v);

}  // namespace ostrand::tensor

#pragma once
// A layout resolved against a concrete shape: the exact element range of every shard on every axis,
// with and without padding, and the rule that maps tile numbers to shards. Also the tiling
// transformations used when an operand is broadcast into a result or a tiling is carried over to
// another tensor.
//
// Tile-to-shard rule of a non-linear layout: tile t holds, on each axis, shard number
// (t / stride) mod (number of shards). Tiles that map to the same shard on every axis hold replicas
// of the same data.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <absl/functional/function_ref.h>

#include "graph/ids.hpp"
#include "tensor/error.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"
#include "util/small_vector.hpp"

namespace ostrand::tensor {

// The axis index that `axis` names in a tensor of rank `rank`: FromStart(v) is v when v < rank,
// FromEnd(v) is rank - v when 1 <= v <= rank; anything else (Linear included) does not resolve.
[[nodiscard]] std::optional<std::size_t> resolve_axis(const TensorAxis& axis, std::size_t rank);

// Whether `strides` (one per axis tiling, see TensorTiling::axis_strides) trivially give every shard
// exactly `replicas` tiles: sorted by (stride, partitions) they form a mixed-radix numbering whose
// smallest stride divides the replica count.
[[nodiscard]] bool has_regular_tile_mapping(const TensorTiling& tiling,
                                            std::span<const std::uint32_t> strides);

// One shard of one axis: real data in [start, end), padding up to padded_end.
struct ShardBounds {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t padded_end = 0;

  bool operator==(const ShardBounds&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ShardBounds& v) {
    return H::combine(std::move(h), v.start, v.end, v.padded_end);
  }
};

struct ResolvedAxis {
  // One shard per partition, in partition order; exactly one for an axis that is not tiled.
  std::vector<ShardExtent> shards;
  // Tile-number distance between consecutive shards; 1 for an axis that is not tiled.
  std::uint32_t stride = 1;

  // Largest and smallest padded shard size (padded_end - start); 0 without shards.
  [[nodiscard]] std::uint32_t maximum_extent() const;
  [[nodiscard]] std::uint32_t minimum_extent() const;
  // Every padded shard size is a multiple of `multiple` (for 0: every size is 0).
  [[nodiscard]] bool extents_are_multiple_of(std::uint32_t multiple) const;
  // Every shard but the last holds whole panels of `panel` elements (for 0: is empty); true with
  // fewer than two shards.
  [[nodiscard]] bool complete_panels_except_tail(std::uint32_t panel) const;

  bool operator==(const ResolvedAxis&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ResolvedAxis& v) {
    return H::combine(std::move(h), v.shards, v.stride);
  }
};

struct ResolvedLayout {
  using ShardBox = tensor::ShardBox;

  // Extents after padding (equal to `shape` for a linear layout).
  graph::Extents padded_shape;
  // The unpadded extents.
  graph::Extents shape;
  // One per tensor axis, in axis order; empty for a linear layout.
  std::vector<ResolvedAxis> axes;
  // Present only for a linear layout: its block size.
  std::optional<std::uint32_t> linear_block;
  std::uint16_t tile_count = 0;
  std::uint16_t replicas = 1;

  // Every (tile number, box) pair. A non-linear layout gives one box per tile. A linear layout cuts
  // each tile's run of the flat row-major tensor into pieces of at most one row, one box per piece.
  [[nodiscard]] std::expected<std::vector<std::pair<std::uint16_t, ShardBox>>, LayoutError> shard_extents()
      const;

  // Elements held by `tile`, padding included; 0 for a tile number at or above the tile count.
  [[nodiscard]] std::uint64_t tile_elements(std::uint32_t tile) const;
  // An upper bound of tile_elements over all tiles (product of the largest shards), saturating.
  [[nodiscard]] std::uint64_t maximum_tile_elements() const;
  // Whether some shard of some axis holds no real data.
  [[nodiscard]] bool has_empty_shards() const;

  bool operator==(const ResolvedLayout&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ResolvedLayout& v) {
    return H::combine(std::move(h), v.padded_shape, v.shape, v.axes, v.linear_block, v.tile_count,
                      v.replicas);
  }
};

// The first axis tiling of `type` whose axis resolves to `axis`, or nothing.
[[nodiscard]] std::optional<AxisTiling> axis_tiling(const TensorType& type, std::size_t axis);

// Whether the two tensor types place the same elements on the same tiles (element order, precision
// and memory class are not compared).
[[nodiscard]] bool same_distribution(const TensorType& a, const TensorType& b);

// Maps a source axis index to the target axis it becomes, or nothing when the axis disappears.
using AxisProjection = absl::FunctionRef<std::optional<std::size_t>(std::size_t)>;

// The tiling of `source` carried over to another tensor through `projection`: every projected axis
// keeps its tiling with an explicit stride, and the partitions of axes that disappear become
// replication. Nothing when the source strides fail or a number does not fit.
[[nodiscard]] std::optional<TensorTiling> project_tiling(const TensorType& source, AxisProjection projection);

// The tiling an operand of shape `operand`, broadcast into `result`, must have to be co-located with
// the result; nothing when the operand does not broadcast into the result's shape.
[[nodiscard]] std::optional<TensorTiling> broadcast_operand_tiling(const TensorShape& operand,
                                                                   const TensorType& result);

void debug_write(DebugWriter& w, const ShardBounds& v);
void debug_write(DebugWriter& w, const ResolvedAxis& v);
void debug_write(DebugWriter& w, const ResolvedLayout& v);

}  // namespace ostrand::tensor

#pragma once
// Data movement of a layout change, measured without building a program. When a tensor changes
// layout every shard of the new layout is assembled from pieces of the old shards: pieces already on
// the right tile are copied locally, the rest travel over the exchange. `conversion_traffic` counts,
// per tile, the bytes and pieces sent and received and what stays local; `grid_fragments` counts the
// contiguous runs the busiest shard must be cut into when the element order stays the same.
//
// Only the placement of elements matters here (element orders only to `grid_fragments`). Counts are
// unsigned 64-bit and saturate at 2^64 - 1.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "tensor/error.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"
#include "util/small_vector.hpp"

namespace ostrand::estimate {

// The load of one tile on one side of the exchange.
struct ExchangeEndpointLoad {
  std::uint64_t bytes = 0;   // sent (source side) or received (destination side)
  std::uint64_t pieces = 0;  // pieces sent or received
  std::uint64_t cycles = 0;  // fixed handling: 2 per piece sent, 3 per piece received

  bool operator==(const ExchangeEndpointLoad&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ExchangeEndpointLoad& v) {
    return H::combine(std::move(h), v.bytes, v.pieces, v.cycles);
  }
};

// Per-tile loads indexed by tile number. Each list is as long as its highest loaded tile plus one;
// tiles in between without load have an all-zero entry.
struct ExchangeEndpointTraffic {
  std::vector<ExchangeEndpointLoad> sources;
  std::vector<ExchangeEndpointLoad> destinations;

  // The most bytes any tile sends or receives (0 without loads).
  [[nodiscard]] std::uint64_t maximum_payload_bytes() const;

  bool operator==(const ExchangeEndpointTraffic&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ExchangeEndpointTraffic& v) {
    return H::combine(std::move(h), v.sources, v.destinations);
  }
};

struct ConversionTraffic {
  ExchangeEndpointTraffic endpoints;
  // The largest total of one destination shard (all its pieces, local or not).
  std::uint64_t destination_shard_bytes = 0;
  // The most bytes one destination tile finds already on itself.
  std::uint64_t local_tile_bytes = 0;
  // The most pieces one destination shard is made of.
  std::uint64_t destination_shard_pieces = 0;
  // The most pieces one destination tile finds already on itself.
  std::uint64_t local_tile_pieces = 0;

  bool operator==(const ConversionTraffic&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ConversionTraffic& v) {
    return H::combine(std::move(h), v.endpoints, v.destination_shard_bytes, v.local_tile_bytes,
                      v.destination_shard_pieces, v.local_tile_pieces);
  }
};

// A half-open element range [first, second) on one axis, and a box of one range per axis.
using Range = std::pair<std::uint32_t, std::uint32_t>;
using RangeBox = SmallVector<Range, 4>;

// The boxes held by the tiles of a layout, as listed by `Layout::shard_extents`.
using TileBoxes = std::vector<std::pair<std::uint16_t, tensor::ShardBox>>;

// The largest contiguous run that one exchange fragment carries.
inline constexpr std::uint64_t fragment_bytes = 16592;

// The traffic of re-laying a tensor of `shape` and `precision` from `source` to `target`; fails when
// either layout cannot be cut into shards on the shape.
[[nodiscard]] std::expected<ConversionTraffic, tensor::LayoutError> conversion_traffic(
    const tensor::TensorShape& shape, const tensor::Precision& precision, const tensor::Layout& source,
    const tensor::Layout& target);

// The traffic of assembling the `target` boxes from the `source` boxes. Only real data moves (the
// start and end of every extent; padding never travels). Each piece that some destination tile lacks
// is sent once, by the lowest-numbered tile holding its source box, and received by every
// destination tile that lacks it. Distinct target boxes must not share real data, as the boxes of a
// layout never do.
[[nodiscard]] ConversionTraffic shard_traffic(const TileBoxes& source, const TileBoxes& target,
                                              std::uint64_t bytes_per_element);

// The per-axis intersection of two boxes; nothing when it is empty on some axis or when the boxes
// have different numbers of axes.
[[nodiscard]] std::optional<RangeBox> intersect_ranges(std::span<const Range> a, std::span<const Range> b);

// The (start, padded end) of every shard of every axis, in axis order and partition order.
using SegmentLists = std::vector<std::vector<Range>>;

// The number of fragments of the busiest shard when a tensor keeps its element order but changes
// its tiling; nothing for different shapes, precisions or orders, unresolvable or linear layouts,
// orders other than row-major, AMP left and AMP output, and AMP groups cut off their boundaries.
[[nodiscard]] std::optional<std::uint64_t> grid_fragments(const tensor::TensorType& source,
                                                          const tensor::TensorType& target);

// The fragments needed to cut the busiest shard of `a` along the shard boundaries of `b`, with
// `bytes_per_element` bytes per element.
[[nodiscard]] std::uint64_t endpoint_fragments(const SegmentLists& a, const SegmentLists& b,
                                               std::uint64_t bytes_per_element);

void debug_write(DebugWriter& w, const ExchangeEndpointLoad& v);
void debug_write(DebugWriter& w, const ExchangeEndpointTraffic& v);
void debug_write(DebugWriter& w, const ConversionTraffic& v);

}  // namespace ostrand::estimate

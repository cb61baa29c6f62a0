#pragma once
// Precision conversions on one tile: their cycle count, and the split of an in-place 8-bit cast into
// chunks whose staging fits the tile's exchange buffers.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "graph/ids.hpp"
#include "tensor/format.hpp"
#include "util/debug.hpp"

namespace ostrand::kernel {

// Cycles to convert `elements` elements from one precision to another. `group` is the element
// grouping of the output order that an F16 to 8-bit conversion works in (0 for an ungrouped order).
// Conversions without a dedicated kernel (equal precisions included) are priced as byte moves.
[[nodiscard]] std::uint64_t cast_cycles(const tensor::Precision& from, const tensor::Precision& to,
                                        std::uint64_t elements, std::uint64_t group);

// The chunks of an in-place cast: half-open element ranges along one axis of the tensor, in order,
// each small enough for the cast's staging buffer.
struct CastChunks {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
  std::size_t axis = 0;

  // The chunks of a tensor of `shape` stored in `order`; empty when the order or the shape cannot be
  // cast in place chunk by chunk (only row-major vectors and matrices and AMP left operands can).
  [[nodiscard]] static std::optional<CastChunks> create(const tensor::ElementOrder& order,
                                                        const graph::TensorShape& shape);

  bool operator==(const CastChunks&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const CastChunks& v) {
    return H::combine(std::move(h), v.ranges, v.axis);
  }
};

void debug_write(DebugWriter& w, const CastChunks& v);

}  // namespace ostrand::kernel

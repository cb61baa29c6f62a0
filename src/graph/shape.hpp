#pragma once
// Shape inference: the result shape of every operation kind, the broadcasting rule several kinds
// share, and the check that values are known to the graph.

#include <cstdint>
#include <expected>
#include <map>
#include <span>
#include <string>

#include "graph/error.hpp"
#include "graph/ids.hpp"
#include "graph/operation.hpp"

namespace ostrand::graph {

// Two extents that cannot be broadcast: the left one, then the right one.
struct BroadcastError {
  std::uint32_t left = 0;
  std::uint32_t right = 0;
  bool operator==(const BroadcastError&) const = default;
};

// "dimensions {} and {} cannot be broadcast"
[[nodiscard]] std::string display(const BroadcastError& e);
void debug_write(DebugWriter& w, const BroadcastError& e);

using ValueShapes = std::map<ValueId, TensorShape>;

// Aligns the two extent lists at their last extent (missing leading extents count as 1); equal
// extents stay, an extent of 1 yields the other one, anything else fails at the first such position
// from the outermost.
[[nodiscard]] std::expected<Extents, BroadcastError> broadcast_shape(std::span<const std::uint32_t> left,
                                                                     std::span<const std::uint32_t> right);

// The result shape of `kind` applied to `operands` (looked up in `shapes`), or the rule's message.
[[nodiscard]] std::expected<TensorShape, std::string> infer_shape(const OperationKind& kind,
                                                                  std::span<const ValueId> operands,
                                                                  const ValueShapes& shapes);

// Success, or UnknownValue for the first value (in list order) without a shape.
[[nodiscard]] std::expected<void, GraphError> validate_inputs(const ValueShapes& shapes,
                                                              std::span<const ValueId> values);

}  // namespace ostrand::graph

#pragma once
// Per-tile sizes of laid-out tensors.

#include <cstdint>

#include "tensor/layout.hpp"

namespace ostrand::estimate {

// Bytes of the largest shard of `tensor` (padding included); the saturated value when its layout
// does not resolve, so that it never fits a budget.
[[nodiscard]] std::uint64_t maximum_shard_bytes(const tensor::TensorType& tensor);

}  // namespace ostrand::estimate

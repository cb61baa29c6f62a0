#include "estimate/tensor.hpp"

#include "tensor/resolved.hpp"
#include "util/saturating.hpp"

namespace ostrand::estimate {

std::uint64_t maximum_shard_bytes(const tensor::TensorType& tensor) {
  const auto resolved = tensor.format.layout.resolve(tensor.shape);
  if (!resolved) return saturated;
  return sat_mul(resolved->maximum_tile_elements(), tensor::element_bytes(tensor.format.precision));
}

}  // namespace ostrand::estimate

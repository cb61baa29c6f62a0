#include "planner/cache.hpp"

namespace ostrand::planner {

Fragment FragmentCache::get(const OperatorPlan& plan, std::span<const tensor::TensorType> inputs,
                            const tensor::TensorType& output) const {
  // The key is built before the cache's lock is taken, and the build runs outside it.
  Key key{plan, std::vector<tensor::TensorType>(inputs.begin(), inputs.end()), output};
  return fragments_.get(std::move(key), [&] { return build_(plan, inputs, output); });
}

}  // namespace ostrand::planner

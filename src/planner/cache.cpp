#include "planner/cache.hpp"

namespace ostrand::planner {

Fragment FragmentCache::get(const OperatorPlan& plan, std::span<const tensor::TensorType> inputs,
                            const tensor::TensorType& output) const {
  // The key is copied before locking so that the critical section only hashes, probes and inserts.
  Key key{plan, std::vector<tensor::TensorType>(inputs.begin(), inputs.end()), output};
  std::shared_ptr<Cell> cell;
  {
    const std::lock_guard lock(mutex_);
    auto [entry, inserted] = fragments_.try_emplace(std::move(key), nullptr);
    if (inserted) entry->second = std::make_shared<Cell>();
    cell = entry->second;
  }
  // The build runs outside the map lock; callers of the same key wait here for the one build.
  std::call_once(cell->built, [&] { cell->fragment = build_(plan, inputs, output); });
  return cell->fragment;
}

}  // namespace ostrand::planner

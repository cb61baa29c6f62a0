#pragma once
// The fragment cache: every distinct (plan, input types, output type) is lowered and estimated at
// most once per cache, failures included, and every caller of one key receives the same program.
// Safe to share between threads: a lock guards only the map; each entry is a once-initialised cell,
// so different keys build in parallel and concurrent callers of one key wait for its single build.

#include <functional>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "planner/fragments.hpp"
#include "planner/operator.hpp"
#include "tensor/layout.hpp"
#include "util/once_cache.hpp"

namespace ostrand::planner {

class FragmentCache {
 public:
  // How a missing entry is built; build_fragment unless a caller substitutes another.
  using Build = std::function<Fragment(const OperatorPlan&, std::span<const tensor::TensorType>,
                                       const tensor::TensorType&)>;

  FragmentCache() : FragmentCache(build_fragment) {}
  explicit FragmentCache(Build build) : build_(std::move(build)) {}

  FragmentCache(const FragmentCache&) = delete;
  FragmentCache& operator=(const FragmentCache&) = delete;

  // The fragment of `plan` for these input types (in operand order) and output type: built on the
  // first request, then shared; nothing when the plan cannot be lowered.
  [[nodiscard]] Fragment get(const OperatorPlan& plan, std::span<const tensor::TensorType> inputs,
                             const tensor::TensorType& output) const;

 private:
  struct Key {
    OperatorPlan plan;
    std::vector<tensor::TensorType> inputs;
    tensor::TensorType output;

    bool operator==(const Key&) const = default;
    template <class H>
    friend H AbslHashValue(H h, const Key& v) {
      return H::combine(std::move(h), v.plan, v.inputs, v.output);
    }
  };

  Build build_;
  OnceCache<Key, Fragment> fragments_;
};

}  // namespace ostrand::planner

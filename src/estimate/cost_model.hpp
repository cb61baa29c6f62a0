#pragma once
// The IPU21 cost of moving data that no operator plan prices: giving a tensor another layout (a
// rearrangement, with its exchange share) and casting a tensor to another precision.
//
// The questions go through the `CostModel` interface, so the planner can be handed the plain model
// (`Ipu21CostModel`, stateless and freely shared) or a memoizing wrapper (`MemoizedCostModel`, one
// per region search, safe to call from the workers that evaluate candidate plans in parallel).
//
// All arithmetic is unsigned 64-bit and saturating. A rearrangement the model cannot estimate is
// not an absent value but costs `no_estimate_cycles` in both fields, which callers add and compare
// like any other cost.

#include <concepts>
#include <cstdint>
#include <memory>
#include <utility>

#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"
#include "util/once_cache.hpp"

namespace ostrand::estimate {

// The cost of a rearrangement that cannot be estimated: 2^61 - 1 cycles. Small enough that a few
// of them still add up without saturating, large enough that any real cost is cheaper.
inline constexpr std::uint64_t no_estimate_cycles = (std::uint64_t{1} << 61) - 1;

// How the data of a rearrangement is copied.
enum class CopyPolicy : std::uint8_t {
  // Chosen from the two element orders: SameOrder when they are equal, otherwise ThroughRowMajor.
  Automatic,
  // General copy through a staging buffer; no condition on the orders.
  Reorder,
  // Elements keep their order: only the data not already in place moves, by contiguous fragments.
  SameOrder,
  // An order change where one side is row-major; priced like Reorder.
  ThroughRowMajor,
};

struct RearrangementCost {
  std::uint64_t cycles = 0;           // local copying plus exchange
  std::uint64_t exchange_cycles = 0;  // the exchange share of `cycles`

  // The cost of a rearrangement that cannot be estimated.
  [[nodiscard]] static constexpr RearrangementCost no_estimate() {
    return {no_estimate_cycles, no_estimate_cycles};
  }

  bool operator==(const RearrangementCost&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const RearrangementCost& v) {
    return H::combine(std::move(h), v.cycles, v.exchange_cycles);
  }
};

class CostModel {
 public:
  virtual ~CostModel() = default;

  // Cycles to give a tensor of `shape` and `precision` the layout `target` instead of `source`,
  // copying as `policy` says.
  [[nodiscard]] virtual RearrangementCost rearrangement_cost(const tensor::TensorShape& shape,
                                                             const tensor::Precision& precision,
                                                             CopyPolicy policy, const tensor::Layout& source,
                                                             const tensor::Layout& target) const = 0;

  // Cycles to convert every element of `tensor`, in its present layout, to `target`.
  [[nodiscard]] virtual std::uint64_t cast_cycles(const tensor::TensorType& tensor,
                                                  const tensor::Precision& target) const = 0;

  // Cycles of a cast of `source` whose result has the format `target`: the cast is priced as if it
  // ran on the target layout. Defined once here in terms of `cast_cycles`, for every model.
  [[nodiscard]] std::uint64_t cast_format_cycles(const tensor::TensorType& source,
                                                 const tensor::TensorFormat& target) const;

 protected:
  CostModel() = default;
  CostModel(const CostModel&) = default;
  CostModel& operator=(const CostModel&) = default;
};

// The IPU21 model. Holds no data: every answer is a pure function of the arguments.
class Ipu21CostModel final : public CostModel {
 public:
  // Local copying plus exchange, from the traffic of the layout change. The exchange moves 4 bytes
  // per cycle after a fixed 600 cycles, bounded below by the per-tile handling of its pieces (or,
  // for an order-keeping move, of its contiguous fragments); local copying moves 8 bytes per cycle
  // plus 288 cycles per piece.
  [[nodiscard]] RearrangementCost rearrangement_cost(const tensor::TensorShape& shape,
                                                     const tensor::Precision& precision, CopyPolicy policy,
                                                     const tensor::Layout& source,
                                                     const tensor::Layout& target) const override;

  // The tile kernel cast over the largest shard, with the scale group its element order implies.
  [[nodiscard]] std::uint64_t cast_cycles(const tensor::TensorType& tensor,
                                          const tensor::Precision& target) const override;
};

// The arguments of one rearrangement question, as the memo's key.
struct RearrangementKey {
  tensor::TensorShape shape;
  tensor::Precision precision;
  CopyPolicy policy = CopyPolicy::Automatic;
  tensor::Layout source;
  tensor::Layout target;

  bool operator==(const RearrangementKey&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const RearrangementKey& v) {
    return H::combine(std::move(h), v.shape, v.precision, v.policy, v.source, v.target);
  }
};

// Answers like `Inner`, remembering every rearrangement cost it has computed. Each key is computed
// once: the lock guards only finding or inserting the key's once-initialised cell, the first caller
// fills the cell outside the lock, and callers asking for the same key meanwhile wait for that one
// computation. Different keys compute in parallel. Entries are never removed or iterated, so the
// hasher's seed has no influence on any result. Casts are cheap and forwarded uncached.
template <class Inner>
requires std::derived_from<Inner, CostModel>
class MemoizedCostModel final : public CostModel {
 public:
  MemoizedCostModel() = default;
  explicit MemoizedCostModel(Inner inner) : inner_(std::move(inner)) {}

  [[nodiscard]] const Inner& inner() const { return inner_; }

  [[nodiscard]] RearrangementCost rearrangement_cost(const tensor::TensorShape& shape,
                                                     const tensor::Precision& precision, CopyPolicy policy,
                                                     const tensor::Layout& source,
                                                     const tensor::Layout& target) const override {
    return cache_.get(RearrangementKey{shape, precision, policy, source, target},
                      [&] { return inner_.rearrangement_cost(shape, precision, policy, source, target); });
  }

  [[nodiscard]] std::uint64_t cast_cycles(const tensor::TensorType& tensor,
                                          const tensor::Precision& target) const override {
    return inner_.cast_cycles(tensor, target);
  }

 private:
  Inner inner_;
  OnceCache<RearrangementKey, RearrangementCost> cache_;
};

void debug_write(DebugWriter& w, CopyPolicy v);
void debug_write(DebugWriter& w, const RearrangementCost& v);
void debug_write(DebugWriter& w, const RearrangementKey& v);

}  // namespace ostrand::estimate

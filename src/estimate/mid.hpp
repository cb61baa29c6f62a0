#pragma once
// Estimation of mid-level programs: the cycles and exchange of every operation, and the per-tile
// memory that the program's live values and temporaries occupy on the busiest tile at the worst
// moment, per memory class.
//
// The estimate record (MidEstimate, MemoryPeaks) lives with the program so that a program can carry
// it; this layer computes it. Re-estimating a program is `refresh_estimates`, offered here rather
// than by the program itself because the program sits below the cost formulas.

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "mid/estimate_record.hpp"
#include "mid/program.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"

namespace ostrand::estimate {

using mid::MemoryPeaks;
using mid::MidEstimate;

// The cost of one execution of one operation.
struct OperationCost {
  std::uint64_t cycles = 0;
  std::uint64_t exchange = 0;
  // Scratch bytes on the tile that holds the largest output shard; other tiles of the output are
  // charged in proportion to their share.
  std::uint64_t temporary_standard = 0;
  std::uint64_t temporary_interleaved = 0;
  std::uint64_t exchange_rows = 0;

  bool operator==(const OperationCost&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const OperationCost& v) {
    return H::combine(std::move(h), v.cycles, v.exchange, v.temporary_standard, v.temporary_interleaved,
                      v.exchange_rows);
  }
};

void debug_write(DebugWriter& w, const OperationCost& v);

// One operation of the execution sequence and the number of times it runs.
using FlatOperation = std::pair<const mid::MidOperation*, std::uint64_t>;

// Appends `operations` in execution order, each with `multiplier` times its repeat counts: a
// repeat's body comes first (multiplied by the repeat's count, saturating), then the repeat itself.
// The pointers refer into `operations`.
void flatten(std::span<const mid::MidOperation> operations, std::uint64_t multiplier,
             std::vector<FlatOperation>& out);

// The tensor one tile holds: the format unchanged and the shape of the largest shard (padding
// included); a linear layout gives a one-axis shape of its largest tile. Nothing when the layout
// does not resolve or a linear tile does not fit 32 bits.
[[nodiscard]] std::optional<tensor::TensorType> local_tensor(const tensor::TensorType& tensor);

// The cost of `operation` over the program values `values`; nothing when it cannot be costed.
[[nodiscard]] std::optional<OperationCost> operation_cost(const mid::MidOperation& operation,
                                                          std::span<const mid::MidValue> values);

// The estimate of `program` as it runs: total cycles and exchange, and its memory peaks. Nothing when
// a value does not resolve or does not fit the program's tiles, an owner map does not place a tile,
// or an operation cannot be costed.
[[nodiscard]] std::optional<MidEstimate> analyze_observed(const mid::MidProgram& program);

// Validates `program` and, when it is valid and can be estimated, stores its estimate and returns
// true. Otherwise returns false and leaves the stored estimate unchanged.
bool refresh_estimates(mid::MidProgram& program);

}  // namespace ostrand::estimate

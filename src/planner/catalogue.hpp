#pragma once
// The operator catalogue: the fixed list of operator implementations the planner may instantiate.
// Each entry is either a ready plan for one active tile count, with a rule for adapting its output
// layout to the actual operation, or a split-reduction GEMM template from which candidate planning
// generates plans on the fly.

#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "graph/operation.hpp"
#include "mid/staging.hpp"
#include "planner/operator.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"
#include "util/hash.hpp"

namespace ostrand::planner {

namespace output_policy {
// The plan is used exactly as stored.
struct Fixed {
  bool operator==(const Fixed&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Fixed&) {
    return h;
  }
};
// The output layout is rebuilt from the result shape, spreading the tiles over the leading axes and
// then over 8-byte word groups of the last axis.
struct DistributeAllAxes {
  bool operator==(const DistributeAllAxes&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const DistributeAllAxes&) {
    return h;
  }
};
// As DistributeAllAxes, but the last axis is never split.
struct DistributeLeadingAxes {
  bool operator==(const DistributeLeadingAxes&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const DistributeLeadingAxes&) {
    return h;
  }
};
// The output takes the format of operand `operand`.
struct FollowOperand {
  std::uint16_t operand = 0;
  bool operator==(const FollowOperand&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const FollowOperand& v) {
    return H::combine(std::move(h), v.operand);
  }
};

void debug_write(DebugWriter& w, const Fixed& v);
void debug_write(DebugWriter& w, const DistributeAllAxes& v);
void debug_write(DebugWriter& w, const DistributeLeadingAxes& v);
void debug_write(DebugWriter& w, const FollowOperand& v);
}  // namespace output_policy

struct OutputPolicy : std::variant<output_policy::Fixed, output_policy::DistributeAllAxes,
                                   output_policy::DistributeLeadingAxes, output_policy::FollowOperand> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const OutputPolicy& v) {
    return hash_variant(std::move(h), v);
  }
};

// A ready plan and how its output layout follows the operation it is used for.
struct ConcreteOperatorCandidate {
  OperatorPlan plan;
  OutputPolicy output_policy;

  bool operator==(const ConcreteOperatorCandidate&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ConcreteOperatorCandidate& v) {
    return H::combine(std::move(h), v.plan, v.output_policy);
  }
};

// A split-reduction GEMM template: candidate planning generates its plans for the actual shapes.
struct ParallelGemmCandidate {
  graph::GemmOptions options;
  tensor::Precision multiply;
  std::uint16_t tile_count = 0;
  mid::AccumulationPrecision accumulate = mid::AccumulationPrecision::F16;

  bool operator==(const ParallelGemmCandidate&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ParallelGemmCandidate& v) {
    return H::combine(std::move(h), v.options, v.multiply, v.tile_count, v.accumulate);
  }
};

// One catalogue entry: `Concrete` or `ParallelGemm`.
struct OperatorCandidate : std::variant<ConcreteOperatorCandidate, ParallelGemmCandidate> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const OperatorCandidate& v) {
    return hash_variant(std::move(h), v);
  }
};

// The active tile counts catalogue entries are generated for: `tile_count` itself, then the powers
// of two from the largest one not above it down to 1, without repeats ([0] for 0).
[[nodiscard]] std::vector<std::uint16_t> candidate_active_tile_counts(std::uint16_t tile_count);

// The catalogue for one active tile count, ending with one split-reduction GEMM template.
[[nodiscard]] std::vector<OperatorCandidate> operator_candidates_for_tile_count(std::uint16_t tile_count);

// `entries` without the entries that equal an earlier one (equal plans under the same output policy,
// for FollowOperand with the same operand), keeping the first of each in order.
[[nodiscard]] std::vector<ConcreteOperatorCandidate> drop_duplicate_candidates(
    std::vector<ConcreteOperatorCandidate> entries);

// A GEMM on a grid of `row_partitions` x `column_partitions` tiles (their product is `tile_count`):
// the left operand split by rows and replicated over the column partitions, the weight split by
// columns and stored block-major over `weight_rows` row groups (optionally in interleaved memory).
// `weight_rows` must be nonzero unless it is 1 without interleaving.
[[nodiscard]] ConcreteOperatorCandidate amp_grid_gemm_operator_candidate(
    const tensor::Precision& multiply, std::uint16_t inner_block, std::uint16_t output_column_block,
    std::uint16_t tile_count, std::uint16_t row_partitions, std::uint16_t column_partitions,
    std::uint16_t weight_rows, bool weight_interleaved);

// A one-operand plan whose output keeps the operand's format and may reuse its storage.
[[nodiscard]] ConcreteOperatorCandidate format_preserving_unary_candidate(const OperatorFamily& family,
                                                                          const tensor::TensorFormat& format);

// A GEMM plan from its family, the layouts of the left operand, the right operand and the output,
// and its GEMM dispatch. Both operands take the multiply precision and the operand of the
// orientation streams; the output is F32 for F32 products and F16 otherwise.
// Taking the GEMM family and dispatch alternatives themselves rules out any other kind of plan.
[[nodiscard]] OperatorPlan gemm_plan(const family::Gemm& family, const tensor::Layout& left,
                                     const tensor::Layout& right, const tensor::Layout& output,
                                     const dispatch::Gemm& dispatch);

void debug_write(DebugWriter& w, const OutputPolicy& v);
void debug_write(DebugWriter& w, const ConcreteOperatorCandidate& v);
void debug_write(DebugWriter& w, const ParallelGemmCandidate& v);
void debug_write(DebugWriter& w, const OperatorCandidate& v);

}  // namespace ostrand::planner

#pragma once
// The target and the planning choices for one run: active tiles, the operator catalogue, fixed and
// automatically placed graph inputs, per-operation GEMM overrides and constraints, the per-tile
// memory budget and the switches that narrow the attention and GEMM candidate sets. Built once
// before the search and only read during it.

#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "graph/ids.hpp"
#include "mid/staging.hpp"
#include "planner/catalogue.hpp"
#include "planner/operator.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"

namespace ostrand::compile {

// Restricts the plans of one GEMM operation to a single split-reduction plan shape.
struct GemmPlanConstraint {
  // The OperationId number of the GEMM it applies to.
  std::uint32_t source_operation = 0;
  planner::GemmOrientation orientation = planner::GemmOrientation::Normal;
  std::uint16_t row_partitions = 1;
  std::uint16_t column_partitions = 1;
  std::uint16_t inner_partitions = 1;
  std::uint16_t result_row_partitions = 1;
  std::uint16_t result_column_partitions = 1;
  std::uint32_t output_column_block = 0;
  // Memory class and staging of the weight operand's requirement.
  tensor::MemoryClass weight_memory_class = tensor::MemoryClass::Ipu21Standard;
  mid::ReductionStaging reduction_staging;
  planner::LocalOperandStaging local_weight_staging = planner::LocalOperandStaging::Direct;

  // Whether `plan` is a split-reduction GEMM plan of exactly this shape: its distribution, block,
  // orientation, reduction staging (with the batch count) and weight requirement all match.
  [[nodiscard]] bool accepts(const planner::OperatorPlan& plan) const;

  bool operator==(const GemmPlanConstraint&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const GemmPlanConstraint& v) {
    return H::combine(std::move(h), v.source_operation, v.orientation, v.row_partitions, v.column_partitions,
                      v.inner_partitions, v.result_row_partitions, v.result_column_partitions,
                      v.output_column_block, v.weight_memory_class, v.reduction_staging,
                      v.local_weight_staging);
  }
};

struct PipelineConfig {
  // The largest per-tile budget the memory tests of candidate planning count with.
  static constexpr std::uint64_t candidate_memory_limit = 586960;

  // Active tiles of the target.
  std::uint16_t tile_count = 0;
  // The implementations the planner may instantiate, in catalogue order.
  std::vector<planner::OperatorCandidate> operator_candidates;
  std::vector<GemmPlanConstraint> gemm_plan_constraints;
  // Graph inputs whose format the caller fixes.
  std::map<graph::ValueId, tensor::TensorFormat> input_formats;
  // Graph inputs the planner lays out, with the precision in which each arrives.
  std::map<graph::ValueId, tensor::Precision> automatic_inputs;
  // The multiply precision of one GEMM operation's candidates.
  std::map<graph::OperationId, tensor::Precision> gemm_precision_overrides;
  // Bytes of every tile that operator data may not use.
  std::uint64_t memory_reserve_bytes = 49152;
  std::uint64_t tile_memory_bytes = 586960;
  // Split-reduction GEMM plans kept per orientation (0 counts as 1).
  std::uint64_t gemm_candidate_limit = 64;
  // Always keep the split-reduction plan with the smallest memory when the limit allows two.
  bool gemm_candidate_keep_smallest = false;
  // Packed GEMM outputs: 0 only when the caller asks for packed output, 1 never, 2 always (and then
  // only packed GEMM outputs survive).
  std::uint8_t packed_gemm_output_policy = 0;
  // 2 disables the flat format-preserving plans of single-input operations; 0 and 1 enable them.
  std::uint8_t format_preserving_policy = 1;
  // Attention plans by key blocking: 0 both, 1 streamed keys only, 2 single key block only.
  std::uint8_t attention_key_blocking = 0;
  // FP8 scale exponents that attention plans must carry for the query-key and the
  // probability-value products.
  std::optional<std::int8_t> attention_score_exponent;
  std::optional<std::int8_t> attention_value_exponent;
  // Product grids of single-block attention plans: 0 all combinations, 1 no grids, 2 gridded score
  // product only, 3 gridded value product only.
  std::uint8_t attention_product_policy = 0;

  // A configuration for `tile_count` active tiles whose candidates are the catalogues of every
  // active tile count (largest first); every other field takes its default.
  [[nodiscard]] static PipelineConfig create(std::uint16_t tile_count);

  // This configuration with `value` laid out by the planner, arriving in `precision`: any fixed
  // format of the value is dropped and its automatic precision is set (or replaced). The value is
  // not checked against the graph.
  [[nodiscard]] PipelineConfig with_automatic_input(graph::ValueId value, tensor::Precision precision) &&;
  [[nodiscard]] PipelineConfig with_automatic_input(graph::ValueId value, tensor::Precision precision) const&;

  // The per-tile budget of the memory tests of candidate planning: `tile_memory_bytes`, at most
  // `candidate_memory_limit`.
  [[nodiscard]] std::uint64_t candidate_tile_memory_bytes() const;
  // How many split-reduction GEMM plans retention keeps per orientation: the limit, at least 1.
  [[nodiscard]] std::uint64_t gemm_retention_limit() const;

  bool operator==(const PipelineConfig&) const = default;
};

void debug_write(DebugWriter& w, const GemmPlanConstraint& v);
void debug_write(DebugWriter& w, const PipelineConfig& v);

}  // namespace ostrand::compile

#include "compile/config.hpp"

#include <algorithm>

namespace ostrand::compile {

bool GemmPlanConstraint::accepts(const planner::OperatorPlan& plan) const {
  const auto* gemm = std::get_if<planner::dispatch::Gemm>(&plan.dispatch);
  if (gemm == nullptr || !gemm->distribution) return false;
  const planner::GemmDistribution& d = *gemm->distribution;
  if (gemm->orientation != orientation || d.row_partitions != row_partitions ||
      d.column_partitions != column_partitions || d.inner_partitions != inner_partitions ||
      d.result_row_partitions != result_row_partitions ||
      d.result_column_partitions != result_column_partitions ||
      gemm->output_column_block != output_column_block) {
    return false;
  }
  // Staging variants compare with their payload, so a batched staging must match its count too.
  if (d.reduction_staging != reduction_staging) return false;
  const std::size_t weight = planner::weight_operand(gemm->orientation);
  if (weight >= plan.operands.size()) return false;
  const planner::OperandRequirement& requirement = plan.operands[weight];
  return requirement.format.layout.memory_class == weight_memory_class &&
         requirement.staging == local_weight_staging;
}

PipelineConfig PipelineConfig::create(std::uint16_t tile_count) {
  PipelineConfig config;
  config.tile_count = tile_count;
  for (const std::uint16_t active : planner::candidate_active_tile_counts(tile_count)) {
    std::vector<planner::OperatorCandidate> catalogue = planner::operator_candidates_for_tile_count(active);
    config.operator_candidates.insert(config.operator_candidates.end(),
                                      std::make_move_iterator(catalogue.begin()),
                                      std::make_move_iterator(catalogue.end()));
  }
  return config;
}

PipelineConfig PipelineConfig::with_automatic_input(graph::ValueId value, tensor::Precision precision) && {
  input_formats.erase(value);
  automatic_inputs.insert_or_assign(value, precision);
  return std::move(*this);
}

PipelineConfig PipelineConfig::with_automatic_input(graph::ValueId value,
                                                    tensor::Precision precision) const& {
  return PipelineConfig(*this).with_automatic_input(value, precision);
}

std::uint64_t PipelineConfig::candidate_tile_memory_bytes() const {
  return std::min(tile_memory_bytes, candidate_memory_limit);
}

std::uint64_t PipelineConfig::gemm_retention_limit() const {
  return std::max<std::uint64_t>(gemm_candidate_limit, 1);
}

void debug_write(DebugWriter& w, const GemmPlanConstraint& v) {
  w.record("GemmPlanConstraint")
      .field("source_operation", v.source_operation)
      .field("orientation", v.orientation)
      .field("row_partitions", v.row_partitions)
      .field("column_partitions", v.column_partitions)
      .field("inner_partitions", v.inner_partitions)
      .field("result_row_partitions", v.result_row_partitions)
      .field("result_column_partitions", v.result_column_partitions)
      .field("output_column_block", v.output_column_block)
      .field("weight_memory_class", v.weight_memory_class)
      .field("reduction_staging", v.reduction_staging)
      .field("local_weight_staging", v.local_weight_staging);
}

void debug_write(DebugWriter& w, const PipelineConfig& v) {
  w.record("PipelineConfig")
      .field("tile_count", v.tile_count)
      .field("operator_candidates", v.operator_candidates)
      .field("gemm_plan_constraints", v.gemm_plan_constraints)
      .field("input_formats", v.input_formats)
      .field("automatic_inputs", v.automatic_inputs)
      .field("gemm_precision_overrides", v.gemm_precision_overrides)
      .field("memory_reserve_bytes", v.memory_reserve_bytes)
      .field("tile_memory_bytes", v.tile_memory_bytes)
      .field("gemm_candidate_limit", v.gemm_candidate_limit)
      .field("gemm_candidate_keep_smallest", v.gemm_candidate_keep_smallest)
      .field("packed_gemm_output_policy", v.packed_gemm_output_policy)
      .field("format_preserving_policy", v.format_preserving_policy)
      .field("attention_key_blocking", v.attention_key_blocking)
      .field("attention_score_exponent", v.attention_score_exponent)
      .field("attention_value_exponent", v.attention_value_exponent)
      .field("attention_product_policy", v.attention_product_policy);
}

}  // namespace ostrand::compile

#include "compile/config.hpp"

#include <absl/hash/hash_testing.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "support/print.hpp"

namespace ostrand::compile {
namespace {

using planner::GemmDistribution;
using planner::GemmOrientation;
using planner::LocalOperandStaging;
using planner::OperatorCandidate;
using planner::OperatorPlan;
using tensor::Layout;
using tensor::MemoryClass;

std::vector<OperatorCandidate> catalogues_for(std::initializer_list<std::uint16_t> counts) {
  std::vector<OperatorCandidate> all;
  for (const std::uint16_t t : counts) {
    const auto list = planner::operator_candidates_for_tile_count(t);
    all.insert(all.end(), list.begin(), list.end());
  }
  return all;
}

TEST(PipelineConfig, CreateSetsTheDefaults) {
  const PipelineConfig config = PipelineConfig::create(64);
  EXPECT_EQ(config.tile_count, 64);
  EXPECT_TRUE(config.gemm_plan_constraints.empty());
  EXPECT_TRUE(config.input_formats.empty());
  EXPECT_TRUE(config.automatic_inputs.empty());
  EXPECT_TRUE(config.gemm_precision_overrides.empty());
  EXPECT_EQ(config.memory_reserve_bytes, 49152U);
  EXPECT_EQ(config.tile_memory_bytes, 586960U);
  EXPECT_EQ(config.gemm_candidate_limit, 64U);
  EXPECT_FALSE(config.gemm_candidate_keep_smallest);
  EXPECT_EQ(config.packed_gemm_output_policy, 0);
  EXPECT_EQ(config.format_preserving_policy, 1);
  EXPECT_EQ(config.attention_key_blocking, 0);
  EXPECT_EQ(config.attention_score_exponent, std::nullopt);
  EXPECT_EQ(config.attention_value_exponent, std::nullopt);
  EXPECT_EQ(config.attention_product_policy, 0);
}

TEST(PipelineConfig, CandidatesConcatenateTheCataloguesOfEveryActiveTileCount) {
  const struct {
    std::uint16_t tiles;
    std::vector<OperatorCandidate> expected;
  } cases[] = {
      {64, catalogues_for({64, 32, 16, 8, 4, 2, 1})},
      {48, catalogues_for({48, 32, 16, 8, 4, 2, 1})},
      {1, catalogues_for({1})},
      {0, catalogues_for({0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tiles);
    EXPECT_EQ(PipelineConfig::create(c.tiles).operator_candidates, c.expected);
  }
}

TEST(PipelineConfig, WithAutomaticInputReplacesAFixedFormat) {
  const graph::ValueId x{0};
  const graph::ValueId w{4};
  PipelineConfig config = PipelineConfig::create(1);
  config.input_formats[x] = tensor::TensorFormat{tensor::F16{}, Layout::row_sharded(1)};
  config.input_formats[w] = tensor::TensorFormat{tensor::F32{}, Layout::row_sharded(1)};

  const PipelineConfig automatic = config.with_automatic_input(x, tensor::F16{});
  EXPECT_EQ(config.input_formats.size(), 2U);  // the copying form leaves its source alone
  EXPECT_FALSE(automatic.input_formats.contains(x));
  EXPECT_TRUE(automatic.input_formats.contains(w));
  EXPECT_EQ(automatic.automatic_inputs, (std::map<graph::ValueId, tensor::Precision>{{x, tensor::F16{}}}));

  // The last precision given wins; values that are no graph input are accepted.
  const PipelineConfig twice = PipelineConfig::create(1)
                                   .with_automatic_input(x, tensor::F16{})
                                   .with_automatic_input(graph::ValueId{99}, tensor::F32{})
                                   .with_automatic_input(x, tensor::F8F143{-1});
  EXPECT_EQ(twice.automatic_inputs, (std::map<graph::ValueId, tensor::Precision>{
                                        {x, tensor::F8F143{-1}}, {graph::ValueId{99}, tensor::F32{}}}));
}

TEST(PipelineConfig, CandidatePlanningCapsTheTileMemoryAndTheRetentionLimit) {
  PipelineConfig config = PipelineConfig::create(1);
  const struct {
    std::uint64_t tile_memory, limit;
    std::uint64_t expected_memory, expected_limit;
  } cases[] = {
      {586960, 64, 586960, 64},
      {600000, 0, 586960, 1},
      {1000, 1, 1000, 1},
  };
  for (const auto& c : cases) {
    config.tile_memory_bytes = c.tile_memory;
    config.gemm_candidate_limit = c.limit;
    EXPECT_EQ(config.candidate_tile_memory_bytes(), c.expected_memory);
    EXPECT_EQ(config.gemm_retention_limit(), c.expected_limit);
  }
}

// --- GEMM plan constraints ---------------------------------------------------------------------------

// The split-reduction plan shape a constraint describes: `Normal` puts the weight at operand 1,
// `Swapped` at operand 0.
OperatorPlan constrained_plan(GemmOrientation orientation) {
  const Layout activations = Layout::row_sharded(4);
  const Layout weight = Layout::block_major_matrix_storage(64, 64, 2, 2, 1, MemoryClass::Ipu21Interleaved);
  const Layout standard = Layout::block_major_matrix_storage(64, 64, 2, 2, 1, MemoryClass::Ipu21Standard);
  const bool normal = orientation == GemmOrientation::Normal;
  OperatorPlan plan = planner::gemm_plan(
      planner::family::Gemm{{}, tensor::F16{}, mid::AccumulationPrecision::F16}, normal ? standard : weight,
      normal ? weight : standard, activations,
      planner::dispatch::Gemm{64, 32, GemmDistribution{mid::Batched{2}, 1, 2, 4, 1, 2}, orientation});
  plan.operands[planner::weight_operand(orientation)].staging = LocalOperandStaging::MatchRemote;
  return plan;
}

GemmPlanConstraint constraint_for(GemmOrientation orientation) {
  return GemmPlanConstraint{
      .source_operation = 3,
      .orientation = orientation,
      .row_partitions = 1,
      .column_partitions = 2,
      .inner_partitions = 4,
      .result_row_partitions = 1,
      .result_column_partitions = 2,
      .output_column_block = 32,
      .weight_memory_class = MemoryClass::Ipu21Interleaved,
      .reduction_staging = mid::Batched{2},
      .local_weight_staging = LocalOperandStaging::MatchRemote,
  };
}

TEST(GemmPlanConstraint, DebugText) {
  EXPECT_EQ(
      debug(constraint_for(GemmOrientation::Swapped)),
      "GemmPlanConstraint { source_operation: 3, orientation: Swapped, row_partitions: 1, column_partitions: "
      "2, inner_partitions: 4, result_row_partitions: 1, result_column_partitions: 2, output_column_block: "
      "32, weight_memory_class: Ipu21Interleaved, reduction_staging: Batched(2), local_weight_staging: "
      "MatchRemote }");
}

TEST(GemmPlanConstraint, AcceptsOnlyTheConstrainedSplitReductionShape) {
  using Change = std::function<void(GemmPlanConstraint&)>;
  const struct {
    const char* name;
    Change change;
    bool expected;
  } cases[] = {
      {"every field matching", [](GemmPlanConstraint&) {}, true},
      {"the source operation is matched by the caller", [](GemmPlanConstraint& c) { c.source_operation = 9; },
       true},
      {"orientation",
       [](GemmPlanConstraint& c) {
         c.orientation =
             c.orientation == GemmOrientation::Normal ? GemmOrientation::Swapped : GemmOrientation::Normal;
       },
       false},
      {"row partitions", [](GemmPlanConstraint& c) { c.row_partitions = 2; }, false},
      {"column partitions", [](GemmPlanConstraint& c) { c.column_partitions = 1; }, false},
      {"inner partitions", [](GemmPlanConstraint& c) { c.inner_partitions = 2; }, false},
      {"result row partitions", [](GemmPlanConstraint& c) { c.result_row_partitions = 2; }, false},
      {"result column partitions", [](GemmPlanConstraint& c) { c.result_column_partitions = 1; }, false},
      {"output column block", [](GemmPlanConstraint& c) { c.output_column_block = 64; }, false},
      {"weight memory class",
       [](GemmPlanConstraint& c) { c.weight_memory_class = MemoryClass::Ipu21Standard; }, false},
      {"reduction staging variant", [](GemmPlanConstraint& c) { c.reduction_staging = mid::Streamed{}; },
       false},
      {"batch count", [](GemmPlanConstraint& c) { c.reduction_staging = mid::Batched{3}; }, false},
      {"weight staging", [](GemmPlanConstraint& c) { c.local_weight_staging = LocalOperandStaging::Direct; },
       false},
  };
  for (const GemmOrientation orientation : {GemmOrientation::Normal, GemmOrientation::Swapped}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(debug(orientation) + ": " + c.name);
      GemmPlanConstraint constraint = constraint_for(orientation);
      c.change(constraint);
      EXPECT_EQ(constraint.accepts(constrained_plan(orientation)), c.expected);
    }
  }
}

TEST(GemmPlanConstraint, RejectsPlansWithoutADistribution) {
  const GemmPlanConstraint constraint = constraint_for(GemmOrientation::Normal);
  OperatorPlan plan = constrained_plan(GemmOrientation::Normal);
  std::get<planner::dispatch::Gemm>(plan.dispatch).distribution.reset();
  EXPECT_FALSE(constraint.accepts(plan));
  plan.dispatch = planner::dispatch::Local{};
  EXPECT_FALSE(constraint.accepts(plan));
  OperatorPlan one_operand = constrained_plan(GemmOrientation::Normal);
  one_operand.operands.pop_back();  // the weight requirement is missing
  EXPECT_FALSE(constraint.accepts(one_operand));
}

TEST(GemmPlanConstraint, HashesExactlyWhatEqualityCompares) {
  const GemmPlanConstraint base = constraint_for(GemmOrientation::Normal);
  const auto with = [&](const std::function<void(GemmPlanConstraint&)>& change) {
    GemmPlanConstraint c = base;
    change(c);
    return c;
  };
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({
      base,
      constraint_for(GemmOrientation::Normal),
      constraint_for(GemmOrientation::Swapped),
      with([](GemmPlanConstraint& c) { c.source_operation = 4; }),
      with([](GemmPlanConstraint& c) { c.row_partitions = 2; }),
      with([](GemmPlanConstraint& c) { c.column_partitions = 3; }),
      with([](GemmPlanConstraint& c) { c.inner_partitions = 8; }),
      with([](GemmPlanConstraint& c) { c.result_row_partitions = 2; }),
      with([](GemmPlanConstraint& c) { c.result_column_partitions = 1; }),
      with([](GemmPlanConstraint& c) { c.output_column_block = 64; }),
      with([](GemmPlanConstraint& c) { c.weight_memory_class = MemoryClass::Ipu21Standard; }),
      with([](GemmPlanConstraint& c) { c.reduction_staging = mid::Complete{}; }),
      with([](GemmPlanConstraint& c) { c.reduction_staging = mid::Streamed{}; }),
      with([](GemmPlanConstraint& c) { c.reduction_staging = mid::Batched{3}; }),
      with([](GemmPlanConstraint& c) { c.local_weight_staging = LocalOperandStaging::Direct; }),
  }));
}

}  // namespace
}  // namespace ostrand::compile

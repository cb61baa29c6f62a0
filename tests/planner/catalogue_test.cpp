#include "planner/catalogue.hpp"

#include <absl/hash/hash_testing.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "planner/plan_fixtures.hpp"

namespace ostrand::planner {
namespace {

using tensor::Amp;
using tensor::AmpOrder;
using tensor::AxisTiling;
using tensor::FromEnd;
using tensor::Layout;
using tensor::MemoryClass;
using tensor::Padding;
using tensor::TensorFormat;
using tensor::TensorTiling;
using namespace fixtures;
using Indices = SmallVector<std::uint16_t, 2>;

const tensor::Precision f16_precision = tensor::F16{};
const tensor::Precision f32_precision = tensor::F32{};

std::vector<ConcreteOperatorCandidate> concrete_entries(const std::vector<OperatorCandidate>& list) {
  std::vector<ConcreteOperatorCandidate> entries;
  for (const OperatorCandidate& c : list) {
    if (const auto* concrete = std::get_if<ConcreteOperatorCandidate>(&c)) entries.push_back(*concrete);
  }
  return entries;
}

bool contains(const std::vector<OperatorCandidate>& list, const ConcreteOperatorCandidate& entry) {
  return std::ranges::find(list, OperatorCandidate{entry}) != list.end();
}

// --- Active tile counts ----------------------------------------------------------------------------

TEST(CandidateActiveTileCounts, TheCountThenPowersOfTwoDownToOne) {
  const struct {
    std::uint16_t tiles;
    std::vector<std::uint16_t> expected;
  } cases[] = {
      {64, {64, 32, 16, 8, 4, 2, 1}},
      {48, {48, 32, 16, 8, 4, 2, 1}},
      {3, {3, 2, 1}},
      {1, {1}},
      {0, {0}},
      // The doubling stops at 2^15.
      {65535, {65535, 32768, 16384, 8192, 4096, 2048, 1024, 512, 256, 128, 64, 32, 16, 8, 4, 2, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tiles);
    EXPECT_EQ(candidate_active_tile_counts(c.tiles), c.expected);
  }
}

// --- The per-count catalogue -------------------------------------------------------------------------

TEST(OperatorCandidatesForTileCount, OneTileListsEveryEntryInOrder) {
  const std::vector<OperatorCandidate> list = operator_candidates_for_tile_count(1);
  const auto grid = [](const tensor::Precision& p, std::uint16_t block, bool interleaved) {
    return OperatorCandidate{amp_grid_gemm_operator_candidate(p, 64, block, 1, 1, 1, 1, interleaved)};
  };
  ASSERT_EQ(list.size(), 19U);
  // Six AMP-grid GEMMs: (F16, 1, false) in 64 and 128 columns, (F16, 1, true) in 64, 128 and 32,
  // (F32, 1, false) in 64.
  const std::vector<OperatorCandidate> grids{grid(f16_precision, 64, false), grid(f16_precision, 128, false),
                                             grid(f16_precision, 64, true),  grid(f16_precision, 128, true),
                                             grid(f16_precision, 32, true),  grid(f32_precision, 64, false)};
  EXPECT_EQ(std::vector<OperatorCandidate>(list.begin(), list.begin() + 6), grids);

  // The rest, by family and output policy.
  std::vector<std::string> rest;
  for (auto it = list.begin() + 6; it != list.end(); ++it) {
    if (const auto* concrete = std::get_if<ConcreteOperatorCandidate>(&*it)) {
      std::string family = debug(concrete->plan.family);
      family = family.substr(0, family.find(' '));
      rest.push_back(family + " " + debug(concrete->output_policy));
    } else {
      rest.push_back(debug(*it));
    }
  }
  const std::vector<std::string> expected{
      "Gemm Fixed",
      "Gemm Fixed",
      "Gemm Fixed",
      "Add FollowOperand(0)",
      "Add FollowOperand(1)",
      "Add DistributeAllAxes",
      "LayerNorm DistributeLeadingAxes",
      "LayerNorm Fixed",
      "Gelu FollowOperand(0)",
      "Gelu FollowOperand(0)",
      "Add Fixed",
      "FlashAttention Fixed",
      "ParallelGemm { options: GemmOptions { transpose_left: false, transpose_right: false }, multiply: F16, "
      "tile_count: 1, accumulate: F16 }",
  };
  EXPECT_EQ(rest, expected);
}

TEST(OperatorCandidatesForTileCount, EveryListEndsWithOneSplitReductionTemplate) {
  for (const std::uint16_t t : {0, 1, 3, 48, 64}) {
    SCOPED_TRACE(t);
    const std::vector<OperatorCandidate> list = operator_candidates_for_tile_count(t);
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(
        list.back(),
        (OperatorCandidate{ParallelGemmCandidate{{}, f16_precision, t, mid::AccumulationPrecision::F16}}));
    EXPECT_EQ(std::ranges::count_if(list,
                                    [](const OperatorCandidate& c) {
                                      return std::holds_alternative<ParallelGemmCandidate>(c);
                                    }),
              1);
  }
}

TEST(OperatorCandidatesForTileCount, GridGemmsCoverEveryDivisorOfTheTileCount) {
  // Per divisor e of t (u = t / e rows): 6 entries, plus 5 more when u >= 2 (F16 at u weight rows
  // in 64 and 128 columns, plain and interleaved, F32 in 64), plus 2 when u is even and not 2
  // (F16 on two interleaved weight row groups in 64 and 128 columns).
  const struct {
    std::uint16_t tiles;
    std::size_t grid_gemms;
  } cases[] = {
      {1, 6},            // u = 1
      {2, 6 + 11},       // u = 1, 2
      {4, 6 + 11 + 13},  // u = 1, 2, 4
      {3, 6 + 11},       // u = 1, 3
      {0, 0},            // no divisors
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tiles);
    // Everything but the three row-split GEMMs is an AMP-grid GEMM.
    const auto entries = concrete_entries(operator_candidates_for_tile_count(c.tiles));
    const auto gemms = std::ranges::count_if(entries, [](const ConcreteOperatorCandidate& e) {
      return std::holds_alternative<family::Gemm>(e.plan.family);
    });
    EXPECT_EQ(static_cast<std::size_t>(gemms), c.grid_gemms + 3);
  }
}

TEST(OperatorCandidatesForTileCount, TwoInterleavedWeightRowGroupsOnlyForEvenRowCountsAboveTwo) {
  const std::vector<OperatorCandidate> list = operator_candidates_for_tile_count(64);
  // u = 64 (e = 1): the extra triple (F16, 2, true) in 64 and 128 columns.
  EXPECT_TRUE(contains(list, amp_grid_gemm_operator_candidate(f16_precision, 64, 64, 64, 64, 1, 2, true)));
  EXPECT_TRUE(contains(list, amp_grid_gemm_operator_candidate(f16_precision, 64, 128, 64, 64, 1, 2, true)));
  // Narrow blocks need a single weight row group.
  EXPECT_FALSE(contains(list, amp_grid_gemm_operator_candidate(f16_precision, 64, 32, 64, 64, 1, 2, true)));
  // u = 2 (e = 32): the weight rows lie in two groups (weight replicas 1) only for the triples with
  // u weight rows: (F16, 2, false) and (F16, 2, true) in 64 and 128 columns, (F32, 2, false) in 64.
  const auto two_row_groups =
      std::ranges::count_if(concrete_entries(list), [](const ConcreteOperatorCandidate& e) {
        if (!std::holds_alternative<family::Gemm>(e.plan.family)) return false;
        const TensorTiling& left = e.plan.operands[0].format.layout.tiling;
        const TensorTiling& weight = e.plan.operands[1].format.layout.tiling;
        return left.tile_count == 64 && left.replicas == 32 && weight.replicas == 1;
      });
  EXPECT_EQ(two_row_groups, 5);
}

TEST(OperatorCandidatesForTileCount, FollowOperandEntriesWithEqualPlansBothStay) {
  const auto entries = concrete_entries(operator_candidates_for_tile_count(4));
  const auto add_with = [&](const OutputPolicy& policy) {
    return std::ranges::find_if(entries, [&](const ConcreteOperatorCandidate& e) {
      return std::holds_alternative<family::Add>(e.plan.family) && e.output_policy == policy;
    });
  };
  const auto first = add_with(output_policy::FollowOperand{0});
  const auto second = add_with(output_policy::FollowOperand{1});
  ASSERT_NE(first, entries.end());
  ASSERT_NE(second, entries.end());
  EXPECT_EQ(first->plan, second->plan);
  EXPECT_EQ(first + 1, second);
}

TEST(DropDuplicateCandidates, EqualPlanAndPolicyCollapseKeepingTheFirst) {
  const ConcreteOperatorCandidate gelu =
      format_preserving_unary_candidate(family::Gelu{}, f16(Layout::row_sharded(2)));
  const auto with_policy = [&](OutputPolicy policy) {
    ConcreteOperatorCandidate c = gelu;
    c.output_policy = std::move(policy);
    return c;
  };
  ConcreteOperatorCandidate other_plan = with_policy(output_policy::Fixed{});
  other_plan.plan.reusable_inputs.reset();

  const std::vector<ConcreteOperatorCandidate> kept = drop_duplicate_candidates({
      with_policy(output_policy::Fixed{}),
      with_policy(output_policy::FollowOperand{0}),
      with_policy(output_policy::Fixed{}),  // dropped
      with_policy(output_policy::FollowOperand{1}),
      other_plan,
      with_policy(output_policy::FollowOperand{0}),  // dropped
      with_policy(output_policy::DistributeAllAxes{}),
      with_policy(output_policy::DistributeLeadingAxes{}),
  });
  const std::vector<ConcreteOperatorCandidate> expected{
      with_policy(output_policy::Fixed{}),
      with_policy(output_policy::FollowOperand{0}),
      with_policy(output_policy::FollowOperand{1}),
      other_plan,
      with_policy(output_policy::DistributeAllAxes{}),
      with_policy(output_policy::DistributeLeadingAxes{}),
  };
  EXPECT_EQ(kept, expected);
  EXPECT_TRUE(drop_duplicate_candidates({}).empty());
}

// --- Entry builders ---------------------------------------------------------------------------------

TEST(AmpGridGemmOperatorCandidate, LaysOutARowsByColumnsGrid) {
  // Two row partitions by two column partitions over four tiles, one weight row group.
  const ConcreteOperatorCandidate entry =
      amp_grid_gemm_operator_candidate(f16_precision, 64, 128, 4, 2, 2, 1, false);
  const Layout left{Amp{AmpOrder::Left},
                    TensorTiling{4,
                                 2,
                                 {AxisTiling::simple(FromEnd{2}, 2, 1, 1, Padding::Reject, std::uint16_t{2}),
                                  AxisTiling::simple(FromEnd{1}, 1, 64, 64, Padding::Zero)}},
                    MemoryClass::Ipu21Standard};
  const Layout right{
      tensor::BlockMajor{tensor::BlockMajorOrder{tensor::BlockMajorKind::Matrix, 64, 16}},
      TensorTiling{4,
                   2,
                   {AxisTiling::simple(FromEnd{2}, 1, 64, 64, Padding::Zero),
                    AxisTiling::simple(FromEnd{1}, 2, 128, 128, Padding::Zero, std::uint16_t{1})}},
      MemoryClass::Ipu21Standard};
  Layout output = Layout::amp_output_grid(128, 4, 2, 2, false);
  output.order = Amp{AmpOrder::Left};

  OperandRequirement left_requirement = OperandRequirement::create(TensorFormat{f16_precision, left});
  left_requirement.streamed = true;
  const OperatorPlan expected{
      .operands = {left_requirement, OperandRequirement::create(TensorFormat{f16_precision, right})},
      .output = TensorFormat{f16_precision, output},
      .reusable_inputs = std::nullopt,
      .family = family::Gemm{{}, f16_precision, mid::AccumulationPrecision::F16},
      .dispatch = dispatch::Gemm{64, 128, std::nullopt, GemmOrientation::Normal},
  };
  EXPECT_EQ(entry.plan, expected);
  EXPECT_EQ(entry.output_policy, OutputPolicy{output_policy::Fixed{}});
}

TEST(AmpGridGemmOperatorCandidate, WeightStorageAndPrecisions) {
  const struct {
    const char* name;
    tensor::Precision multiply;
    std::uint16_t tiles, rows, columns, weight_rows;
    bool interleaved;
    Layout weight;
    tensor::Precision output_precision;
    tensor::ElementOrder output_order;
    mid::AccumulationPrecision accumulate;
  } cases[] = {
      {"the row stride is implicit on a single column", f16_precision, 4, 4, 1, 1, true,
       Layout::block_major_matrix_storage(64, 64, 1, 1, 4, MemoryClass::Ipu21Interleaved), f16_precision,
       Amp{AmpOrder::Left}, mid::AccumulationPrecision::F16},
      {"weight rows over the row partitions", f16_precision, 8, 4, 2, 4, false,
       Layout::block_major_matrix_storage(64, 64, 2, 4, 1, MemoryClass::Ipu21Standard), f16_precision,
       Amp{AmpOrder::Left}, mid::AccumulationPrecision::F16},
      {"two weight row groups replicated", f16_precision, 8, 8, 1, 2, true,
       Layout::block_major_matrix_storage(64, 64, 1, 2, 4, MemoryClass::Ipu21Interleaved), f16_precision,
       Amp{AmpOrder::Left}, mid::AccumulationPrecision::F16},
      {"F32 products write the AMP output order", f32_precision, 8, 4, 2, 4, false,
       Layout::block_major_matrix_storage(64, 64, 2, 4, 1, MemoryClass::Ipu21Standard), f32_precision,
       Amp{AmpOrder::Output}, mid::AccumulationPrecision::F32},
      {"FP8 products give F16 results", tensor::F8F143{-2}, 8, 4, 2, 4, false,
       Layout::block_major_matrix_storage(64, 64, 2, 4, 1, MemoryClass::Ipu21Standard), f16_precision,
       Amp{AmpOrder::Left}, mid::AccumulationPrecision::F16},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const OperatorPlan plan = amp_grid_gemm_operator_candidate(c.multiply, 64, 64, c.tiles, c.rows, c.columns,
                                                               c.weight_rows, c.interleaved)
                                  .plan;
    EXPECT_EQ(plan.operands[1].format, (TensorFormat{c.multiply, c.weight}));
    EXPECT_EQ(plan.operands[0].format.precision, c.multiply);
    EXPECT_EQ(plan.output.precision, c.output_precision);
    EXPECT_EQ(plan.output.layout.order, c.output_order);
    EXPECT_EQ(std::get<family::Gemm>(plan.family).accumulate, c.accumulate);
  }
  const OperatorPlan single_column =
      amp_grid_gemm_operator_candidate(f16_precision, 64, 64, 4, 4, 1, 1, true).plan;
  EXPECT_EQ(single_column.operands[0].format.layout.tiling.axes[0].tile_stride, std::nullopt);
}

TEST(AmpGridGemmOperatorCandidateDeathTest, BlockMajorWeightNeedsWeightRows) {
  EXPECT_DEATH((void)amp_grid_gemm_operator_candidate(f16_precision, 64, 64, 4, 4, 1, 0, true),
               "weight row group");
}

TEST(GemmPlan, StreamsTheOperandOfTheOrientation) {
  const Layout a = Layout::row_sharded(2);
  const Layout b = Layout::row_sharded(4);
  const Layout out = Layout::row_sharded(8);
  const family::Gemm fp8{{}, tensor::F8F143{5}, mid::AccumulationPrecision::F16};
  const struct {
    GemmOrientation orientation;
    bool left_streamed, right_streamed;
  } cases[] = {{GemmOrientation::Normal, true, false}, {GemmOrientation::Swapped, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(debug(c.orientation));
    const dispatch::Gemm gemm{64, 64, std::nullopt, c.orientation};
    const OperatorPlan plan = gemm_plan(fp8, a, b, out, gemm);
    ASSERT_EQ(plan.operands.size(), 2U);
    EXPECT_EQ(plan.operands[0].format, (TensorFormat{tensor::F8F143{5}, a}));
    EXPECT_EQ(plan.operands[1].format, (TensorFormat{tensor::F8F143{5}, b}));
    EXPECT_EQ(plan.operands[0].streamed, c.left_streamed);
    EXPECT_EQ(plan.operands[1].streamed, c.right_streamed);
    EXPECT_EQ(plan.operands[0].staging, LocalOperandStaging::Direct);
    EXPECT_EQ(plan.output, (TensorFormat{tensor::F16{}, out}));
    EXPECT_EQ(plan.reusable_inputs, std::nullopt);
    EXPECT_EQ(plan.family, OperatorFamily{fp8});
    EXPECT_EQ(plan.dispatch, OperatorDispatch{gemm});
  }
}

TEST(FormatPreservingUnaryCandidate, DispatchFollowsTheFamily) {
  const TensorFormat format = f16(Layout::row_sharded(2));
  const struct {
    OperatorFamily family;
    OperatorDispatch dispatch;
  } cases[] = {
      {family::Gemm{}, dispatch::Gemm{64, 64, std::nullopt, GemmOrientation::Normal}},
      {family::View{graph::AxisFactorView{2, 1, 2, false}}, dispatch::View{}},
      {family::Slice{graph::AxisSlice{1, 0, 2}}, dispatch::View{}},
      {family::Gelu{}, dispatch::Local{}},
      {family::LayerNorm{}, dispatch::Local{}},
      {family::Add{}, dispatch::Local{}},
      {family::FlashAttention{}, dispatch::Local{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(debug(c.family));
    const ConcreteOperatorCandidate entry = format_preserving_unary_candidate(c.family, format);
    const OperatorPlan expected{
        {OperandRequirement::create(format)}, format, Indices{0}, c.family, c.dispatch};
    EXPECT_EQ(entry.plan, expected);
    EXPECT_EQ(entry.output_policy, OutputPolicy{output_policy::FollowOperand{0}});
  }
}

// --- Values ----------------------------------------------------------------------------------------------

TEST(OperatorCandidate, DebugTexts) {
  EXPECT_EQ(debug(OutputPolicy{output_policy::FollowOperand{1}}), "FollowOperand(1)");
  EXPECT_EQ(debug(OutputPolicy{output_policy::DistributeLeadingAxes{}}), "DistributeLeadingAxes");
  const OperatorCandidate concrete{ConcreteOperatorCandidate{
      OperatorPlan{{}, f16(Layout::row_sharded(1)), std::nullopt, family::Add{}, dispatch::Local{}},
      output_policy::DistributeAllAxes{}}};
  EXPECT_EQ(
      debug(concrete),
      "Concrete(ConcreteOperatorCandidate { plan: OperatorPlan { operands: [], output: TensorFormat { "
      "precision: F16, layout: Layout { order: RowMajor, tiling: TensorTiling { tile_count: 1, replicas: 1, "
      "axes: [AxisTiling { axis: FromEnd(2), partitions: 1, padding_groups: 1, block_size: 1, "
      "padding_multiple: 1, shard_padding_multiple: 1, padding: Reject, tile_stride: None }] }, "
      "memory_class: Ipu21Standard } }, reusable_inputs: None, family: Add, dispatch: Local }, "
      "output_policy: DistributeAllAxes })");
  EXPECT_EQ(debug(OperatorCandidate{ParallelGemmCandidate{
                {true, false}, tensor::F8F143{4}, 32, mid::AccumulationPrecision::F32}}),
            "ParallelGemm { options: GemmOptions { transpose_left: true, transpose_right: false }, multiply: "
            "F8F143 { scale_exponent: 4 }, tile_count: 32, accumulate: F32 }");
}

TEST(OperatorCandidate, HashesExactlyWhatEqualityCompares) {
  const ConcreteOperatorCandidate gelu =
      format_preserving_unary_candidate(family::Gelu{}, f16(Layout::row_sharded(2)));
  ConcreteOperatorCandidate fixed = gelu;
  fixed.output_policy = output_policy::Fixed{};
  ConcreteOperatorCandidate follow_one = gelu;
  follow_one.output_policy = output_policy::FollowOperand{1};
  const ParallelGemmCandidate parallel{{}, f16_precision, 4, mid::AccumulationPrecision::F16};
  ParallelGemmCandidate parallel_fp8 = parallel;
  parallel_fp8.multiply = tensor::F8F143{1};
  ParallelGemmCandidate parallel_eight = parallel;
  parallel_eight.tile_count = 8;
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({
      OperatorCandidate{gelu},
      OperatorCandidate{format_preserving_unary_candidate(family::Gelu{}, f16(Layout::row_sharded(2)))},
      OperatorCandidate{fixed},
      OperatorCandidate{follow_one},
      OperatorCandidate{parallel},
      OperatorCandidate{parallel_fp8},
      OperatorCandidate{parallel_eight},
  }));
}

}  // namespace
}  // namespace ostrand::planner

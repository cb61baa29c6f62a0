#include "planner/operator.hpp"

#include <absl/hash/hash_testing.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "planner/catalogue.hpp"
#include "planner/plan_fixtures.hpp"
#include "util/hash.hpp"

namespace ostrand::planner {
namespace {

using tensor::Amp;
using tensor::AmpOrder;
using tensor::AxisTiling;
using tensor::BlockMajor;
using tensor::BlockMajorKind;
using tensor::BlockMajorOrder;
using tensor::FromEnd;
using tensor::Layout;
using tensor::MemoryClass;
using tensor::Padding;
using tensor::TensorFormat;
using tensor::TensorShape;
using tensor::TensorTiling;
using tensor::TensorType;
using namespace fixtures;
using Indices = SmallVector<std::uint16_t, 2>;

// --- Fixtures ------------------------------------------------------------------------------------

// A Gelu plan on `tiles` row shards that may reuse its input.
OperatorPlan gelu_plan(std::uint16_t tiles) {
  return format_preserving_unary_candidate(family::Gelu{}, f16(Layout::row_sharded(tiles))).plan;
}

// The GEMM [1, 8, 128] x [128, 128] on eight tiles, one row per tile, the whole weight on every tile.
OperatorPlan grid_gemm(const tensor::Precision& multiply) {
  return amp_grid_gemm_operator_candidate(multiply, 64, 64, 8, 8, 1, 1, false).plan;
}

// A split-reduction GEMM of [1, 8, 128] x [128, 128] on two tiles, each multiplying half of the
// inner dimension into one 128-column result tile.
OperatorPlan split_gemm() {
  Layout left = Layout::amp_left_parallel_grid(64, 2, 1, 1, 2);
  Layout weight = Layout::block_major_matrix_storage(64, 128, 1, 2, 1, MemoryClass::Ipu21Standard);
  weight.tiling.axes[0] = AxisTiling::simple(FromEnd{1}, 1, 16, 16, Padding::Zero, std::uint16_t{1});
  Layout output = Layout::amp_output_grid(128, 1, 1, 1, false);
  output.order = Amp{AmpOrder::Left};
  output.tiling.axes[0] = AxisTiling::simple(FromEnd{1}, 1, 16, 16, Padding::Zero, std::uint16_t{1});
  const dispatch::Gemm gemm{64, 128, GemmDistribution{mid::Complete{}, 1, 1, 2, 1, 1},
                            GemmOrientation::Normal};
  return gemm_plan(family::Gemm{{}, tensor::F16{}, mid::AccumulationPrecision::F16}, left, weight, output,
                   gemm);
}

// The same product with the weight (operand 0 in this orientation) held and the right input
// streamed.
OperatorPlan swapped_split_gemm() {
  const Layout weight =
      Layout::transposed_block_major_matrix_storage(64, 16, 1, 2, 1, MemoryClass::Ipu21Standard);
  const Layout left = Layout::amp_transposed_left_parallel_grid(64, 2, 1, 1, 2);
  const Layout output{
      Amp{AmpOrder::TransposedLeft},
      TensorTiling{1,
                   1,
                   {AxisTiling::simple(FromEnd{2}, 1, 16, 16, Padding::Zero, std::uint16_t{1}),
                    AxisTiling::simple(FromEnd{1}, 1, 1, 1, Padding::Reject, std::uint16_t{1})}},
      MemoryClass::Ipu21Interleaved};
  const dispatch::Gemm gemm{64, 16, GemmDistribution{mid::Complete{}, 1, 1, 2, 1, 1},
                            GemmOrientation::Swapped};
  return gemm_plan(family::Gemm{{}, tensor::F16{}, mid::AccumulationPrecision::F16}, weight, left, output,
                   gemm);
}

// Attention over two heads of 64 queries and 64 keys on four tiles (two per head).
OperatorPlan attention_plan() {
  Layout query = Layout::attention_output(2, 2);
  query.order = Amp{AmpOrder::Left};
  Layout value = Layout::attention_key(2, 1);
  value.order = BlockMajor{BlockMajorOrder{BlockMajorKind::Matrix, 64, 16}};
  OperandRequirement q = OperandRequirement::create(f16(query));
  OperandRequirement k = OperandRequirement::create(f16(Layout::attention_key(2, 1)));
  OperandRequirement v = OperandRequirement::create(f16(value));
  for (OperandRequirement* r : {&q, &k, &v}) r->streamed = true;
  return OperatorPlan{
      .operands = {q, k, v},
      .output = f16(Layout::attention_output(2, 2)),
      .reusable_inputs = std::nullopt,
      .family = family::FlashAttention{graph::AttentionOptions{}, mid::AccumulationPrecision::F32},
      .dispatch =
          dispatch::Attention{std::nullopt, std::nullopt, std::nullopt, std::nullopt, 64, 64, 64, false},
  };
}

OperatorPlan view_plan(OperatorFamily family) {
  const TensorFormat format = f16(Layout::row_sharded(1));
  return OperatorPlan{
      {OperandRequirement::create(format)}, format, std::nullopt, std::move(family), dispatch::View{}};
}

// --- Debug texts ---------------------------------------------------------------------------------

TEST(OperatorPlanDebug, PrintsEveryFieldInOrder) {
  EXPECT_EQ(
      debug(gelu_plan(2)),
      "OperatorPlan { operands: [OperandRequirement { format: TensorFormat { precision: F16, layout: Layout "
      "{ "
      "order: RowMajor, tiling: TensorTiling { tile_count: 2, replicas: 1, axes: [AxisTiling { axis: "
      "FromEnd(2), partitions: 2, padding_groups: 1, block_size: 1, padding_multiple: 1, "
      "shard_padding_multiple: 1, padding: Reject, tile_stride: None }] }, memory_class: Ipu21Standard } }, "
      "staging: Direct, streamed: false }], output: TensorFormat { precision: F16, layout: Layout { order: "
      "RowMajor, tiling: TensorTiling { tile_count: 2, replicas: 1, axes: [AxisTiling { axis: FromEnd(2), "
      "partitions: 2, padding_groups: 1, block_size: 1, padding_multiple: 1, shard_padding_multiple: 1, "
      "padding: Reject, tile_stride: None }] }, memory_class: Ipu21Standard } }, reusable_inputs: Some([0]), "
      "family: Gelu, dispatch: Local }");
}

TEST(OperatorPlanDebug, FamiliesDispatchesAndTheirParts) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {debug(OperatorFamily{family::Gemm{{}, tensor::F8F143{-3}, mid::AccumulationPrecision::F16}}),
       "Gemm { options: GemmOptions { transpose_left: false, transpose_right: false }, multiply: F8F143 { "
       "scale_exponent: -3 }, accumulate: F16 }"},
      {debug(OperatorFamily{family::Gelu{}}), "Gelu"},
      {debug(OperatorFamily{family::LayerNorm{}}), "LayerNorm"},
      {debug(OperatorFamily{family::Add{}}), "Add"},
      {debug(OperatorFamily{family::View{graph::AxisFactorView{2, 0, 4, true}}}),
       "View(AxisFactorView { split_axis: 2, merge_axis: 0, factor: 4, reversed: true })"},
      {debug(OperatorFamily{family::Slice{graph::AxisSlice{1, 2, 3}}}),
       "Slice(AxisSlice { axis: 1, start: 2, length: 3 })"},
      {debug(OperatorFamily{family::FlashAttention{graph::AttentionOptions{false, graph::ValueBits{7}},
                                                   mid::AccumulationPrecision::F32}}),
       "FlashAttention { options: AttentionOptions { causal: false, scale: ValueBits(7) }, accumulate: F32 "
       "}"},
      {debug(OperatorDispatch{dispatch::RowGroups{4}}), "RowGroups { groups: 4 }"},
      {debug(OperatorDispatch{dispatch::Local{}}), "Local"},
      {debug(OperatorDispatch{dispatch::View{}}), "View"},
      {debug(OperatorDispatch{dispatch::Gemm{64, 128, GemmDistribution{mid::Batched{3}, 1, 2, 4, 1, 2},
                                             GemmOrientation::Swapped}}),
       "Gemm { inner_block: 64, output_column_block: 128, distribution: Some(GemmDistribution { "
       "reduction_staging: Batched(3), row_partitions: 1, column_partitions: 2, inner_partitions: 4, "
       "result_row_partitions: 1, result_column_partitions: 2 }), orientation: Swapped }"},
      {debug(OperatorDispatch{dispatch::Attention{ProductGrid{1, 2, 3}, std::nullopt, std::int8_t{-2},
                                                  std::nullopt, 128, 64, 32, true}}),
       "Attention { score_grid: Some(ProductGrid { row_partitions: 1, column_partitions: 2, "
       "inner_partitions: 3 "
       "}), value_grid: None, score_exponent: Some(-2), value_exponent: None, key_block: 128, query_width: "
       "64, "
       "value_width: 32, single_key_block: true }"},
      {debug(GemmOrientation::Normal), "Normal"},
      {debug(LocalOperandStaging::MatchRemote), "MatchRemote"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, c.expected);
}

// --- Equality and hashing ------------------------------------------------------------------------

TEST(OperatorPlanHash, HashesExactlyWhatEqualityCompares) {
  const OperatorPlan base = gelu_plan(2);
  const auto with = [&](const std::function<void(OperatorPlan&)>& change) {
    OperatorPlan plan = base;
    change(plan);
    return plan;
  };
  const OperatorPlan attention = attention_plan();
  const auto with_attention = [&](const std::function<void(dispatch::Attention&)>& change) {
    OperatorPlan plan = attention;
    change(std::get<dispatch::Attention>(plan.dispatch));
    return plan;
  };
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({
      base,
      gelu_plan(2),  // equal to base, built separately
      gelu_plan(4),
      with([](OperatorPlan& p) { p.operands[0].streamed = true; }),
      with([](OperatorPlan& p) { p.operands[0].staging = LocalOperandStaging::MatchRemote; }),
      with([](OperatorPlan& p) { p.reusable_inputs.reset(); }),
      with([](OperatorPlan& p) { p.reusable_inputs->clear(); }),
      with([](OperatorPlan& p) { p.reusable_inputs->push_back(1); }),
      with([](OperatorPlan& p) { p.output.precision = tensor::F8F143{1}; }),
      with([](OperatorPlan& p) { p.output.precision = tensor::F8F143{2}; }),
      with([](OperatorPlan& p) { p.family = family::Add{}; }),
      with([](OperatorPlan& p) {
        p.family = family::Slice{graph::AxisSlice{1, 0, 4}};
      }),
      with([](OperatorPlan& p) {
        p.family = family::Slice{graph::AxisSlice{1, 0, 5}};
      }),
      with([](OperatorPlan& p) { p.dispatch = dispatch::View{}; }),
      with([](OperatorPlan& p) { p.dispatch = dispatch::RowGroups{2}; }),
      with([](OperatorPlan& p) { p.dispatch = dispatch::RowGroups{4}; }),
      grid_gemm(tensor::F16{}),
      grid_gemm(tensor::F32{}),
      split_gemm(),
      swapped_split_gemm(),
      with([](OperatorPlan& p) {
        p = split_gemm();
        std::get<dispatch::Gemm>(p.dispatch).distribution->reduction_staging = mid::Batched{2};
      }),
      with([](OperatorPlan& p) {
        p = split_gemm();
        std::get<dispatch::Gemm>(p.dispatch).distribution->reduction_staging = mid::Batched{3};
      }),
      attention,
      with_attention([](dispatch::Attention& d) { d.score_exponent = 0; }),
      with_attention([](dispatch::Attention& d) { d.value_exponent = 0; }),
      with_attention([](dispatch::Attention& d) {
        d.score_grid = ProductGrid{1, 1, 1};
      }),
      with_attention([](dispatch::Attention& d) {
        d.value_grid = ProductGrid{1, 1, 1};
      }),
      with_attention([](dispatch::Attention& d) { d.single_key_block = true; }),
  }));
}

TEST(OperatorPlanHash, PlansDifferingOnlyInStreamedDifferAndHashDifferently) {
  const OperatorPlan plain = gelu_plan(2);
  OperatorPlan streamed = plain;
  streamed.operands[0].streamed = true;
  EXPECT_NE(plain, streamed);
  EXPECT_NE(hash_of(plain), hash_of(streamed));
}

TEST(OperatorPlanHash, AbsentAndEmptyReusableListsDiffer) {
  OperatorPlan absent = gelu_plan(2);
  absent.reusable_inputs.reset();
  OperatorPlan empty = gelu_plan(2);
  empty.reusable_inputs.emplace();
  EXPECT_NE(absent, empty);
  OperatorPlan also_absent = gelu_plan(2);
  also_absent.reusable_inputs.reset();
  EXPECT_EQ(absent, also_absent);
}

// --- Tensor types and reuse ------------------------------------------------------------------------

TEST(OperatorPlanTensorTypes, PairsInputsWithOperandsUpToTheShorterList) {
  OperatorPlan plan = gelu_plan(2);
  const auto inputs = inputs_of({activations, vectors});
  const PlanTensorTypes types = plan.tensor_types(inputs, TensorShape{1, 16, 64});
  ASSERT_EQ(types.inputs.size(), 1U);
  EXPECT_EQ(types.inputs[0], (TensorType{activations, plan.operands[0].format}));
  EXPECT_EQ(types.output, (TensorType{TensorShape{1, 16, 64}, plan.output}));

  EXPECT_TRUE(plan.tensor_types({}, activations).inputs.empty());
}

TEST(OperatorPlanReuse, NeedsAnExistingOperandOfTheResultShapeAndFormat) {
  const OperatorPlan plan = gelu_plan(2);
  OperatorPlan other_format = plan;
  other_format.operands[0].format.layout = Layout::row_sharded(4);
  const auto one = inputs_of({activations});
  const auto two = inputs_of({activations, activations});
  const struct {
    const char* name;
    const OperatorPlan& plan;
    std::uint16_t index;
    std::vector<TensorType> inputs;
    bool expected;
  } cases[] = {
      {"matching input", plan, 0, one, true},
      {"index beyond the operands, shapes matching", plan, 1, two, false},
      {"index beyond the inputs", plan, 0, {}, false},
      {"input shape differs from the result", plan, 0, inputs_of({vectors}), false},
      {"operand format differs from the output", other_format, 0, one, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.plan.can_reuse_input(c.index, c.inputs, activations), c.expected);
  }
}

// --- Support: general steps -----------------------------------------------------------------------

TEST(OperatorPlanSupports, ReusableInputsMustNameOneReusableInput) {
  OperatorPlan plan = gelu_plan(8);
  const auto inputs = inputs_of({activations});
  EXPECT_TRUE(plan.supports(inputs, activations));

  plan.reusable_inputs.emplace();  // present but empty
  EXPECT_FALSE(plan.supports(inputs, activations));
  plan.reusable_inputs = Indices{3};  // names no operand
  EXPECT_FALSE(plan.supports(inputs, activations));
  plan.reusable_inputs = Indices{3, 0};
  EXPECT_TRUE(plan.supports(inputs, activations));
  plan.reusable_inputs.reset();
  EXPECT_TRUE(plan.supports(inputs, activations));
}

TEST(OperatorPlanSupports, GeneralSteps) {
  const auto one = inputs_of({activations});
  const struct {
    const char* name;
    OperatorPlan plan;
    std::vector<TensorType> inputs;
    TensorShape output;
    bool expected;
  } cases[] = {
      {"input count differs from operand count", gelu_plan(8), inputs_of({activations, activations}),
       activations, false},
      {"operand layout does not resolve (rank 1 has no second axis from the end)", gelu_plan(1),
       inputs_of({TensorShape{128}}), TensorShape{128}, false},
      {"local dispatch accepts empty output shards", gelu_plan(64), one, activations, true},
      {"row groups reject empty output shards",
       [] {
         OperatorPlan p = gelu_plan(64);
         p.family = family::LayerNorm{};
         p.dispatch = dispatch::RowGroups{2};
         return p;
       }(),
       one, activations, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.plan.supports(c.inputs, c.output), c.expected);
  }
}

TEST(OperatorPlanSupports, FamilyAndDispatchCombinations) {
  const auto one = inputs_of({activations});
  const auto changed = [](OperatorPlan plan, OperatorFamily family, OperatorDispatch dispatch) {
    plan.family = std::move(family);
    plan.dispatch = std::move(dispatch);
    return plan;
  };
  OperatorPlan split_tiles = gelu_plan(8);
  split_tiles.operands[0].format.layout = Layout::row_sharded(4);
  split_tiles.reusable_inputs.reset();
  const struct {
    const char* name;
    OperatorPlan plan;
    bool expected;
  } cases[] = {
      {"local gelu", gelu_plan(8), true},
      {"local operand on other tiles", split_tiles, false},
      {"row-grouped layer norm", changed(gelu_plan(8), family::LayerNorm{}, dispatch::RowGroups{2}), true},
      {"row-grouped gelu", changed(gelu_plan(8), family::Gelu{}, dispatch::RowGroups{2}), false},
      {"row groups with an operand on other tiles",
       changed(split_tiles, family::LayerNorm{}, dispatch::RowGroups{2}), false},
      {"local GEMM family", changed(gelu_plan(8), family::Gemm{}, dispatch::Local{}), false},
      {"local slice family",
       changed(gelu_plan(8), family::Slice{graph::AxisSlice{1, 0, 8}}, dispatch::Local{}), false},
      {"view dispatch for gelu", changed(gelu_plan(8), family::Gelu{}, dispatch::View{}), false},
      {"GEMM dispatch for layer norm",
       changed(gelu_plan(8), family::LayerNorm{},
               dispatch::Gemm{64, 64, std::nullopt, GemmOrientation::Normal}),
       false},
      {"attention dispatch for gelu", changed(gelu_plan(8), family::Gelu{}, dispatch::Attention{}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.plan.supports(one, activations), c.expected);
  }
}

TEST(OperatorPlanSupports, ViewsAndSlicesFollowTheirShapeRule) {
  const auto one = inputs_of({activations});
  OperatorPlan f8_output = view_plan(family::Slice{graph::AxisSlice{1, 2, 4}});
  f8_output.output.precision = tensor::F8F143{0};
  const struct {
    const char* name;
    OperatorPlan plan;
    TensorShape output;
    bool expected;
  } cases[] = {
      {"view that applies", view_plan(family::View{graph::AxisFactorView{2, 1, 2, false}}),
       TensorShape{1, 16, 64}, true},
      {"view with another result shape", view_plan(family::View{graph::AxisFactorView{2, 1, 2, false}}),
       activations, false},
      {"view whose factor does not divide the split axis",
       view_plan(family::View{graph::AxisFactorView{2, 1, 3, false}}), TensorShape{1, 16, 64}, false},
      {"slice inside its axis", view_plan(family::Slice{graph::AxisSlice{1, 2, 4}}), TensorShape{1, 4, 128},
       true},
      {"slice beyond its axis", view_plan(family::Slice{graph::AxisSlice{1, 6, 4}}), TensorShape{1, 4, 128},
       false},
      {"slice changing the precision", f8_output, TensorShape{1, 4, 128}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.plan.supports(one, c.output), c.expected);
  }
}

// --- Support: GEMM rules --------------------------------------------------------------------------

using PlanChange = std::function<void(OperatorPlan&)>;

dispatch::Gemm& gemm_dispatch(OperatorPlan& plan) {
  return std::get<dispatch::Gemm>(plan.dispatch);
}
family::Gemm& gemm_family(OperatorPlan& plan) {
  return std::get<family::Gemm>(plan.family);
}

struct GemmCase {
  const char* name;
  std::function<OperatorPlan()> base;
  PlanChange change;
  bool expected;
};

void expect_gemm_cases(std::span<const GemmCase> cases) {
  const auto inputs = inputs_of({activations, weights});
  for (const GemmCase& c : cases) {
    SCOPED_TRACE(c.name);
    OperatorPlan plan = c.base();
    c.change(plan);
    EXPECT_EQ(plan.supports(inputs, activations), c.expected);
  }
}

TEST(OperatorPlanSupports, GemmWithoutDistribution) {
  const auto f16_grid = [] { return grid_gemm(tensor::F16{}); };
  const auto f32_grid = [] { return grid_gemm(tensor::F32{}); };
  const auto output_order = [](tensor::ElementOrder order) {
    return [order](OperatorPlan& p) { p.output.layout.order = order; };
  };
  const auto group = [](BlockMajorKind kind, std::uint16_t rows) {
    return tensor::ElementOrder{BlockMajor{BlockMajorOrder{kind, rows, 16}}};
  };
  const GemmCase cases[] = {
      {"eight row tiles, F16", f16_grid, [](OperatorPlan&) {}, true},
      {"eight row tiles, F32 into the AMP output order", f32_grid, [](OperatorPlan&) {}, true},
      {"F32 products may also leave the left order", f32_grid, output_order(Amp{AmpOrder::Left}), true},
      {"F16 products cannot write the AMP output order", f16_grid, output_order(Amp{AmpOrder::Output}),
       false},
      {"F16 products into a transposed GEMM output group", f16_grid,
       output_order(group(BlockMajorKind::TransposedMatrix, 64)), true},
      {"GEMM output group of the wrong kind", f16_grid, output_order(group(BlockMajorKind::Matrix, 64)),
       false},
      {"row block that is no GEMM output group", f16_grid,
       output_order(group(BlockMajorKind::TransposedMatrix, 24)), false},
      {"F32 products into a GEMM output group", f32_grid,
       output_order(group(BlockMajorKind::TransposedMatrix, 64)), false},
      {"row-major output", f16_grid, output_order(tensor::RowMajor{}), false},
      {"transposed left operand", f16_grid,
       [](OperatorPlan& p) { gemm_family(p).options.transpose_left = true; }, false},
      {"transposed right operand", f16_grid,
       [](OperatorPlan& p) { gemm_family(p).options.transpose_right = true; }, false},
      {"zero inner block", f16_grid, [](OperatorPlan& p) { gemm_dispatch(p).inner_block = 0; }, false},
      {"zero output column block", f16_grid,
       [](OperatorPlan& p) { gemm_dispatch(p).output_column_block = 0; }, false},
      {"inner block not dividing the padded inner dimension", f16_grid,
       [](OperatorPlan& p) { gemm_dispatch(p).inner_block = 96; }, false},
      {"weight columns narrower than the output column block", f16_grid,
       [](OperatorPlan& p) { gemm_dispatch(p).output_column_block = 256; }, false},
      {"left operand not in the AMP left order", f16_grid,
       [](OperatorPlan& p) { p.operands[0].format.layout.order = Amp{AmpOrder::TransposedLeft}; }, false},
      {"weight in the transposed block-major order", f16_grid,
       [&](OperatorPlan& p) {
         p.operands[1].format.layout.order = group(BlockMajorKind::TransposedMatrix, 64);
       },
       false},
      {"swapped orientation with normal operand orders", f16_grid,
       [](OperatorPlan& p) { gemm_dispatch(p).orientation = GemmOrientation::Swapped; }, false},
      {"operand 0 on other tiles than the output", f16_grid,
       [](OperatorPlan& p) {
         p.output.layout = Layout::amp_output_grid(64, 4, 4, 1, false);
         p.output.layout.order = Amp{AmpOrder::Left};
       },
       false},
      {"a distribution with a single inner partition", f16_grid,
       [](OperatorPlan& p) {
         gemm_dispatch(p).distribution = GemmDistribution{mid::Complete{}, 8, 1, 1, 1, 1};
       },
       false},
  };
  expect_gemm_cases(cases);
}

// Names the output's FromEnd(`from_end`) axis tiling FromStart(`from_start`) instead: the same axis of
// the rank-3 activations, spelled differently.
PlanChange respell_output_axis(std::uint16_t from_end, std::uint16_t from_start) {
  return [=](OperatorPlan& p) {
    for (AxisTiling& axis : p.output.layout.tiling.axes) {
      if (axis.axis == tensor::TensorAxis{FromEnd{from_end}}) axis.axis = tensor::FromStart{from_start};
    }
  };
}

TEST(OperatorPlanSupports, GemmWithDistribution) {
  const auto distribution = [](OperatorPlan& p) -> GemmDistribution& {
    return *gemm_dispatch(p).distribution;
  };
  const GemmCase cases[] = {
      {"two inner partitions", split_gemm, [](OperatorPlan&) {}, true},
      {"swapped, two inner partitions", swapped_split_gemm, [](OperatorPlan&) {}, true},
      {"one inner partition", split_gemm, [&](OperatorPlan& p) { distribution(p).inner_partitions = 1; },
       false},
      {"fewer inner partitions than result groups", split_gemm,
       [&](OperatorPlan& p) { distribution(p).result_column_partitions = 3; }, false},
      {"zero row partitions", split_gemm, [&](OperatorPlan& p) { distribution(p).row_partitions = 0; },
       false},
      {"zero result row partitions", split_gemm,
       [&](OperatorPlan& p) { distribution(p).result_row_partitions = 0; }, false},
      {"output tile count off the result grid", split_gemm,
       [&](OperatorPlan& p) { distribution(p).row_partitions = 2; }, false},
      {"output wider than the output column block", split_gemm,
       [](OperatorPlan& p) { gemm_dispatch(p).output_column_block = 64; }, false},
      {"output without a row axis tiling", split_gemm,
       [](OperatorPlan& p) { p.output.layout.tiling.axes.pop_back(); }, false},
      {"swapped, result rows off the output tiles", swapped_split_gemm,
       [&](OperatorPlan& p) { distribution(p).result_row_partitions = 2; }, false},
      // The result grid is read from the axis tilings counted from the end; the same axis named
      // from the start does not count.
      {"output rows tiled by a FromStart axis", split_gemm, respell_output_axis(2, 1), false},
      {"output columns tiled by a FromStart axis", split_gemm, respell_output_axis(1, 2), false},
      {"swapped, output rows tiled by a FromStart axis", swapped_split_gemm, respell_output_axis(1, 2),
       false},
  };
  expect_gemm_cases(cases);
}

TEST(OperatorPlanSupports, GemmNeedsTwoMatrices) {
  const OperatorPlan plan = grid_gemm(tensor::F16{});
  EXPECT_FALSE(plan.supports(inputs_of({TensorShape{128}, weights}), activations));
  EXPECT_FALSE(plan.supports(inputs_of({activations, weights}), TensorShape{128}));
}

// --- Support: attention rules ---------------------------------------------------------------------

TEST(OperatorPlanSupports, AttentionRules) {
  const TensorShape heads{2, 64, 64};
  const auto inputs = inputs_of({heads, heads, heads});
  const auto attention = [](OperatorPlan& p) -> dispatch::Attention& {
    return std::get<dispatch::Attention>(p.dispatch);
  };
  const auto options = [](OperatorPlan& p) -> family::FlashAttention& {
    return std::get<family::FlashAttention>(p.family);
  };
  const struct {
    const char* name;
    PlanChange change;
    bool expected;
  } cases[] = {
      {"streamed keys in blocks of 64", [](OperatorPlan&) {}, true},
      {"a larger key block in a single block",
       [&](OperatorPlan& p) {
         attention(p).key_block = 128;
         attention(p).single_key_block = true;
       },
       true},
      {"a larger key block streamed", [&](OperatorPlan& p) { attention(p).key_block = 128; }, false},
      {"a key block that is no multiple of 64",
       [&](OperatorPlan& p) {
         attention(p).key_block = 96;
         attention(p).single_key_block = true;
       },
       false},
      {"zero key block", [&](OperatorPlan& p) { attention(p).key_block = 0; }, false},
      {"zero query width", [&](OperatorPlan& p) { attention(p).query_width = 0; }, false},
      {"zero value width", [&](OperatorPlan& p) { attention(p).value_width = 0; }, false},
      {"causal attention", [&](OperatorPlan& p) { options(p).options.causal = true; }, false},
      {"F16 accumulation", [&](OperatorPlan& p) { options(p).accumulate = mid::AccumulationPrecision::F16; },
       false},
      {"another family", [](OperatorPlan& p) { p.family = family::Add{}; }, false},
      {"query not in the AMP left order",
       [](OperatorPlan& p) { p.operands[0].format.layout.order = tensor::RowMajor{}; }, false},
      {"key not in the transposed right order",
       [](OperatorPlan& p) { p.operands[1].format.layout.order = Amp{AmpOrder::Left}; }, false},
      {"value not block-major",
       [](OperatorPlan& p) { p.operands[2].format.layout.order = Amp{AmpOrder::TransposedRight}; }, false},
      {"output not row-major", [](OperatorPlan& p) { p.output.layout.order = Amp{AmpOrder::Left}; }, false},
      {"query on other tiles than the output",
       [](OperatorPlan& p) {
         p.operands[0].format.layout = Layout::attention_output(2, 1);
         p.operands[0].format.layout.order = Amp{AmpOrder::Left};
       },
       false},
      {"key on other tiles than the value",
       [](OperatorPlan& p) { p.operands[1].format.layout = Layout::attention_key(2, 2); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OperatorPlan plan = attention_plan();
    c.change(plan);
    EXPECT_EQ(plan.supports(inputs, heads), c.expected);
  }
  EXPECT_FALSE(attention_plan().supports(inputs_of({heads, heads}), heads));
}

// --- Support against the example graph ---------------------------------------------------------

// Every concrete entry of the catalogues of a 64-tile target, for each active tile count.
std::vector<std::pair<std::uint16_t, ConcreteOperatorCandidate>> catalogue_for_64_tiles() {
  std::vector<std::pair<std::uint16_t, ConcreteOperatorCandidate>> entries;
  for (const std::uint16_t t : candidate_active_tile_counts(64)) {
    for (const OperatorCandidate& candidate : operator_candidates_for_tile_count(t)) {
      if (const auto* concrete = std::get_if<ConcreteOperatorCandidate>(&candidate))
        entries.emplace_back(t, *concrete);
    }
  }
  return entries;
}

TEST(OperatorPlanSupports, EveryCatalogueLayerNormSupportsTheExampleNormalisation) {
  const auto inputs = inputs_of({activations, vectors, vectors});
  int layer_norms = 0;
  for (const auto& [t, entry] : catalogue_for_64_tiles()) {
    SCOPED_TRACE(debug(entry));
    if (std::holds_alternative<family::LayerNorm>(entry.plan.family)) {
      ++layer_norms;
      EXPECT_TRUE(entry.plan.supports(inputs, activations));
    } else if (entry.plan.operands.size() != 3) {
      EXPECT_FALSE(entry.plan.supports(inputs, activations));
    }
  }
  EXPECT_EQ(layer_norms, 14);  // two per active tile count
}

TEST(OperatorPlanSupports, CatalogueGemmsOnTheExampleProduct) {
  const auto inputs = inputs_of({activations, weights});
  const auto supported = [&](const OperatorPlan& plan) { return plan.supports(inputs, activations); };
  const tensor::Precision f16 = tensor::F16{};
  const tensor::Precision f32 = tensor::F32{};

  // No 64-tile GEMM fits eight rows: every grid needs more than eight row partitions or more
  // column partitions than the 128 columns have blocks.
  for (const auto& [t, entry] : catalogue_for_64_tiles()) {
    if (t == 64 && std::holds_alternative<family::Gemm>(entry.plan.family)) {
      SCOPED_TRACE(debug(entry));
      EXPECT_FALSE(supported(entry.plan));
    }
  }

  const struct {
    const char* name;
    tensor::Precision multiply;
    std::uint16_t block, tiles, rows, columns, weight_rows;
    bool interleaved;
    bool expected;
  } cases[] = {
      {"eight rows by four 32-column panels", f16, 32, 32, 8, 4, 1, true, true},
      {"eight rows by two 64-column panels", f16, 64, 16, 8, 2, 1, false, true},
      {"F32, eight rows by two 64-column panels", f32, 64, 16, 8, 2, 1, false, true},
      {"weight rows in two interleaved groups", f16, 64, 16, 8, 2, 2, true, true},
      {"one 128-column panel on eight row tiles", f16, 128, 8, 8, 1, 1, false, true},
      {"two 128-column panels leave one empty", f16, 128, 16, 8, 2, 1, false, false},
      {"sixteen row partitions for eight rows", f16, 64, 16, 16, 1, 1, false, false},
      {"weight rows split four ways leave empty shards", f16, 64, 4, 4, 1, 4, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(supported(amp_grid_gemm_operator_candidate(c.multiply, 64, c.block, c.tiles, c.rows, c.columns,
                                                         c.weight_rows, c.interleaved)
                            .plan),
              c.expected);
  }
}

// --- Partial products ------------------------------------------------------------------------------

TEST(GemmPartialTensor, OtherDispatchesKeepTheOutputType) {
  const TensorType output{activations, f16(Layout::row_sharded(8))};
  EXPECT_EQ(gemm_partial_tensor(dispatch::Gemm{64, 64, std::nullopt, GemmOrientation::Normal}, output),
            output);
  EXPECT_EQ(gemm_partial_tensor(dispatch::Local{}, output), output);
}

TEST(GemmPartialTensor, PartialGridFollowsOrientationAndOutputOrder) {
  const auto output_with = [](tensor::ElementOrder order, AxisTiling columns, std::uint16_t from_end) {
    // The column axis first; the other matrix axis unsplit.
    const std::uint16_t other = from_end == 1 ? 2 : 1;
    Layout layout{
        order,
        TensorTiling{
            columns.partitions, 1, {columns, AxisTiling::simple(FromEnd{other}, 1, 1, 1, Padding::Reject)}},
        MemoryClass::Ipu21Interleaved};
    layout.tiling.axes[0].axis = FromEnd{from_end};
    return TensorType{activations, f16(layout)};
  };
  const auto dispatch_of = [](GemmOrientation o) {
    return dispatch::Gemm{64, 32, GemmDistribution{mid::Streamed{}, 2, 3, 4, 1, 1}, o};
  };
  // Output columns in three partitions of 16-element blocks with shard padding 8.
  const AxisTiling three{FromEnd{1}, 3, 1, 16, 16, 8, Padding::Zero, std::uint16_t{1}};
  const AxisTiling two{FromEnd{1}, 2, 1, 16, 16, 8, Padding::Zero, std::uint16_t{1}};

  const auto column_axis_as = [](Layout layout, std::size_t index, std::uint32_t block, std::uint32_t shard) {
    layout.tiling.axes[index].block_size = block;
    layout.tiling.axes[index].padding_multiple = block;
    layout.tiling.axes[index].shard_padding_multiple = shard;
    return layout;
  };

  const struct {
    const char* name;
    GemmOrientation orientation;
    TensorType output;
    Layout expected;
  } cases[] = {
      {"normal, AMP left output", GemmOrientation::Normal, output_with(Amp{AmpOrder::Left}, three, 1),
       column_axis_as(Layout::amp_left_result_grid(32, 6, 2, 3, false), 0, 16, 8)},
      {"normal, AMP output order", GemmOrientation::Normal, output_with(Amp{AmpOrder::Output}, three, 1),
       column_axis_as(Layout::amp_output_grid(32, 6, 2, 3, false), 0, 16, 8)},
      {"normal, partition counts differ: no shard padding", GemmOrientation::Normal,
       output_with(Amp{AmpOrder::Left}, two, 1),
       column_axis_as(Layout::amp_left_result_grid(32, 6, 2, 3, false), 0, 16, 1)},
      {"normal, GEMM output group keeps its order", GemmOrientation::Normal,
       output_with(BlockMajor{BlockMajorOrder{BlockMajorKind::TransposedMatrix, 64, 16}}, three, 1),
       [&] {
         Layout l = column_axis_as(Layout::amp_output_grid(32, 6, 2, 3, false), 0, 16, 8);
         l.order = BlockMajor{BlockMajorOrder{BlockMajorKind::TransposedMatrix, 64, 16}};
         return l;
       }()},
      {"swapped, AMP transposed left output", GemmOrientation::Swapped,
       output_with(Amp{AmpOrder::TransposedLeft}, three, 2),
       column_axis_as(Layout::amp_transposed_left_result_grid(32, 6, 2, 3, false), 0, 16, 8)},
      {"swapped, AMP transposed output order", GemmOrientation::Swapped,
       output_with(Amp{AmpOrder::TransposedOutput}, three, 2),
       column_axis_as(Layout::amp_transposed_output_grid(32, 6, 2, 3, false), 0, 16, 8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TensorType partial = gemm_partial_tensor(dispatch_of(c.orientation), c.output);
    EXPECT_EQ(partial.shape, c.output.shape);
    EXPECT_EQ(partial.format.precision, c.output.format.precision);
    EXPECT_EQ(partial.format.layout, c.expected);
  }
}

TEST(GemmPartialTensor, TileCountSaturates) {
  const TensorType output{activations, f16(Layout::amp_output_grid(64, 8, 8, 1, false))};
  const dispatch::Gemm gemm{64, 64, GemmDistribution{mid::Complete{}, 256, 256, 2, 1, 1},
                            GemmOrientation::Normal};
  EXPECT_EQ(gemm_partial_tensor(gemm, output).format.layout.tiling.tile_count, 65535);
}

}  // namespace
}  // namespace ostrand::planner

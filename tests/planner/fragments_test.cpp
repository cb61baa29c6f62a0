#include "planner/fragments.hpp"

#include <gtest/gtest.h>

#include "mid/validate.hpp"
#include "planner/fragment_fixtures.hpp"
#include "planner/gemm.hpp"
#include "tensor/resolved.hpp"

namespace ostrand::planner {
namespace {

using fixtures::axis;
using fixtures::plan_of;
using fixtures::roles;
using fixtures::row_major;
using fixtures::typed;
using mid::MidValueId;
using tensor::FromEnd;
using tensor::FromStart;
using tensor::Layout;
using tensor::TensorType;

const mid::Kernel& kernel_of(const mid::MidOperation& op) {
  const auto* k = op.kind.compute_if<mid::Kernel>();
  EXPECT_NE(k, nullptr);
  return *k;
}

// --- Builder primitives ------------------------------------------------------------------------

class BuilderTest : public ::testing::Test {
 protected:
  TensorType rows = typed({8, 128}, tensor::F16{}, Layout::row_sharded(4));
  FragmentBuilder builder{std::vector<TensorType>{rows}};
};

TEST_F(BuilderTest, InputsBecomeTheFirstValues) {
  const mid::MidProgram& p = builder.program();
  ASSERT_EQ(p.inputs.size(), 1U);
  EXPECT_EQ(p.inputs[0].value, MidValueId{0});
  EXPECT_EQ(p.inputs[0].name, "");
  EXPECT_FALSE(p.inputs[0].retained);
  EXPECT_EQ(p.values[0].canonical, MidValueId{0});
  EXPECT_EQ(p.values[0].graph_value, 0U);
  EXPECT_EQ(p.values[0].owners, tensor::OwnerMap{});
}

TEST_F(BuilderTest, MaterializeReturnsTheValueWhenNothingIsToDo) {
  EXPECT_EQ(builder.materialize("m", MidValueId{0}, rows, {}, true), MidValueId{0});
  EXPECT_EQ(builder.materialize("m", MidValueId{0}, rows, {0, 0}, true), MidValueId{0});
  // Another tiling that places every element on the same tile is the same form.
  TensorType same = rows;
  same.format.layout.tiling = tensor::TensorTiling{4, 1, {axis(FromStart{0}, 4, 1)}};
  EXPECT_EQ(builder.materialize("m", MidValueId{0}, same, {}, true), MidValueId{0});
  EXPECT_TRUE(builder.program().operations.empty());
}

TEST_F(BuilderTest, MaterializeRearrangesForAnOffsetOrAnotherForm) {
  const MidValueId shifted = builder.materialize("m", MidValueId{0}, rows, {0, 4}, false);
  TensorType interleaved = rows;
  interleaved.format.layout.memory_class = tensor::MemoryClass::Ipu21Interleaved;
  const MidValueId moved =
      builder.materialize(mid::LocalSite("n").at(3), MidValueId{0}, interleaved, {}, true);
  const mid::MidProgram& p = builder.program();
  ASSERT_EQ(p.operations.size(), 2U);
  EXPECT_EQ(shifted, MidValueId{1});
  EXPECT_EQ(moved, MidValueId{2});
  const auto* first = p.operations[0].kind.get_if<mid::Rearrange>();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(*first, (mid::Rearrange{.offsets = {0, 4},
                                    .view = std::nullopt,
                                    .redistribute = false,
                                    .reserved = false,
                                    .alias = false}));
  EXPECT_EQ(p.operations[1].site, mid::LocalSite("n", {3}));
  EXPECT_TRUE(p.operations[1].kind.get_if<mid::Rearrange>()->redistribute);
  EXPECT_EQ(p.operations[1].source, std::nullopt);
}

TEST_F(BuilderTest, CastOnlyWhenThePrecisionDiffers) {
  EXPECT_EQ(builder.cast("c", MidValueId{0}, tensor::F16{}), MidValueId{0});
  EXPECT_TRUE(builder.program().operations.empty());

  FragmentBuilder fp8(std::vector<TensorType>{typed({8, 128}, tensor::F8F143{3}, Layout::row_sharded(4))});
  EXPECT_EQ(fp8.cast("c", MidValueId{0}, tensor::F8F143{3}), MidValueId{0});
  const MidValueId cast = fp8.cast("c", MidValueId{0}, tensor::F8F143{4});
  ASSERT_EQ(fp8.program().operations.size(), 1U);
  const mid::Kernel& k = kernel_of(fp8.program().operations[0]);
  EXPECT_EQ(k.spec, mid::TileKernelSpec(mid::kernels::Cast{tensor::F8F143{3}, tensor::F8F143{4}}));
  EXPECT_EQ(k.operands, std::vector<mid::OperandIndexing>{mid::indexing::Broadcast{0}});
  EXPECT_EQ(fp8.type(cast).format.precision, tensor::Precision(tensor::F8F143{4}));
  EXPECT_TRUE(k.aliases.empty());
}

TEST_F(BuilderTest, ComputeReadsAReusedValueAsAnExtraInput) {
  const ComputeOutput out{rows, MidValueId{0}};
  const auto defined =
      builder.compute("k", {MidValueId{0}}, std::span(&out, 1),
                      mid::Compute{mid::Kernel{{mid::indexing::Broadcast{0}}, {}, mid::kernels::Gelu{}}});
  const mid::MidOperation& op = builder.program().operations.at(0);
  EXPECT_EQ(op.inputs, (std::vector<MidValueId>{MidValueId{0}, MidValueId{0}}));
  EXPECT_EQ(op.outputs, defined);
  EXPECT_EQ(kernel_of(op).aliases, (mid::Aliases{{0, 1}}));
}

TEST_F(BuilderTest, FinishSizesTheDeviceAndEstimates) {
  TensorType wide = rows;
  wide.format.layout = Layout::row_sharded(8);
  const MidValueId moved = builder.materialize("m", MidValueId{0}, wide, {}, true);
  const Fragment fragment = std::move(builder).finish(moved);
  ASSERT_TRUE(fragment.has_value());
  ASSERT_NE(*fragment, nullptr);
  EXPECT_EQ((*fragment)->device_tiles, 8);
  EXPECT_EQ((*fragment)->outputs, std::vector<MidValueId>{moved});
  EXPECT_TRUE((*fragment)->estimates.has_value());
}

TEST(Builder, AnEmptyOrInvalidProgramIsNoFragment) {
  EXPECT_FALSE(FragmentBuilder().finish(MidValueId{0}).has_value());
  // The result names no value: validation fails.
  FragmentBuilder builder(std::vector<TensorType>{typed({8, 128}, tensor::F16{}, Layout::row_sharded(4))});
  EXPECT_FALSE(std::move(builder).finish(MidValueId{5}).has_value());
}

// --- Cast layouts --------------------------------------------------------------------------------

TEST(CastLayout, ByElementOrder) {
  const Layout rows = Layout::row_sharded(4);
  EXPECT_EQ(cast_layout(typed({8, 128}, tensor::F16{}, rows)), rows);

  Layout blocks = Layout::block_major_matrix_storage(64, 64, 2, 1, 1, tensor::MemoryClass::Ipu21Standard);
  EXPECT_EQ(cast_layout(typed({128, 128}, tensor::F16{}, blocks)), blocks);
  blocks.order = tensor::BlockMajor{{tensor::BlockMajorKind::Matrix, 16, 16}};
  EXPECT_EQ(cast_layout(typed({128, 128}, tensor::F16{}, blocks)), std::nullopt);

  Layout output = rows;
  output.order = tensor::Amp{tensor::AmpOrder::Output};
  EXPECT_EQ(cast_layout(typed({8, 100}, tensor::F32{}, output)), output);
}

TEST(CastLayout, AmpOrdersNeedPanelsOf32) {
  // Left: the last axis in shards of 64 casts as it is.
  Layout left{tensor::Amp{tensor::AmpOrder::Left}, tensor::TensorTiling{2, 1, {axis(FromEnd{1}, 2, 1)}},
              tensor::MemoryClass::Ipu21Standard};
  EXPECT_EQ(cast_layout(typed({8, 128}, tensor::F16{}, left)), left);
  // Shards 48 and 32 (80 over two tiles in panels of 16): the first is no whole panel of 32.
  left.tiling.axes[0].block_size = 16;
  left.tiling.axes[0].padding_multiple = 16;
  EXPECT_EQ(cast_layout(typed({8, 80}, tensor::F16{}, left)), std::nullopt);
  // Shards 32, 32 and 16 over three tiles: complete panels except the tail, so the shards get
  // padded to 32.
  const auto padded = cast_layout(typed({8, 80}, tensor::F16{}, [&] {
    Layout l = left;
    l.tiling.tile_count = 3;
    l.tiling.axes[0].partitions = 3;
    return l;
  }()));
  ASSERT_TRUE(padded.has_value());
  EXPECT_EQ(padded->tiling.axes[0].shard_padding_multiple, 32U);

  // TransposedLeft looks at the second-to-last axis, TransposedRight at the last.
  Layout transposed{tensor::Amp{tensor::AmpOrder::TransposedLeft}, tensor::TensorTiling{1, 1, {}},
                    tensor::MemoryClass::Ipu21Standard};
  EXPECT_EQ(cast_layout(typed({64, 8}, tensor::F16{}, transposed)), transposed);
  EXPECT_EQ(cast_layout(typed({8, 64}, tensor::F16{}, transposed)), std::nullopt);
  transposed.order = tensor::Amp{tensor::AmpOrder::TransposedRight};
  EXPECT_EQ(cast_layout(typed({8, 64}, tensor::F16{}, transposed)), transposed);
  EXPECT_EQ(cast_layout(typed({64}, tensor::F16{}, transposed)), std::nullopt);
}

TEST(ProducerLayout, RowMajorBecomesAmpLeftForAnAmpTarget) {
  const TensorType rows = typed({8, 100}, tensor::F16{}, Layout::row_sharded(4));
  const tensor::TensorFormat target{
      tensor::F16{},
      Layout{tensor::Amp{tensor::AmpOrder::Left}, {4, 1, {}}, tensor::MemoryClass::Ipu21Standard}};
  const auto produced = producer_layout(rows, target);
  ASSERT_TRUE(produced.has_value());
  EXPECT_EQ(produced->order, tensor::ElementOrder(tensor::Amp{tensor::AmpOrder::Left}));
  // 100 is no multiple of 32: a padded last-axis entry is appended.
  ASSERT_EQ(produced->tiling.axes.size(), 2U);
  EXPECT_EQ(produced->tiling.axes[1].shard_padding_multiple, 32U);
  EXPECT_EQ(produced->tiling.axes[1].padding, tensor::Padding::Zero);

  // Same parity (Left and TransposedRight) is acceptable in F16, never in F32.
  tensor::TensorFormat right = target;
  right.layout.order = tensor::Amp{tensor::AmpOrder::TransposedRight};
  EXPECT_TRUE(producer_layout(rows, right).has_value());
  right.precision = tensor::F32{};
  EXPECT_FALSE(producer_layout(rows, right).has_value());
  right.precision = tensor::F16{};
  right.layout.order = tensor::Amp{tensor::AmpOrder::TransposedLeft};
  EXPECT_FALSE(producer_layout(rows, right).has_value());
  // A row-major target keeps the row-major layout; last extents that are no multiple of 4 fail.
  EXPECT_EQ(producer_layout(rows, rows.format), rows.format.layout);
  EXPECT_FALSE(producer_layout(typed({8, 98}, tensor::F16{}, Layout::row_sharded(4)), target).has_value());
}

TEST(CompatibleFusion, BiasAndLayerNormOperands) {
  const Layout rows = Layout::row_sharded(8);
  const TensorType out = typed({1, 8, 128}, tensor::F16{}, rows);
  const mid::TileKernelSpec bias_gelu{mid::kernels::BiasGelu{}};
  EXPECT_TRUE(compatible_fusion(bias_gelu, out, typed({1, 1, 128}, tensor::F16{}, rows), out));
  EXPECT_FALSE(compatible_fusion(bias_gelu, out, typed({8, 128}, tensor::F16{}, rows), out));
  EXPECT_FALSE(compatible_fusion(bias_gelu, out, typed({1, 1, 64}, tensor::F16{}, rows), out));
  EXPECT_FALSE(compatible_fusion(bias_gelu, out, typed({1, 1, 128}, tensor::F32{}, rows), out));
  TensorType amp = out;
  amp.format.layout.order = tensor::Amp{tensor::AmpOrder::Left};
  EXPECT_FALSE(compatible_fusion(bias_gelu, amp, typed({1, 1, 128}, tensor::F16{}, rows), amp));

  const mid::TileKernelSpec add_norm{mid::kernels::AddLayerNorm{}};
  EXPECT_TRUE(compatible_fusion(add_norm, out, out, out));
  EXPECT_FALSE(compatible_fusion(add_norm, out, typed({1, 1, 128}, tensor::F16{}, rows), out));
  EXPECT_FALSE(compatible_fusion(mid::kernels::Gelu{}, out, out, out));
  EXPECT_FALSE(
      compatible_fusion(add_norm, typed({1, 8, 128}, tensor::F16{}, Layout::row_sharded(4)), out, out));
}

// --- Views and element-wise plans ---------------------------------------------------------------

TEST(ViewFragment, SliceOffsetsAtTheSlicedAxis) {
  const Layout rows = Layout::row_sharded(4);
  const TensorType input = typed({2, 16, 64}, tensor::F16{}, rows);
  const TensorType output = typed({2, 8, 64}, tensor::F16{}, rows);
  const OperatorPlan plan =
      plan_of({input.format}, output.format, family::Slice{{1, 5, 8}}, dispatch::View{});
  const Fragment f = build_fragment(plan, {{input}}, output);
  ASSERT_TRUE(f.has_value());
  ASSERT_EQ((*f)->operations.size(), 1U);
  EXPECT_EQ(roles(**f), std::vector<std::string>{"view"});
  EXPECT_EQ(*(*f)->operations[0].kind.get_if<mid::Rearrange>(), (mid::Rearrange{.offsets = {0, 5, 0},
                                                                                .view = std::nullopt,
                                                                                .redistribute = false,
                                                                                .reserved = false,
                                                                                .alias = false}));
}

TEST(ViewFragment, ViewCarriesTheFactorViewAndOtherFamiliesHaveNone) {
  const TensorType input = typed({8, 64}, tensor::F16{}, Layout::row_sharded(1));
  const TensorType output = typed({8, 4, 16}, tensor::F16{}, Layout::row_sharded(1));
  const graph::AxisFactorView view{.split_axis = 1, .merge_axis = 1, .factor = 4, .reversed = false};
  const Fragment f = build_fragment(
      plan_of({input.format}, output.format, family::View{view}, dispatch::View{}), {{input}}, output);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ((*f)->operations.at(0).kind.get_if<mid::Rearrange>()->view, view);
  EXPECT_FALSE(build_fragment(plan_of({input.format}, input.format, family::Gelu{}, dispatch::View{}),
                              {{input}}, input));
  EXPECT_FALSE(
      build_fragment(plan_of({}, input.format, family::Slice{{0, 0, 4}}, dispatch::View{}), {}, input));
}

TEST(LocalFragment, ReusingAddKeepsItsOperandAsAnAlias) {
  const TensorType rows = typed({1, 8, 128}, tensor::F16{}, Layout::row_sharded(8));
  const OperatorPlan plan = plan_of({rows.format, rows.format}, rows.format, family::Add{}, dispatch::Local{},
                                    SmallVector<std::uint16_t, 2>{0});
  const Fragment f = build_fragment(plan, {{rows, rows}}, rows);
  ASSERT_TRUE(f.has_value());
  ASSERT_EQ((*f)->operations.size(), 1U);
  const mid::MidOperation& op = (*f)->operations[0];
  EXPECT_EQ(op.site, mid::LocalSite("compute"));
  EXPECT_EQ(op.inputs, (std::vector<MidValueId>{MidValueId{0}, MidValueId{1}, MidValueId{0}}));
  EXPECT_EQ(kernel_of(op).aliases, (mid::Aliases{{0, 2}}));
  EXPECT_EQ(kernel_of(op).spec, mid::TileKernelSpec(mid::kernels::Add{}));
}

TEST(LocalFragment, OperandsAreBroadcastOntoTheOutputTiles) {
  const Layout rows = Layout::row_sharded(8);
  const TensorType x = typed({1, 8, 128}, tensor::F16{}, rows);
  const TensorType bias = typed({1, 1, 128}, tensor::F16{}, Layout::row_sharded(1));
  const OperatorPlan plan =
      plan_of({x.format, x.format, x.format}, x.format, family::LayerNorm{}, dispatch::Local{});
  const Fragment f = build_fragment(plan, {{x, bias, bias}}, x);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(roles(**f), (std::vector<std::string>{"operand", "operand", "compute"}));
  EXPECT_EQ((*f)->operations[0].site->coordinates, std::vector<std::uint32_t>{1});
  EXPECT_EQ((*f)->operations[1].site->coordinates, std::vector<std::uint32_t>{2});
  EXPECT_EQ(kernel_of((*f)->operations[2]).operands,
            std::vector<mid::OperandIndexing>(3, mid::indexing::Broadcast{0}));
  EXPECT_EQ((*f)->device_tiles, 8);
}

TEST(LocalFragment, FlashAttentionCastsItsF32ResultOnlyForAnF16Output) {
  const Layout heads = row_major(4, 1, {axis(FromEnd{3}, 4, 1)});
  const TensorType q = typed({4, 64, 64}, tensor::F16{}, heads);
  const family::FlashAttention attention{.options = {.causal = false, .scale = {}},
                                         .accumulate = mid::AccumulationPrecision::F32};
  for (const tensor::Precision& precision :
       {tensor::Precision(tensor::F16{}), tensor::Precision(tensor::F32{})}) {
    TensorType out = q;
    out.format.precision = precision;
    const Fragment f = build_fragment(
        plan_of({q.format, q.format, q.format}, out.format, attention, dispatch::Local{}), {{q, q, q}}, out);
    ASSERT_TRUE(f.has_value()) << debug(precision);
    const bool f16 = std::holds_alternative<tensor::F16>(precision);
    EXPECT_EQ(roles(**f), (f16 ? std::vector<std::string>{"compute", "output.cast"}
                               : std::vector<std::string>{"compute"}));
    EXPECT_EQ(kernel_of((*f)->operations[0]).operands,
              std::vector<mid::OperandIndexing>(3, mid::indexing::Windowed{}));
    EXPECT_EQ((*f)->values.at((*f)->operations[0].outputs[0].number).tensor.format.precision,
              tensor::Precision(tensor::F32{}));
  }
}

TEST(LocalFragment, AttentionDispatchHasNoFragmentYet) {
  const Layout heads = row_major(4, 1, {axis(FromEnd{3}, 4, 1)});
  const TensorType q = typed({4, 64, 64}, tensor::F16{}, heads);
  const OperatorPlan plan = plan_of({q.format, q.format, q.format}, q.format,
                                    family::FlashAttention{{}, mid::AccumulationPrecision::F32},
                                    dispatch::Attention{.score_grid = std::nullopt,
                                                        .value_grid = std::nullopt,
                                                        .score_exponent = std::nullopt,
                                                        .value_exponent = std::nullopt,
                                                        .key_block = 64,
                                                        .query_width = 64,
                                                        .value_width = 64,
                                                        .single_key_block = true});
  EXPECT_EQ(build_fragment(plan, {{q, q, q}}, q), std::nullopt);
}

// --- Row-grouped layer normalisation ------------------------------------------------------------

TEST(RowGroupsFragment, LastExtentMustSplitIntoWordsPerGroup) {
  const Layout grid = row_major(4, 1, {axis(FromEnd{2}, 2, 1, 2), axis(FromEnd{1}, 2, 1, 1)});
  for (const std::uint32_t width : {12U, 16U}) {
    const TensorType x = typed({2, width}, tensor::F16{}, grid);
    TensorType vec = typed({1, width}, tensor::F16{}, grid);
    vec.format.layout.tiling = *tensor::broadcast_operand_tiling(vec.shape, x);
    const OperatorPlan plan =
        plan_of({x.format, vec.format, vec.format}, x.format, family::LayerNorm{}, dispatch::RowGroups{2});
    const Fragment f = build_fragment(plan, {{x, vec, vec}}, x);
    if (width == 12) {
      EXPECT_FALSE(f.has_value());
      continue;
    }
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(roles(**f), (std::vector<std::string>{"moments", "moments.complete", "apply"}));
    const mid::MidProgram& p = **f;
    const TensorType& moments = p.values.at(p.operations[0].outputs[0].number).tensor;
    EXPECT_EQ(moments.shape, (tensor::TensorShape{2, 2, 2}));
    EXPECT_EQ(moments.format.precision, tensor::Precision(tensor::F32{}));
    const TensorType& complete = p.values.at(p.operations[1].outputs[0].number).tensor;
    EXPECT_EQ(complete.format.layout.tiling.replicas, 2);
    EXPECT_EQ(complete.format.layout.tiling.axes.size(), 1U);
    EXPECT_EQ(kernel_of(p.operations[2]).spec, mid::TileKernelSpec(mid::kernels::LayerNormApply{2}));
  }
}

TEST(RowGroupsFragment, CandidateLayoutsLowerFromFourGroups) {
  // The moments keep the 4-element word padding of the split axis: two groups do not fill it.
  const TensorType x = typed({1, 8, 128}, tensor::F16{}, Layout::row_sharded(1));
  const TensorType vec = typed({1, 1, 128}, tensor::F16{}, Layout::row_sharded(1));
  for (const std::uint16_t groups : {2, 4, 8}) {
    const OperatorPlan plan = fixtures::row_group_plan(groups);
    const auto types = plan.tensor_types(std::vector<TensorType>{x, vec, vec}, x.shape);
    ASSERT_TRUE(plan.supports(types.inputs, x.shape));
    const Fragment f = build_fragment(plan, types.inputs, types.output);
    EXPECT_EQ(f.has_value(), groups != 2) << groups;
  }
  EXPECT_FALSE(build_fragment(fixtures::row_group_plan(4), {},
                              typed({1, 8, 128}, tensor::F16{}, Layout::row_sharded(1))));
}

// --- GEMMs ---------------------------------------------------------------------------------------

// A plan of the 4-tile AMP grid for [1, 8, 128] x [128, 128].
OperatorPlan grid_gemm() {
  return amp_grid_gemm_operator_candidate(tensor::F16{}, 64, 64, 4, 4, 1, 1, false).plan;
}

TEST(GemmFragment, BlockedAccumulationOverTheContractedDimension) {
  const OperatorPlan plan = grid_gemm();
  const TensorType left = typed({1, 8, 128}, tensor::F16{}, Layout::row_sharded(4));
  const TensorType right = typed({128, 128}, tensor::F16{}, Layout::row_sharded(4));
  const auto types = plan.tensor_types(std::vector<TensorType>{left, right}, left.shape);
  const Fragment f = build_fragment(plan, {{left, right}}, types.output);
  ASSERT_TRUE(f.has_value());
  const mid::MidProgram& p = **f;
  EXPECT_EQ(roles(p), (std::vector<std::string>{"left", "right", "product", "left", "right", "product"}));
  for (std::size_t chunk = 0; chunk < 2; ++chunk) {
    const std::uint32_t start = 64 * static_cast<std::uint32_t>(chunk);
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(p.operations[3 * chunk + k].site->coordinates, std::vector<std::uint32_t>{start});
    }
    EXPECT_EQ(p.operations[3 * chunk].kind.get_if<mid::Rearrange>()->offsets,
              (std::vector<std::uint32_t>{0, 0, start}));
    EXPECT_EQ(p.operations[3 * chunk + 1].kind.get_if<mid::Rearrange>()->offsets,
              (std::vector<std::uint32_t>{start, 0}));
  }
  const mid::MidOperation& first = p.operations[2];
  const mid::MidOperation& second = p.operations[5];
  EXPECT_FALSE(first.kind.compute_if<mid::Product>()->accumulate_into_output);
  EXPECT_TRUE(second.kind.compute_if<mid::Product>()->accumulate_into_output);
  ASSERT_EQ(second.inputs.size(), 3U);
  EXPECT_EQ(second.inputs[2], first.outputs[0]);
  EXPECT_EQ(second.kind.compute_if<mid::Product>()->aliases, (mid::Aliases{{0, 2}}));
  EXPECT_EQ(p.outputs, second.outputs);
  const mid::Product& product = *first.kind.compute_if<mid::Product>();
  EXPECT_EQ(product.left_axis, tensor::TensorAxis(FromStart{2}));
  EXPECT_EQ(product.right_axis, tensor::TensorAxis(FromStart{0}));
  EXPECT_EQ(product.output_axis, tensor::TensorAxis(FromEnd{1}));
  EXPECT_EQ(product.inner_block, 64U);
  // The weight chunks sit in interleaved memory for F16 products.
  EXPECT_EQ(p.values.at(p.operations[1].outputs[0].number).tensor.format.layout.memory_class,
            tensor::MemoryClass::Ipu21Interleaved);
}

TEST(GemmFragment, OperandsOnTheOutputGridMultiplyOnce) {
  const OperatorPlan plan = grid_gemm();
  const auto types = plan.tensor_types(fixtures::inputs_of({{1, 8, 128}, {128, 128}}), {1, 8, 128});
  const Fragment f = build_fragment(plan, types.inputs, types.output);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(roles(**f), std::vector<std::string>{"product"});
  EXPECT_EQ((*f)->operations[0].inputs, (std::vector<MidValueId>{MidValueId{0}, MidValueId{1}}));
}

TEST(GemmFragment, NoChunkOrNoGemmFamilyIsNoFragment) {
  OperatorPlan plan = grid_gemm();
  const auto types = plan.tensor_types(fixtures::inputs_of({{1, 8, 128}, {128, 128}}), {1, 8, 128});
  TensorType row_left = types.inputs[0];
  row_left.format.layout = Layout::row_sharded(4);
  std::get<dispatch::Gemm>(plan.dispatch).inner_block = 0;
  EXPECT_FALSE(build_fragment(plan, {{row_left, types.inputs[1]}}, types.output));
  plan.family = family::Add{};
  EXPECT_FALSE(build_fragment(plan, types.inputs, types.output));
  EXPECT_FALSE(build_fragment(grid_gemm(), {{types.inputs[0]}}, types.output));
}

TEST(ProjectGrid, OutputGridSeenFromEachOperand) {
  const TensorType out =
      typed({2, 8, 128}, tensor::F16{},
            row_major(16, 1, {axis(FromEnd{3}, 2, 1), axis(FromEnd{2}, 4, 1), axis(FromEnd{1}, 2, 64)}));
  // The left operand keeps the batch and row entries; the column partitions become replicas.
  const auto left = project_grid(out, 1, 1, 3);
  ASSERT_TRUE(left.has_value());
  EXPECT_EQ(left->tile_count, 16);
  EXPECT_EQ(left->replicas, 2);
  ASSERT_EQ(left->axes.size(), 2U);
  EXPECT_EQ(left->axes[0].axis, tensor::TensorAxis(FromStart{0}));
  EXPECT_EQ(left->axes[0].tile_stride, 1);
  EXPECT_EQ(left->axes[1].axis, tensor::TensorAxis(FromStart{1}));
  EXPECT_EQ(left->axes[1].tile_stride, 2);
  // A rank-2 weight has no batch axis: batch and row partitions both replicate it.
  const auto right = project_grid(out, 2, 1, 2);
  ASSERT_TRUE(right.has_value());
  EXPECT_EQ(right->replicas, 8);
  ASSERT_EQ(right->axes.size(), 1U);
  EXPECT_EQ(right->axes[0].axis, tensor::TensorAxis(FromStart{1}));
  EXPECT_EQ(right->axes[0].tile_stride, 8);
  // Replicas that leave 16 bits, or an axis beyond the rank, project to nothing.
  TensorType huge = out;
  huge.format.layout.tiling = tensor::TensorTiling{65535, 65535, {axis(FromEnd{1}, 2, 64)}};
  EXPECT_FALSE(project_grid(huge, 1, 1, 3).has_value());
  TensorType beyond = out;
  beyond.format.layout.tiling.axes[0].axis = FromEnd{4};
  EXPECT_FALSE(project_grid(beyond, 1, 1, 3).has_value());
  // An entry counted past the last axis (FromStart 3, or FromEnd 0 on rank 3) is neither the
  // operand's axis nor a batch axis: like the column entry it only replicates the operand.
  for (const tensor::TensorAxis past : {tensor::TensorAxis(FromStart{3}), tensor::TensorAxis(FromEnd{0})}) {
    TensorType dangling = out;
    dangling.format.layout.tiling.axes[2].axis = past;
    const auto projected = project_grid(dangling, 1, 1, 3);
    ASSERT_TRUE(projected.has_value()) << debug(past);
    EXPECT_EQ(projected->replicas, 2);
    EXPECT_EQ(projected->axes, left->axes);
  }
}

// --- Split reduction -----------------------------------------------------------------------------

struct SplitCase {
  fixtures::SplitGrid grid;
  tensor::TensorShape left;
  tensor::TensorShape right;
};

class SplitReductionTest : public ::testing::TestWithParam<SplitCase> {};

// The partials have one tile per (row, column, inner) partition: the grid has p_row x p_col x p_in
// tiles, with P's replicas. Left at P's tile count the partials would not resolve and no
// split-reduction GEMM would ever lower.
TEST_P(SplitReductionTest, PartialsCoverTheWholeGrid) {
  const SplitCase& c = GetParam();
  const OperatorPlan plan = fixtures::split_reduction_plan(c.grid);
  const auto types = plan.tensor_types(fixtures::inputs_of({c.left, c.right}), {1, 8, 128});
  ASSERT_TRUE(plan.supports(types.inputs, {1, 8, 128})) << debug(plan);
  const Fragment f = build_fragment(plan, types.inputs, types.output);
  ASSERT_TRUE(f.has_value()) << debug(plan);
  const mid::MidProgram& p = **f;
  EXPECT_TRUE(p.estimates.has_value());
  const std::vector<std::string> r = roles(p);
  ASSERT_GE(r.size(), 2U);
  EXPECT_EQ(r[r.size() - 2], "partials");
  EXPECT_EQ(r.back(), "reduce");

  const mid::MidOperation& partials = p.operations[p.operations.size() - 2];
  const TensorType& q = p.values.at(partials.outputs[0].number).tensor;
  const std::uint16_t grid = c.grid.rows * c.grid.columns * c.grid.inner;
  EXPECT_EQ(q.shape, (tensor::TensorShape{c.grid.inner, 1, 8, 128}));
  EXPECT_EQ(q.format.layout.tiling.tile_count, grid);
  EXPECT_EQ(q.format.layout.tiling.replicas,
            gemm_partial_tensor(plan.dispatch, types.output).format.layout.tiling.replicas);
  EXPECT_TRUE(q.format.layout.resolve(q.shape).has_value());
  TensorType unmended = q;
  unmended.format.layout.tiling.tile_count = c.grid.rows * c.grid.columns;
  EXPECT_FALSE(unmended.format.layout.resolve(unmended.shape).has_value());

  // A weight staged to match a remote layout is not redistributed on the way in.
  // The left operand already has its required format; the weight moves to interleaved memory.
  EXPECT_EQ(r, (std::vector<std::string>{"right", "partials", "reduce"}));
  for (const mid::MidOperation& op : p.operations) {
    if (op.site->role == "right") {
      EXPECT_EQ(op.kind.get_if<mid::Rearrange>()->redistribute,
                c.grid.weight_staging == LocalOperandStaging::Direct);
    }
  }

  const auto* reduce = p.operations.back().kind.compute_if<mid::Reduce>();
  ASSERT_NE(reduce, nullptr);
  EXPECT_EQ(reduce->axis, 0);
  EXPECT_EQ(reduce->staging, c.grid.staging);
  EXPECT_EQ(p.device_tiles, grid);
}

INSTANTIATE_TEST_SUITE_P(BothOrientations, SplitReductionTest,
                         ::testing::Values(SplitCase{{.orientation = GemmOrientation::Normal,
                                                      .rows = 8,
                                                      .columns = 4,
                                                      .inner = 2,
                                                      .column_block = 32},
                                                     {1, 8, 128},
                                                     {128, 128}},
                                           SplitCase{{.orientation = GemmOrientation::Normal,
                                                      .rows = 8,
                                                      .columns = 2,
                                                      .inner = 4,
                                                      .inner_extent = 32,
                                                      .column_block = 64,
                                                      .staging = mid::ReductionStaging{mid::Streamed{}}},
                                                     {1, 8, 128},
                                                     {128, 128}},
                                           SplitCase{{.orientation = GemmOrientation::Swapped,
                                                      .rows = 32,
                                                      .columns = 1,
                                                      .inner = 2,
                                                      .column_block = 16,
                                                      .output_rows = 128},
                                                     {1, 8, 128},
                                                     {128, 128}},
                                           SplitCase{{.orientation = GemmOrientation::Swapped,
                                                      .rows = 32,
                                                      .columns = 1,
                                                      .inner = 2,
                                                      .column_block = 16,
                                                      .output_rows = 128,
                                                      .weight_staging = LocalOperandStaging::MatchRemote},
                                                     {1, 8, 128},
                                                     {128, 128}}));

}  // namespace
}  // namespace ostrand::planner

#include "estimate/mid.hpp"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "estimate/tensor.hpp"
#include "util/event.hpp"
#include "util/saturating.hpp"

namespace ostrand::estimate {
namespace {

using graph::OperationId;
using graph::TensorShape;
using mid::MidOperation;
using mid::MidProgram;
using mid::MidValueId;
using tensor::F16;
using tensor::F32;
using tensor::F8F143;
using tensor::MemoryClass;
using tensor::Precision;
using tensor::TensorType;

constexpr std::uint16_t tiles = 4;

// Rows split evenly over `tile_count` tiles, row-major, standard memory.
TensorType rows(TensorShape shape, Precision precision = F16{}, std::uint16_t tile_count = tiles) {
  return {std::move(shape), {precision, tensor::Layout::row_sharded(tile_count)}};
}

TensorType with_order(TensorType t, tensor::ElementOrder order) {
  t.format.layout.order = order;
  return t;
}

TensorType in_memory(TensorType t, MemoryClass memory_class) {
  t.format.layout.memory_class = memory_class;
  return t;
}

// The whole tensor as one flat run in blocks of one element over `tile_count` tiles.
TensorType linear(TensorShape shape, Precision precision, std::uint16_t tile_count) {
  tensor::Layout layout{tensor::RowMajor{}, tensor::TensorTiling{tile_count, 1, {}},
                        MemoryClass::Ipu21Standard};
  layout.tiling.axes.push_back(
      tensor::AxisTiling::simple(tensor::Linear{}, tile_count, 1, 1, tensor::Padding::Reject));
  return {std::move(shape), {precision, layout}};
}

MidValueId id(std::uint32_t n) {
  return MidValueId{n};
}

MidOperation op(std::vector<MidValueId> inputs, std::vector<MidValueId> outputs, mid::MidOperationKind kind,
                std::optional<OperationId> source = std::nullopt) {
  return MidOperation{std::move(inputs), std::move(outputs), std::nullopt, std::move(kind), source};
}

mid::Compute kernel(mid::TileKernelSpec spec, std::size_t operands, mid::Aliases aliases = {}) {
  return mid::Kernel{std::vector<mid::OperandIndexing>(operands, mid::indexing::Windowed{}),
                     std::move(aliases), std::move(spec)};
}

// A copy starting at an offset, so that its messages are counted by width.
mid::Rearrange shifted() {
  mid::Rearrange r;
  r.offsets = {0, 4};
  return r;
}

// A program over `values`; the first `inputs` values are its inputs, `outputs` its outputs.
MidProgram program_of(std::vector<TensorType> values, std::size_t inputs,
                      std::vector<MidOperation> operations, std::vector<std::uint32_t> outputs,
                      std::uint16_t device_tiles = tiles) {
  MidProgram p;
  p.device_tiles = device_tiles;
  for (auto& v : values) p.add_value(std::move(v));
  for (std::uint32_t i = 0; i < inputs; ++i) p.inputs.push_back(mid::MidInput{"", id(i), false});
  p.operations = std::move(operations);
  for (const std::uint32_t o : outputs) p.outputs.push_back(id(o));
  return p;
}

tensor::OwnerMap rotated(std::uint16_t offset) {
  return tensor::OwnerMap{nullptr, offset};
}

// --- Per-tile tensors ----------------------------------------------------------------------------

TEST(LocalTensor, LargestShardOrLinearTile) {
  // 4 rows over 3 tiles: 2, 1 and 1 rows.
  const TensorType sharded = rows({4, 100}, F32{}, 3);
  EXPECT_EQ(local_tensor(sharded), (TensorType{{2, 100}, sharded.format}));
  // 10 elements over 3 tiles: 4, 4 and 2.
  const TensorType flat = linear({2, 5}, F16{}, 3);
  EXPECT_EQ(local_tensor(flat), (TensorType{{4}, flat.format}));
  // Rows tiled on a vector: the layout does not resolve.
  EXPECT_EQ(local_tensor(rows({8})), std::nullopt);
}

TEST(MaximumShardBytes, LargestShardOrSaturated) {
  EXPECT_EQ(maximum_shard_bytes(rows({4, 100}, F32{}, 3)), 800U);  // 2 x 100 x 4
  EXPECT_EQ(maximum_shard_bytes(rows({8})), saturated);
}

// --- Execution order -----------------------------------------------------------------------------

TEST(Flatten, BodiesRunBeforeTheirRepeatWithMultipliedCounts) {
  mid::Repeat inner;
  inner.count = 2;
  inner.body->operations = {op({}, {}, mid::Rearrange{})};
  mid::Repeat outer;
  outer.count = 3;
  outer.body->operations = {op({}, {}, kernel(mid::kernels::Gelu{}, 0)), op({}, {}, inner)};
  const std::vector<MidOperation> top = {op({}, {}, outer), op({}, {}, kernel(mid::kernels::Add{}, 0))};

  std::vector<FlatOperation> sequence;
  flatten(top, 1, sequence);
  const auto& outer_body = std::get<mid::Repeat>(top[0].kind).body->operations;
  const auto& inner_body = std::get<mid::Repeat>(outer_body[1].kind).body->operations;
  const std::vector<FlatOperation> expected = {
      {&outer_body[0], 3}, {&inner_body[0], 6}, {&outer_body[1], 3}, {&top[0], 1}, {&top[1], 1}};
  EXPECT_EQ(sequence, expected);

  sequence.clear();
  flatten(top, saturated / 2, sequence);
  EXPECT_EQ(sequence[1].second, saturated);  // (2^64 - 1) / 2 x 6 saturates
}

// --- Operation costs -----------------------------------------------------------------------------

TEST(OperationCost, ReduceByStaging) {
  // Partial results of [4, 128] F16 over 4 tiles: the output has one row of 128 elements
  // (256 bytes) per tile; over extent 5, a = 4 partials are added into the first; e = 128.
  struct Case {
    std::string name;
    mid::ReductionStaging staging;
    std::uint32_t extent;
    std::optional<OperationCost> cost;
  };
  const std::vector<Case> cases = {
      // p = 4: one batch; temporary 256 x 6; moved 1024, g = max(4, 1) = 4;
      // exchange 600 + max(256, 12) = 856; rows 4 + 36 x 4 = 148;
      // k(4) = 282 + 6 x 19 x 3 = 624; cycles 624 + 856 = 1480.
      {"complete", mid::Complete{}, 5, OperationCost{1480, 856, 1536, 0, 148}},
      // p = 1: four batches; temporary 256 x 3; g = 4; exchange 2400 + 256 = 2656; rows 16 + 144;
      // k(1) = 282 + 6 x 13 x 3 = 516; cycles 4 x 516 + 2656 = 4720.
      {"streamed", mid::Streamed{}, 5, OperationCost{4720, 2656, 768, 0, 160}},
      // p = 3: one full batch and a remainder of 1; temporary 256 x 5; exchange 1200 + 256;
      // rows 8 + 144; cycles k(3) + 1456 + k(1) = 588 + 1456 + 516 = 2560.
      {"batched by 3", mid::Batched{3}, 5, OperationCost{2560, 1456, 1280, 0, 152}},
      // A single partial moves and adds nothing; the staging still holds 1 + 2 outputs.
      {"nothing to add", mid::Complete{}, 1, OperationCost{0, 0, 768, 0, 0}},
      // Batches of nothing never finish: no cost.
      {"batched by 0", mid::Batched{0}, 5, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const MidProgram p = program_of({rows({c.extent, 4, 128}), rows({4, 128})}, 1,
                                    {op({id(0)}, {id(1)}, mid::Compute(mid::Reduce{c.staging, 0}))}, {1});
    EXPECT_EQ(operation_cost(p.operations[0], p.values), c.cost);
  }
}

TEST(OperationCost, Rearrange) {
  struct Case {
    std::string name;
    TensorType in;
    tensor::OwnerMap in_owners;
    TensorType out;
    mid::Rearrange rearrange;
    OperationCost cost;
  };
  mid::Rearrange alias;
  alias.alias = true;
  const TensorType row_major = rows({4, 500});  // 500 elements, 1000 bytes per tile
  const TensorType amp_left = with_order(row_major, tensor::Amp{tensor::AmpOrder::Left});
  const TensorType amp_right = with_order(row_major, tensor::Amp{tensor::AmpOrder::TransposedRight});
  const std::vector<Case> cases = {
      // Same distribution on other tiles, shifted: m = 1000, 4 messages of 256 bytes;
      // exchange max(250, 12) + 600 = 850; rows 4 x (36 + 1) = 148; cycles 850 + 125 + 288.
      {"1000 bytes in 256-byte messages", row_major, rotated(1), row_major, shifted(),
       OperationCost{1263, 850, 0, 0, 148}},
      // Without an offset the same grid is cut into fragments of at most 16592 bytes: one message;
      // exchange max(250, 3) + 600 = 850; rows 4 x (9 + 1) = 40.
      {"same grid on other tiles", row_major, rotated(1), row_major, mid::Rearrange{},
       OperationCost{1263, 850, 0, 0, 40}},
      // Same distribution and owners: nothing moves, only the local copy, 1000 / 8 + 288.
      {"in place", row_major, {}, row_major, shifted(), OperationCost{413, 0, 0, 0, 0}},
      // An alias moves nothing even between distributions.
      {"alias", rows({4, 500}, F16{}, 2), {}, row_major, alias, OperationCost{413, 0, 0, 0, 0}},
      // Alias into the AMP left order repacks: 413 + 11 + 500 x 1; temporary 1000 bytes.
      {"alias with repack", row_major, {}, amp_left, alias, OperationCost{924, 0, 1000, 0, 0}},
      // Back to row-major: 413 + 10 x 500.
      {"alias with repack to row-major", amp_left, {}, row_major, alias, OperationCost{5413, 0, 1000, 0, 0}},
      // Both AMP orders store columns blockwise (same orientation): no repack for F16.
      {"alias between orders of one orientation",
       amp_left,
       {},
       amp_right,
       alias,
       OperationCost{413, 0, 0, 0, 0}},
      // From 2 tiles (4 rows of 64, 512 bytes each) to 8 tiles (1 row, 128 bytes each):
      // d = 128 x 8 / 2 = 512 = b_in; m = 512 in 2 messages; exchange max(128, 6) + 600 = 728;
      // rows 4 x 19 = 76; cycles 728 + 16 + 288.
      {"gather onto more tiles",
       rows({8, 64}, F16{}, 2),
       {},
       rows({8, 64}, F16{}, 8),
       shifted(),
       OperationCost{1032, 728, 0, 0, 76}},
      // From a flat run to AMP left rows: the message width is the AMP group, 32 bytes;
      // m = 1000 in 32 messages; exchange max(250, 96) + 600 = 850; rows 4 x 289 = 1156;
      // cycles 850 + 125 + 288 + repack 11 + 500.
      {"linear to AMP left",
       linear({4, 500}, F16{}, 4),
       {},
       amp_left,
       shifted(),
       OperationCost{1774, 850, 1000, 0, 1156}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MidProgram p = program_of({c.in, c.out}, 1, {op({id(0)}, {id(1)}, c.rearrange)}, {1}, 8);
    p.values[0].owners = c.in_owners;
    EXPECT_EQ(operation_cost(p.operations[0], p.values), c.cost);
  }
}

mid::Product product_16x16() {
  mid::Product product;
  product.left_axis = tensor::FromEnd{1};
  product.right_axis = tensor::FromEnd{2};
  product.output_axis = tensor::FromEnd{1};
  product.inner_block = 16;
  product.output_column_block = 16;
  product.multiply = F16{};
  return product;
}

TEST(OperationCost, ProductInBlocks) {
  // Left [4, 42] F16 (one row per tile), right [16, 8], output [4, 8]: K = 42 in inner blocks of 16
  // (k = 16, 3 blocks), N = 8 in one column block (c = 8). One block: M = 1, q = 1063;
  // 294 + ceil(16/16) x (ceil(1 x 8 / 4) + ceil(ceil(8/16) x 1063 / 4)) = 294 + 2 + 266 = 562; x 3.
  MidProgram p = program_of({rows({4, 42}), rows({16, 8}), rows({4, 8}, F32{})}, 2,
                            {op({id(0), id(1)}, {id(2)}, mid::Compute(product_16x16()))}, {2});
  EXPECT_EQ(operation_cost(p.operations[0], p.values), (OperationCost{1686, 0, 0, 0, 0}));

  auto& stored = std::get<mid::Product>(std::get<mid::Compute>(p.operations[0].kind));
  stored.left_axis = tensor::Linear{};
  EXPECT_EQ(operation_cost(p.operations[0], p.values), std::nullopt);
}

TEST(OperationCost, RepeatIsFreeAndOtherKindsNeedAnOutput) {
  const MidProgram p = program_of({rows({4, 8})}, 1, {}, {});
  EXPECT_EQ(operation_cost(op({}, {}, mid::Repeat{}), p.values), OperationCost{});
  EXPECT_EQ(operation_cost(op({id(0)}, {}, mid::Rearrange{}), p.values), std::nullopt);
}

// --- Whole programs ------------------------------------------------------------------------------

// F16 GELU of one row of 128 per tile: 330 + 462 x ceil(128 / 96) = 1254 cycles.
constexpr std::uint64_t gelu_row = 1254;

TEST(AnalyzeObserved, NoOperationsLeavesTheInputsLive) {
  const MidProgram p = program_of({rows({4, 128}), rows({4, 64})}, 2, {}, {});
  // 256 + 128 bytes on every tile.
  EXPECT_EQ(analyze_observed(p), (MidEstimate{0, 0, MemoryPeaks{384, 0, 384, 0, 256}}));
}

TEST(AnalyzeObserved, ValuesAreReleasedAfterTheirLastUse) {
  // v0 -> v1 -> v2; v0 is last used by the first operation, so the second holds v1 and v2 only.
  const MidProgram p = program_of({rows({4, 128}), rows({4, 128}), rows({4, 128})}, 1,
                                  {op({id(0)}, {id(1)}, kernel(mid::kernels::Gelu{}, 1)),
                                   op({id(1)}, {id(2)}, kernel(mid::kernels::Gelu{}, 1))},
                                  {2});
  EXPECT_EQ(analyze_observed(p), (MidEstimate{2 * gelu_row, 0, MemoryPeaks{512, 0, 512, 0, 256}}));
}

TEST(AnalyzeObserved, RetainedInputsStayLive) {
  MidProgram p = program_of({rows({4, 128}), rows({4, 128}), rows({4, 128})}, 1,
                            {op({id(0)}, {id(1)}, kernel(mid::kernels::Gelu{}, 1)),
                             op({id(1)}, {id(2)}, kernel(mid::kernels::Gelu{}, 1))},
                            {2});
  p.inputs[0].retained = true;
  EXPECT_EQ(analyze_observed(p)->memory.standard, 768U);  // 3 x 256
}

TEST(AnalyzeObserved, RepeatMultipliesItsBody) {
  // repeat 4 { v2 = gelu(v1); v4 = shifted copy of v2 onto other tiles } with v0 carried into v1
  // and v4 yielded into v3. The copy moves 256 bytes in one message: exchange
  // max(64, 3) + 600 = 664, rows 4 x 10 = 40, cycles 664 + 32 + 288 = 984.
  mid::Repeat repeat;
  repeat.carried = 1;
  repeat.count = 4;
  repeat.body =
      mid::MidRegion{{id(1)},
                     {op({id(1)}, {id(2)}, kernel(mid::kernels::Gelu{}, 1)), op({id(2)}, {id(4)}, shifted())},
                     {id(4)}};
  MidProgram p =
      program_of(std::vector<TensorType>(5, rows({4, 128})), 1, {op({id(0)}, {id(3)}, repeat)}, {3});
  p.values[4].owners = rotated(1);
  p.values[3].owners = rotated(1);
  ASSERT_TRUE(p.validate());
  // cycles 4 x (1254 + 984) = 8952; exchange 4 x 664; rows counted once per body operation.
  // Memory: {v0, v1} and {v3, v4} share storage; the copy holds {v0, v1}, v2 and {v3, v4}.
  EXPECT_EQ(analyze_observed(p), (MidEstimate{8952, 2656, MemoryPeaks{768, 0, 768, 40, 256}}));
}

TEST(AnalyzeObserved, AliasedValuesAreChargedOnce) {
  // GELU from 256 bytes of F16 into 512 bytes of F32 per tile: 11 + 10 x 128 = 1291 cycles.
  const auto program = [](mid::Aliases aliases) {
    return program_of({rows({4, 128}), rows({4, 128}, F32{})}, 1,
                      {op({id(0)}, {id(1)}, kernel(mid::kernels::Gelu{}, 1, std::move(aliases)))}, {1});
  };
  // The group is charged the larger of its values, 512.
  EXPECT_EQ(analyze_observed(program({{0, 0}})), (MidEstimate{1291, 0, MemoryPeaks{512, 0, 512, 0, 512}}));
  EXPECT_EQ(analyze_observed(program({})), (MidEstimate{1291, 0, MemoryPeaks{768, 0, 768, 0, 512}}));
}

TEST(AnalyzeObserved, AccumulatorsTakeWholeGranules) {
  // The product above: left [4, 42] F16 has 84 bytes per tile + 16 bytes of F16 allowance = 100,
  // right [16, 8] has 64 bytes, the [4, 8] F32 output 32 bytes. Left and output are accumulators:
  // 100 -> 16384 in standard memory; the output in interleaved memory 32 -> 32768.
  const MidProgram p = program_of(
      {rows({4, 42}), rows({16, 8}), in_memory(rows({4, 8}, F32{}), MemoryClass::Ipu21Interleaved)}, 2,
      {op({id(0), id(1)}, {id(2)}, mid::Compute(product_16x16()))}, {2});
  // standard 16384 + 64; total 16448 + 32768; the largest standard allocation is the left group.
  EXPECT_EQ(analyze_observed(p), (MidEstimate{1686, 0, MemoryPeaks{16448, 32768, 49216, 0, 16384}}));
}

TEST(AnalyzeObserved, InPlaceCastStagesEveryShard) {
  // F16 [4, 64] cast in place to F8: one chunk per tile ([1, 64]: range 0..1 on axis 0). The cast
  // input carries 32768 bytes of staging per shard: 128 + 32768 = 32896 per tile, and the 8-bit
  // output shares that storage.
  const auto program = [](graph::TensorShape shape) {
    return program_of({rows(shape), rows(shape, F8F143{0})}, 1,
                      {op({id(0)}, {id(1)}, kernel(mid::kernels::Cast{F16{}, F8F143{0}}, 1, {{0, 0}}))}, {1});
  };
  const auto estimate = analyze_observed(program({4, 64}));
  ASSERT_TRUE(estimate);
  EXPECT_EQ(estimate->memory, (MemoryPeaks{32896, 0, 32896, 0, 32896}));
  // A row of 44 elements is not a multiple of 8: the chunking rejects it, so nothing is estimated.
  MidProgram rejected = program({4, 44});
  EXPECT_EQ(operation_cost(rejected.operations[0], rejected.values), std::nullopt);
  EXPECT_EQ(analyze_observed(rejected), std::nullopt);
  EXPECT_FALSE(refresh_estimates(rejected));
}

TEST(AnalyzeObserved, GivesUpOnValuesThatDoNotFit) {
  // A value on 8 tiles in a 4-tile program, even though nothing uses it.
  MidProgram p = program_of({rows({4, 128}), rows({4, 128})}, 1,
                            {op({id(0)}, {id(1)}, kernel(mid::kernels::Gelu{}, 1))}, {1});
  ASSERT_TRUE(analyze_observed(p));
  p.add_value(rows({8, 128}, F16{}, 8));
  EXPECT_EQ(analyze_observed(p), std::nullopt);
  // An owner map that places a tile beyond the device.
  p.values.pop_back();
  p.values[1].owners.embedding =
      std::make_shared<const std::vector<std::uint16_t>>(std::vector<std::uint16_t>{0, 1, 2, 9});
  EXPECT_EQ(analyze_observed(p), std::nullopt);
}

TEST(AnalyzeObserved, EmitsDebugEvents) {
  const MidProgram p =
      program_of({rows({4, 128}), rows({4, 128})}, 1,
                 {op({id(0)}, {id(1)}, kernel(mid::kernels::Gelu{}, 1), OperationId{3})}, {1});
  MidProgram unresolved = p;
  unresolved.values[1].tensor.shape = {8};
  ScopedEventCapture capture;
  ASSERT_TRUE(analyze_observed(p));
  ASSERT_FALSE(analyze_observed(unresolved));
  const std::vector<Event> expected = {
      {EventLevel::Debug,
       "ostrand::estimate::mid",
       "estimated mid operation",
       {{"index", "0"},
        {"source", "Some(OperationId(3))"},
        {"count", "1"},
        {"cycles", "1254"},
        {"exchange", "0"}}},
      {EventLevel::Debug,
       "ostrand::estimate::mid",
       "invalid mid storage geometry",
       {{"value", "MidValueId(1)"},
        {"tensor", debug(unresolved.values[1].tensor)},
        {"error", "axis FromEnd(2) is outside rank 1"}}},
  };
  EXPECT_EQ(capture.events(), expected);
}

TEST(RefreshEstimates, StoresOnlyTheEstimateOfAValidProgram) {
  MidProgram p = program_of({rows({4, 128}), rows({4, 128})}, 1,
                            {op({id(0)}, {id(1)}, kernel(mid::kernels::Gelu{}, 1))}, {1});
  ASSERT_TRUE(refresh_estimates(p));
  EXPECT_EQ(p.estimates, (MidEstimate{gelu_row, 0, MemoryPeaks{512, 0, 512, 0, 256}}));

  // An invalid program keeps whatever it held.
  const MidEstimate stale{1, 2, MemoryPeaks{3, 4, 5, 6, 7}};
  p.estimates = stale;
  p.outputs = {id(5)};
  EXPECT_FALSE(refresh_estimates(p));
  EXPECT_EQ(p.estimates, stale);
}

}  // namespace
}  // namespace ostrand::estimate

// Kernel cycles by kernel kind, the geometry queries and the cost of packing a tile's data.

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "kernel/cost.hpp"
#include "mid/kernel_spec.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"

namespace ostrand::kernel {
namespace {

namespace k = mid::kernels;
using mid::TileKernelSpec;
using tensor::Amp;
using tensor::AmpOrder;
using tensor::BlockMajor;
using tensor::BlockMajorKind;
using tensor::ElementOrder;
using tensor::F16;
using tensor::F32;
using tensor::F8F143;
using tensor::MemoryClass;
using tensor::Precision;
using tensor::RowMajor;
using tensor::ShardExtent;
using tensor::TensorType;

constexpr std::uint64_t max = ~std::uint64_t{0};

// A tensor on one tile; only the shape, precision, order and memory class matter to the cost.
TensorType tensor_of(graph::TensorShape shape, Precision precision, ElementOrder order = RowMajor{},
                     MemoryClass memory = MemoryClass::Ipu21Standard) {
  return TensorType{std::move(shape),
                    {precision, tensor::Layout{order, tensor::TensorTiling{1, 1, {}}, memory}}};
}

const ElementOrder amp_left = Amp{AmpOrder::Left};
const ElementOrder block_32_16 = BlockMajor{{BlockMajorKind::Matrix, 32, 16}};

struct KernelCase {
  const char* label;
  TileKernelSpec spec;
  std::vector<TensorType> inputs;
  TensorType output;
  std::uint64_t expected;
};

void expect_whole_tensor_cycles(const std::vector<KernelCase>& cases) {
  for (const KernelCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(kernel_cycles(c.spec, c.inputs, Geometry::whole(c.output)), c.expected);
  }
}

// 8-bit outputs of GELU, bias GELU and layer normalisation are priced from input 0's rows.
TEST(KernelCycles, EightBitOutputsFirst) {
  const F8F143 f8{-2};
  expect_whole_tensor_cycles({
      // m = 200, r = 4: 138 + 4 * (372 + 1002 * 2)
      {"gelu", k::Gelu{}, {tensor_of({4, 200}, F16{})}, tensor_of({4, 200}, f8), 9642},
      // m = 192, r = 2: 330 + 2 * (210 + 1104 * 1)
      {"bias gelu, amp left",
       k::BiasGelu{},
       {tensor_of({2, 192}, F16{})},
       tensor_of({2, 192}, f8, amp_left),
       2958},
      {"bias gelu, row major", k::BiasGelu{}, {tensor_of({2, 192}, F16{})}, tensor_of({2, 192}, f8), 2934},
      // fp8_elementwise_cycles(false, 2, 128, true): 4590 + 2 * 1242
      {"layernorm, amp left",
       k::LayerNorm{},
       {tensor_of({2, 128}, F16{})},
       tensor_of({2, 128}, f8, amp_left),
       7074},
      {"no inputs", k::LayerNorm{}, {}, tensor_of({2, 128}, f8), max},
      // rank 0 input: m = 0, so no rows: 138 + 0
      {"scalar input", k::Gelu{}, {tensor_of({}, F16{})}, tensor_of({}, f8), 138},
      // other kernels fall through to their own formula: 132 + 8 * 2322
      {"add layernorm is not special", k::AddLayerNorm{}, {}, tensor_of({8, 128}, f8), 18708},
  });
}

TEST(KernelCycles, ByKind) {
  expect_whole_tensor_cycles({
      {"sized", k::Sized{1, 100, 0}, {}, tensor_of({4}, F16{}), 14},  // 11 + ceil(100/48)
      {"gelu", k::Gelu{}, {}, tensor_of({2, 48}, F16{}), 792},        // f16_gelu_cycles(96)
      {"gelu, F32", k::Gelu{}, {}, tensor_of({2, 48}, F32{}), 971},   // 11 + 10 * 96
      // R = 2, row length 96 / 2: 222 + 2 * (630 - 222)
      {"bias gelu", k::BiasGelu{}, {}, tensor_of({2, 48}, F16{}), 1038},
      {"bias gelu, no rows", k::BiasGelu{}, {}, tensor_of({0, 48}, F16{}), 0},
      {"layernorm", k::LayerNorm{}, {}, tensor_of({8, 128}, F16{}), 16668},
      {"add layernorm", k::AddLayerNorm{}, {}, tensor_of({8, 128}, F16{}), 18708},
      // c = 54 + 30 * 6 + 12 * 3 = 270: 126 + 4 * (1080 + 270)
      {"moments", k::LayerNormMoments{}, {tensor_of({4, 128}, F16{})}, tensor_of({4, 2}, F32{}), 5526},
      // plus 4 * 4 * (27 + 6 * 3)
      {"add moments", k::AddLayerNormMoments{}, {tensor_of({4, 128}, F16{})}, tensor_of({4, 2}, F32{}), 6246},
      // c = 48 * 1: 126 + 4 * 1128
      {"moments, narrow rows",
       k::LayerNormMoments{},
       {tensor_of({4, 10}, F16{})},
       tensor_of({4, 2}, F32{}),
       4638},
      {"moments, no inputs", k::LayerNormMoments{}, {}, tensor_of({4, 2}, F32{}), max},
      // 774 + 4 * (72 * 6 + 54 * 2 + 402)
      {"apply", k::LayerNormApply{2}, {}, tensor_of({4, 128}, F16{}), 4542},
      // 558 + 4 * (60 * 1 + 54 * 2 + 324)
      {"apply, odd rows", k::LayerNormApply{2}, {}, tensor_of({4, 10}, F16{}), 2526},
      {"split apply, one part", k::SplitApply{1}, {}, tensor_of({96}, F16{}), 0},
      {"split apply", k::SplitApply{3}, {}, tensor_of({96}, F16{}), 462},  // 282 + 6 * 15 * 2
      {"split apply, empty", k::SplitApply{3}, {}, tensor_of({0}, F16{}), 0},
      // f16_add_cycles(128, 128, 4)
      {"add, broadcast",
       k::Add{},
       {tensor_of({128}, F16{}), tensor_of({4}, F16{})},
       tensor_of({128}, F16{}),
       8334},
      {"add, one input", k::Add{}, {tensor_of({128}, F16{})}, tensor_of({128}, F16{}), 612},
      {"add, F32", k::Add{}, {}, tensor_of({128}, F32{}), 395},  // 11 + 3 * 128
      {"add, no inputs", k::Add{}, {}, tensor_of({128}, F16{}), max},
      // softmax_output_cycles(6, 1024, 64, ...): the split schedule, plus the 8-bit conversion
      {"softmax", k::SoftmaxOutput{1024, 1024, 64}, {}, tensor_of({6, 64}, F16{}), 4224},
      {"softmax, 8-bit", k::SoftmaxOutput{1024, 1024, 64}, {}, tensor_of({6, 64}, F8F143{}), 4620},
  });
}

TEST(KernelCycles, FlashAttention) {
  const TensorType query = tensor_of({2, 64, 32}, F16{});
  const TensorType keys = tensor_of({2, 128, 32}, F16{});
  const TensorType output = tensor_of({2, 64, 32}, F16{});
  const k::FlashAttention attention{};
  expect_whole_tensor_cycles({
      // x = (2 * 64) * 128 * (32 + 32) * 4 = 4194304: 11 + ceil(x/6)
      {"three operands", attention, {query, keys, keys}, output, 699062},
      {"two operands", attention, {query, keys}, output, max},
      {"rank mismatch", attention, {query, tensor_of({128, 32}, F16{}), keys}, output, max},
      {"rank 1",
       attention,
       {tensor_of({4}, F16{}), tensor_of({4}, F16{}), tensor_of({4}, F16{})},
       output,
       max},
  });
}

TEST(KernelCycles, AttentionMerge) {
  expect_whole_tensor_cycles({
      // later block: 25 + 3 * 4 + (5 * 1 + 7) + 3 + 32 * (4 + 2 + 1) = 276: 222 + 6 * 276
      {"later block, F16", k::AttentionMerge{64, 0, false, true}, {}, tensor_of({6, 64}, F16{}), 1878},
      // first block: 25 + 12 + 3 * 1 + 32 * 4 = 168: 222 + 6 * 168
      {"first block, F32", k::AttentionMerge{64, 0, true, true}, {}, tensor_of({6, 64}, F32{}), 1230},
      // narrow: 25 + 0 - 1 + 0 + 4 * 4 = 40: 222 + 6 * 40
      {"narrow output", k::AttentionMerge{8, 0, true, false}, {}, tensor_of({6, 8}, F32{}), 462},
      {"no rows", k::AttentionMerge{64, 0, false, true}, {}, tensor_of({0, 64}, F16{}), 0},
  });
}

TEST(KernelCycles, PackedGemm) {
  const TensorType right = tensor_of({64, 16}, F16{});
  const TensorType right_interleaved = tensor_of({64, 16}, F16{}, RowMajor{}, MemoryClass::Ipu21Interleaved);
  const k::PackedGemm f16_gemm{64, 16, F16{}, mid::AccumulationPrecision::F32, false, 0};
  expect_whole_tensor_cycles({
      // block-major output with group 32: the column axis is the second-last, so M = 32;
      // the busiest worker has 5 rows from row 12: 24 * 5 + 184 * 2 = 488; 342 + 4 * 1 * (202 + 488)
      {"block-major output", f16_gemm, {right, right}, tensor_of({64, 32}, F16{}, block_32_16), 3102},
      {"block-major output, interleaved",
       f16_gemm,
       {right, right_interleaved},
       tensor_of({64, 32}, F16{}, block_32_16),
       2974},  // 342 + 4 * (170 + 488)
      // k' = 32, M = 32: 294 + ceil(32/16) * ceil(64/16) * (160 + 4 * 32)
      {"8-bit, interleaved",
       k::PackedGemm{64, 64, F8F143{}, mid::AccumulationPrecision::F16, false, 0},
       {right, right_interleaved},
       tensor_of({32, 64}, F16{}),
       2598},
      // M' = 4 * 8, q = 2126: 294 + 2 * (ceil(32 * 64/4) + ceil(4 * 2126/4))
      {"F32",
       k::PackedGemm{32, 64, F32{}, mid::AccumulationPrecision::F32, false, 0},
       {right, right},
       tensor_of({8, 64}, F32{}),
       5570},
      // M = 8, q = 1063: 294 + 2 * (ceil(8 * 64/4) + 1063)
      {"F16, row-major output",
       k::PackedGemm{32, 64, F16{}, mid::AccumulationPrecision::F32, false, 0},
       {right, right},
       tensor_of({8, 64}, F16{}),
       2676},
      // the columns of a transposed output run along the second-last axis: M = 8 again
      {"F16, transposed output",
       k::PackedGemm{32, 64, F16{}, mid::AccumulationPrecision::F32, false, 0},
       {right, right},
       tensor_of({64, 8}, F16{}, Amp{AmpOrder::TransposedOutput}),
       2676},
  });
}

TEST(KernelCycles, CastGroupFromTheOutputOrder) {
  const k::Cast to_f8{F16{}, F8F143{}};
  const TensorType input = tensor_of({16, 64}, F16{});
  expect_whole_tensor_cycles({
      {"row major", to_f8, {input}, tensor_of({1000}, F8F143{}), 834},  // q = 0: 330 + 24 * 21
      // q = 16: u = 2: 330 + 2 * (120 + 72 * 3)
      {"block major", to_f8, {input}, tensor_of({16, 64}, F8F143{}, block_32_16), 1002},
      // a whole tensor divides by 1: q = 1024, u = 1: 330 + (120 + 72 * 171)
      {"amp left", to_f8, {input}, tensor_of({16, 64}, F8F143{}, amp_left), 12762},
      // q = n = 1 for a whole tensor: u = 32: 330 + 6 * (120 + 72)
      {"amp transposed left",
       to_f8,
       {input},
       tensor_of({16, 64}, F8F143{}, Amp{AmpOrder::TransposedLeft}),
       1482},
      {"amp transposed right",
       to_f8,
       {input},
       tensor_of({16, 64}, F8F143{}, Amp{AmpOrder::TransposedRight}),
       1002},
      {"amp output", to_f8, {input}, tensor_of({16, 64}, F8F143{}, Amp{AmpOrder::Output}), 858},  // 330 + 24
                                                                                                  // * 22
      // a move: 11 + ceil(1024 * 6 / 8)
      {"widening", k::Cast{F16{}, F32{}}, {input}, tensor_of({16, 64}, F32{}, amp_left), 779},
  });

  // On a shard box the last dimension divides: q = 1024 / 64 = 16 for amp left, 64 for transposed left.
  const std::vector<ShardExtent> box = {{0, 16, 16, 0}, {0, 60, 64, 1}};
  const tensor::TensorFormat left_f8{F8F143{},
                                     tensor::Layout{amp_left, {1, 1, {}}, MemoryClass::Ipu21Standard}};
  const tensor::TensorFormat transposed_f8{
      F8F143{}, tensor::Layout{Amp{AmpOrder::TransposedLeft}, {1, 1, {}}, MemoryClass::Ipu21Standard}};
  const std::vector<TensorType> inputs = {input};
  EXPECT_EQ(kernel_cycles(to_f8, inputs, Geometry::shard(box, left_f8)), 1002u);
  // q = 64 > 32: u = 1: 330 + (120 + 72 * 11)
  EXPECT_EQ(kernel_cycles(to_f8, inputs, Geometry::shard(box, transposed_f8)), 1242u);

  // One row on the shard: q = 1 stays 1 when the input holds more than the output...
  const std::vector<ShardExtent> row = {{0, 1, 1, 0}, {0, 64, 64, 1}};
  EXPECT_EQ(kernel_cycles(to_f8, inputs, Geometry::shard(row, left_f8)),
            714u);  // u = 2: 330 + 2 * (120 + 72)
  // ...and becomes 0 when the input holds exactly the output's elements.
  const std::vector<TensorType> row_input = {tensor_of({1, 64}, F16{})};
  EXPECT_EQ(kernel_cycles(to_f8, row_input, Geometry::shard(row, left_f8)), 378u);  // 330 + 24 * 2
}

TEST(KernelCycles, Repack) {
  const k::Repack from_transposed{
      tensor::Layout{Amp{AmpOrder::TransposedLeft}, {1, 1, {}}, MemoryClass::Ipu21Standard},
      tensor::Layout{RowMajor{}, {1, 1, {}}, MemoryClass::Ipu21Standard}};
  const k::Repack from_row_major{tensor::Layout{RowMajor{}, {1, 1, {}}, MemoryClass::Ipu21Standard},
                                 tensor::Layout{amp_left, {1, 1, {}}, MemoryClass::Ipu21Standard}};
  expect_whole_tensor_cycles({
      // y = 24, x = 10, b = 2: 300 + 2 * 2 * (100 + 90 * 5)
      {"transposed left to row major", from_transposed, {}, tensor_of({2, 24, 10}, F16{}), 2500},
      {"F32 output", from_transposed, {}, tensor_of({2, 24, 10}, F32{}), 4811},           // 11 + 10 * 480
      {"rank 1 output", from_transposed, {}, tensor_of({240}, F16{}), 2411},              // 11 + 10 * 240
      {"to amp left", from_row_major, {}, tensor_of({2, 24, 16}, F16{}, amp_left), 779},  // 11 + 768 * 1
  });
}

TEST(KernelCycles, SaturateNearTheLargestCount) {
  const TensorType huge = tensor_of({0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, F16{});
  const std::vector<TensorType> inputs = {huge, huge};
  for (const TileKernelSpec& spec : std::vector<TileKernelSpec>{
           k::Gelu{}, k::BiasGelu{}, k::LayerNorm{}, k::LayerNormMoments{}, k::LayerNormApply{4},
           k::SplitApply{4}, k::Add{}, k::SoftmaxOutput{1, 1, 1}, k::Repack{}, k::Cast{F32{}, F16{}}}) {
    SCOPED_TRACE(debug(spec));
    EXPECT_EQ(kernel_cycles(spec, inputs, Geometry::whole(huge)), max);
  }
}

TEST(Geometry, Queries) {
  // Padding counts: the last axis holds 60 real elements padded to 64.
  const std::vector<ShardExtent> box = {{2, 3, 4, 0}, {8, 16, 16, 1}, {64, 124, 128, 2}};
  const tensor::TensorFormat format{F16{},
                                    tensor::Layout{RowMajor{}, {1, 1, {}}, MemoryClass::Ipu21Standard}};
  const Geometry shard = Geometry::shard(box, format);
  EXPECT_FALSE(shard.is_whole_tensor());
  EXPECT_EQ(shard.rank(), 3u);
  EXPECT_EQ(shard.dimension(0), 2u);
  EXPECT_EQ(shard.dimension(2), 64u);
  EXPECT_EQ(shard.trailing_dimension(0, 7).value, 64u);
  EXPECT_TRUE(shard.trailing_dimension(2, 7).found);
  EXPECT_EQ(shard.trailing_dimension(2, 7).value, 2u);
  EXPECT_FALSE(shard.trailing_dimension(3, 7).found);
  EXPECT_EQ(shard.trailing_dimension(3, 7).value, 7u);
  EXPECT_EQ(shard.elements(), 1024u);  // 2 * 8 * 64
  EXPECT_EQ(shard.widths(1, 3), 512u);
  EXPECT_EQ(shard.widths(1, 9), 512u);  // cut at the rank

  const TensorType scalar = tensor_of({}, F32{});
  const Geometry whole = Geometry::whole(scalar);
  EXPECT_TRUE(whole.is_whole_tensor());
  EXPECT_EQ(whole.elements(), 1u);
  EXPECT_FALSE(whole.trailing_dimension(0, 5).found);
  EXPECT_EQ(whole.precision(), Precision{F32{}});

  const TensorType big = tensor_of({0xFFFFFFFF, 0xFFFFFFFF, 3}, F32{});
  EXPECT_EQ(Geometry::whole(big).elements(), max);
}

TEST(PackGeometryCycles, Table) {
  struct Case {
    const char* label;
    TensorType tensor;
    std::uint64_t elements;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {"row major", tensor_of({32, 64}, F16{}), 2048, 0},
      // h = 32 >= 32 rows, l = 64: groups ceil(2048 / (16 * 32 * 4)) = 1; f = 12 + 140 * 4 = 572;
      // 300 + 1 * 3 * 6 * 572
      {"coefficient pack", tensor_of({32, 64}, F16{}, block_32_16), 2048, 10596},
      {"more rows than the block", tensor_of({64, 64}, F16{}, block_32_16), 4096, 40971},  // 11 + 4096 * 10
      {"rank 1", tensor_of({64}, F16{}, block_32_16), 64, max},
      {"last dimension not a multiple of 4", tensor_of({32, 30}, F16{}, block_32_16), 960, 9611},
      {"row block not a multiple of 16",
       tensor_of({16, 64}, F16{}, BlockMajor{{BlockMajorKind::Matrix, 24, 16}}), 1024, 10251},
      {"column block not 16", tensor_of({16, 64}, F16{}, BlockMajor{{BlockMajorKind::Matrix, 32, 32}}), 1024,
       10251},
      {"transposed matrix",
       tensor_of({32, 64}, F16{}, BlockMajor{{BlockMajorKind::TransposedMatrix, 32, 16}}), 2048, 20491},
      {"amp left", tensor_of({32, 64}, F16{}, amp_left), 2048, 2059},  // 11 + 2048
      {"amp transposed right", tensor_of({32, 64}, F16{}, Amp{AmpOrder::TransposedRight}), 2048,
       6155},  // 11 + 6144
      {"amp output", tensor_of({32, 64}, F16{}, Amp{AmpOrder::Output}), 2048, 20491},
      {"saturates", tensor_of({32, 64}, F16{}, Amp{AmpOrder::Output}), max, max},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(pack_geometry_cycles(Geometry::whole(c.tensor), c.elements), c.expected);
  }
}

}  // namespace
}  // namespace ostrand::kernel

#include "mid/kernel_spec.hpp"

#include <string>
#include <vector>

#include <absl/hash/hash_testing.h>
#include <gtest/gtest.h>

namespace ostrand::mid {
namespace {

using tensor::F16;
using tensor::F32;
using tensor::F8F143;
using tensor::Layout;

TEST(TileKernelSpec, SlotsFollowTheFixedOrder) {
  const std::vector<TileKernelSpec> in_order = {
      kernels::Sized{},
      kernels::PackedGemm{},
      kernels::Gelu{},
      kernels::BiasGelu{},
      kernels::AddLayerNorm{},
      kernels::LayerNorm{},
      kernels::LayerNormMoments{},
      kernels::AddLayerNormMoments{},
      kernels::LayerNormApply{},
      kernels::SplitApply{},
      kernels::Add{},
      kernels::FlashAttention{},
      kernels::SoftmaxOutput{},
      kernels::AttentionMerge{},
      kernels::Cast{},
      kernels::Repack{},
  };
  for (std::size_t slot = 0; slot < in_order.size(); ++slot) EXPECT_EQ(in_order[slot].slot(), slot);
}

TEST(TileKernelSpec, PayloadWidths) {
  static_assert(sizeof(kernels::Sized::first) == 4 && sizeof(kernels::Sized::options) == 1);
  static_assert(sizeof(kernels::PackedGemm::accumulate) == 1 && sizeof(kernels::PackedGemm::options) == 1);
  static_assert(sizeof(kernels::LayerNormApply::parts) == 2 && sizeof(kernels::SplitApply::parts) == 2);
  static_assert(sizeof(kernels::SoftmaxOutput::key_block) == 4 &&
                sizeof(kernels::AttentionMerge::value_width) == 4);
  SUCCEED();
}

TEST(TileKernelSpec, EqualityComparesSlotThenPayload) {
  EXPECT_EQ(TileKernelSpec(kernels::Gelu{}), TileKernelSpec(kernels::Gelu{}));
  EXPECT_NE(TileKernelSpec(kernels::Gelu{}), TileKernelSpec(kernels::BiasGelu{}));
  // Same payload in two slots is still two kernels.
  EXPECT_NE(TileKernelSpec(kernels::LayerNormApply{2}), TileKernelSpec(kernels::SplitApply{2}));
  EXPECT_NE(TileKernelSpec(kernels::LayerNormApply{2}), TileKernelSpec(kernels::LayerNormApply{3}));
  // An 8-bit precision's exponent is part of it; F16 has none to differ in.
  EXPECT_NE(TileKernelSpec(kernels::Cast{F16{}, F8F143{1}}), TileKernelSpec(kernels::Cast{F16{}, F8F143{2}}));
  EXPECT_EQ(TileKernelSpec(kernels::Cast{F16{}, F8F143{1}}), TileKernelSpec(kernels::Cast{F16{}, F8F143{1}}));
  EXPECT_EQ(TileKernelSpec(kernels::Cast{F16{}, F32{}}), TileKernelSpec(kernels::Cast{F16{}, F32{}}));
}

TEST(TileKernelSpec, HashAgreesWithEquality) {
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({
      TileKernelSpec(kernels::Sized{1, 2, 3}),
      TileKernelSpec(kernels::Sized{1, 2, 4}),
      TileKernelSpec(kernels::PackedGemm{16, 32, F16{}, AccumulationPrecision::F32, false, 0}),
      TileKernelSpec(kernels::PackedGemm{16, 32, F8F143{-3}, AccumulationPrecision::F16, true, 0}),
      TileKernelSpec(kernels::Gelu{}),
      TileKernelSpec(kernels::AddLayerNormMoments{}),
      TileKernelSpec(kernels::LayerNormApply{2}),
      TileKernelSpec(kernels::SplitApply{2}),
      TileKernelSpec(kernels::FlashAttention{true, graph::ValueBits{7}, AccumulationPrecision::F32}),
      TileKernelSpec(
          kernels::FlashAttention{true, graph::InverseSqrtQueryWidth{}, AccumulationPrecision::F32}),
      TileKernelSpec(kernels::SoftmaxOutput{64, 100, 128}),
      TileKernelSpec(kernels::AttentionMerge{64, 64, true, false}),
      TileKernelSpec(kernels::AttentionMerge{64, 64, false, true}),
      TileKernelSpec(kernels::Cast{F16{}, F8F143{1}}),
      TileKernelSpec(kernels::Cast{F16{}, F8F143{2}}),
      TileKernelSpec(kernels::Repack{Layout::row_sharded(4), Layout::row_sharded(8)}),
  }));
}

TEST(TileKernelSpec, DebugTexts) {
  struct Case {
    TileKernelSpec spec;
    std::string text;
  };
  const std::vector<Case> cases = {
      {kernels::Sized{1, 2, 3}, "Sized { first: 1, second: 2, options: 3 }"},
      {kernels::PackedGemm{16, 32, F8F143{-2}, AccumulationPrecision::F16, true, 0},
       "PackedGemm { inner: 16, columns: 32, multiply: F8F143 { scale_exponent: -2 }, accumulate: F16, "
       "accumulate_into_output: true, options: 0 }"},
      {kernels::Gelu{}, "Gelu"},
      {kernels::AddLayerNormMoments{}, "AddLayerNormMoments"},
      {kernels::LayerNormApply{4}, "LayerNormApply { parts: 4 }"},
      {kernels::SplitApply{2}, "SplitApply { parts: 2 }"},
      {kernels::FlashAttention{true, graph::InverseSqrtQueryWidth{}, AccumulationPrecision::F32},
       "FlashAttention { causal: true, scale: InverseSqrtQueryWidth, accumulate: F32 }"},
      {kernels::SoftmaxOutput{64, 100, 128},
       "SoftmaxOutput { query_width: 64, real_keys: 100, key_block: 128 }"},
      {kernels::AttentionMerge{64, 32, true, false},
       "AttentionMerge { output_width: 64, value_width: 32, first_key_block: true, final_key_block: false }"},
      {kernels::Cast{F16{}, F32{}}, "Cast { from: F16, to: F32 }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(debug(c.spec), c.text);
  }
}

}  // namespace
}  // namespace ostrand::mid

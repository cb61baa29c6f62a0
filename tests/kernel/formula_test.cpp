// The closed-form kernel formulas, each case with its arithmetic.

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "kernel/cost.hpp"

namespace ostrand::kernel {
namespace {

struct FormulaCase {
  const char* label;
  std::uint64_t actual;
  std::uint64_t expected;
};

void expect_all(const std::vector<FormulaCase>& cases) {
  for (const FormulaCase& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.actual, c.expected);
  }
}

constexpr std::uint64_t max = ~std::uint64_t{0};

TEST(KernelFormulas, Gelu) {
  expect_all({
      {"multiple of 16, one block", f16_gelu_cycles(96), 792},      // 330 + 462 * 1
      {"multiple of 16, partial block", f16_gelu_cycles(16), 792},  // 330 + 462 * ceil(16/96)
      {"two blocks", f16_gelu_cycles(192), 1254},                   // 330 + 462 * 2
      {"empty", f16_gelu_cycles(0), 0},
      // p = 5 pairs, all on worker 0: B = 0, T = 5: 120 * 5 + 342
      {"tail only", f16_gelu_cycles(10), 942},
      // p = 49: worker 0 x = 49, B = 1, T = 1: 480 + 120 + 342; worker 1 x = 41, B = 1, T = 0: 480 + 330
      {"block and tail", f16_gelu_cycles(97), 942},
      // p = 63: worker 0 x = 63, B = 2, T = 0: 960 + 330 = 1290; worker 1 x = 55, B = 1, T = 7:
      // 480 + 840 + 342 = 1662, the busiest
      {"second worker busiest", f16_gelu_cycles(126), 1662},
  });
}

TEST(KernelFormulas, Add) {
  expect_all({
      {"equal operands", f16_add_cycles(128, 128, 128), 612},  // 504 + 18 * ceil(128/24)
      // chunk 4, 32 repeats: 504 + 32 * 18 * 1 + 234 * 31
      {"right operand repeated", f16_add_cycles(128, 128, 4), 8334},
      {"left operand repeated", f16_add_cycles(128, 4, 128), 8334},
      // chunk 48, 2 repeats: 504 + 2 * 18 * 2 + 234 * 1
      {"left operand repeated twice", f16_add_cycles(96, 48, 96), 810},
      {"both empty", f16_add_cycles(0, 0, 0), 504},                 // chunk 0, 1 repeat
      {"not multiples of 4", f16_add_cycles(130, 130, 130), 1044},  // 450 + 54 * ceil(130/12)
      {"empty operand", f16_add_cycles(128, 128, 0), 1044},         // 450 + 54 * 11
      {"shorter does not divide", f16_add_cycles(128, 128, 48), 1044},
      {"no operand matches the output", f16_add_cycles(128, 64, 64), 1044},
  });
}

TEST(KernelFormulas, BiasGelu) {
  expect_all({
      {"no rows", f16_bias_gelu_cycles(0, 8), 0},
      {"empty rows", f16_bias_gelu_cycles(3, 0), 0},
      // c = 450 + 90 * ceil(48/24) = 630; 222 + 2 * (630 - 222)
      {"multiple of 4", f16_bias_gelu_cycles(2, 48), 1038},
      // p = 5 on worker 0: 138 * 5 + 462 = 1152; c = 36 + 1152 = 1188; 222 + 1 * (1188 - 222)
      {"tail pairs", f16_bias_gelu_cycles(1, 10), 1188},
      // p = 8 on worker 0: B = 1, T = 0: 534 + 426 = 960; c = 996; 222 + 3 * 774
      {"whole block", f16_bias_gelu_cycles(3, 15), 2544},
  });
}

TEST(KernelFormulas, LayerNorm) {
  expect_all({
      // f = 66 + 72 * 6 = 498, base 1329, g = 24 + 12 * 3 + 30 * 6 = 240; 132 + 8 * 2067
      {"wide rows", f16_layernorm_cycles(8, 128, false), 16668},
      // f = 66 + 84 * 6 = 570, base 1386, g = 24 + 30 * 3 + 42 * 6 = 366; 132 + 8 * 2322
      {"wide rows, fused add", f16_layernorm_cycles(8, 128, true), 18708},
      // f = 60 * 1, base 1200, g = 48 * 1; 132 + 2 * 1308
      {"odd rows", f16_layernorm_cycles(2, 10, false), 2748},
      // f = 72 * 1, base 1290, g = 72 * 1; 132 + 1434
      {"odd rows, fused add", f16_layernorm_cycles(1, 10, true), 1566},
      // multiple of 4 but below 96: f = 66 + 72 * 4 = 354, base 1200, g = 48 * 8 = 384; 132 + 1938
      {"narrow rows", f16_layernorm_cycles(1, 88, false), 2070},
      {"no rows", f16_layernorm_cycles(0, 128, false), 132},
  });
}

TEST(KernelFormulas, LayerNormMoments) {
  expect_all({
      // c = 24 + 12 * 3 + 30 * 6 = 240; 126 + 4 * 1320
      {"wide rows", f16_layernorm_moments_cycles(4, 128), 5406},
      // c = 48 * 1; 126 + 4 * 1128
      {"narrow rows", f16_layernorm_moments_cycles(4, 10), 4638},
      // 100 is not a multiple of 8: c = 48 * 9; 126 + 1512
      {"wide but not a multiple of 8", f16_layernorm_moments_cycles(1, 100), 1638},
  });
}

TEST(KernelFormulas, Fp8Elementwise) {
  expect_all({
      // 138 + 2 * (372 + 1002 * 2)
      {"gelu", fp8_elementwise_cycles(true, 2, 200, false), 4890},
      // f = 60 * 11 = 660, g = 240, per row 1329 + 660 + 240 = 2229; t = 132 + 2 * 2229 = 4590;
      // u = 270 + 6 * 162 = 1242; 4590 + 2 * 1242
      {"normalisation, left output", fp8_elementwise_cycles(false, 2, 128, true), 7074},
      // u = 270 + 6 * 6 = 306; 4590 + 2 * 306
      {"normalisation, other output", fp8_elementwise_cycles(false, 2, 128, false), 5202},
      // one row never takes the left-output term: t = 132 + 2229, u = 306
      {"normalisation, one row", fp8_elementwise_cycles(false, 1, 128, true), 2667},
  });
}

TEST(KernelFormulas, SoftmaxOutput) {
  expect_all({
      // a = c: f = 41 * 4 + 30 = 194, B = 201; S = 222 + 6 * 1 * 201; a < 128 so no split
      {"full rows", softmax_output_cycles(6, 64, 64, false), 1428},
      // plus 6 * ceil(6/6) * (8 + 7 * ceil(64/16)) = 216
      {"full rows, 8-bit", softmax_output_cycles(6, 64, 64, true), 1644},
      // f = 41 * 12 + 30 = 522; k = 4; t = 522 + 11 + 21 + 4 + 2 = 560; w = 608;
      // B = 608 + 17 - 8 + 1 + 10 * 3 = 648; S = 234 + 6 * 2 * 648 = 8010;
      // P = 408 + 6 * 6 * (123 + 41 * 6) + 126 * 2 = 13944
      {"partial rows", softmax_output_cycles(12, 200, 256, false), 8010},
      // f = 41 * 64 + 30 = 2654; t = 2654 + 11 + 21 + 4 = 2690; B = 2690 + 17 = 2707;
      // S = 234 + 6 * 2707 = 16476; P = 408 + 6 * 3 * (123 + 41 * 2) + 126 = 4224
      {"split schedule", softmax_output_cycles(6, 1024, 64, false), 4224},
      // plus 6 * ceil(6/2) * (8 + 7 * ceil(64/48)) = 396
      {"split schedule, 8-bit", softmax_output_cycles(6, 1024, 64, true), 4620},
      {"no rows", softmax_output_cycles(0, 200, 256, true), 0},
      // narrow rows: f = 28 + 0; k = ceil(15/2) = 8; t = 28 + 5 + 21 + 2 + 2 = 58; w = 58 + 96 = 154;
      // B = 154 + 17 - 16 - 1 + 1 + 10 * 3 = 185; S = 234 + 6 * 185
      {"narrow rows", softmax_output_cycles(1, 15, 64, false), 1344},
  });
  EXPECT_TRUE(f16_softmax_split_rows(6, 1024, 64));
  EXPECT_FALSE(f16_softmax_split_rows(12, 200, 256));
  EXPECT_FALSE(f16_softmax_split_rows(6, 64, 64));  // below 128 wide there is no split
  EXPECT_FALSE(f16_softmax_split_rows(0, 1024, 64));
}

TEST(KernelFormulas, PackedGemm) {
  expect_all({
      // one row per worker, each 24 + 184 * 1 = 208; 342 + 2 * 2 * (202 + 208)
      {"six rows", f16_packed_gemm_cycles(6, 32, 32, false), 1982},
      {"six rows, interleaved", f16_packed_gemm_cycles(6, 32, 32, true), 1854},  // 342 + 4 * (170 + 208)
      // ten rows per worker; worker 1 starts at row 10, so its rows cross a 16-row boundary:
      // 24 * 10 + 184 * floor((10 + 10 + 15)/16) = 608; 342 + 1 * 1 * (202 + 608)
      {"rows crossing a block", f16_packed_gemm_cycles(60, 16, 16, false), 1152},
      // 17, 17, 17, 17, 16, 16 rows: 24 * 17 + 184 * 2 = 776; 342 + (170 + 776)
      {"uneven rows", f16_packed_gemm_cycles(100, 16, 16, true), 1288},
      {"no rows", f16_packed_gemm_cycles(0, 16, 16, false), 544},  // 342 + (202 + 0)
  });
}

TEST(KernelFormulas, CoefficientPack) {
  expect_all({
      {"one column block", f16_coefficient_pack_cycles(2, 32, 16), 2460},  // 300 + 2 * 3 * 6 * 60
      // f = 12 + 140 * 4 = 572; 300 + 1 * 2 * 6 * 572
      {"four column blocks", f16_coefficient_pack_cycles(1, 16, 64), 7164},
  });
}

// Counts near 2^64 saturate instead of wrapping to small values.
TEST(KernelFormulas, SaturateNearTheLargestCount) {
  expect_all({
      {"gelu, multiple of 16", f16_gelu_cycles(max - 15), max},
      {"gelu, pairs", f16_gelu_cycles(max), max},
      {"add, general path", f16_add_cycles(max, max, max), max},
      // the fast path moves 18 cycles per 24 elements, which stays below the limit:
      // 504 + 18 * ceil((2^64 - 4)/24)
      {"add, fast path", f16_add_cycles(max - 3, max - 3, max - 3), 13835058055282164222u},
      {"add, many repeats", f16_add_cycles(max - 3, max - 3, 4), max},
      {"bias gelu rows", f16_bias_gelu_cycles(max, 48), max},
      {"bias gelu row length", f16_bias_gelu_cycles(1, max), max},
      {"layernorm rows", f16_layernorm_cycles(max, 128, true), max},
      {"layernorm row length", f16_layernorm_cycles(1, max, false), max},
      {"moments", f16_layernorm_moments_cycles(max, 8), max},
      {"fp8 gelu", fp8_elementwise_cycles(true, max, 8, false), max},
      {"fp8 normalisation", fp8_elementwise_cycles(false, 2, max, true), max},
      {"softmax rows", softmax_output_cycles(max, 64, 64, true), max},
      {"softmax width", softmax_output_cycles(1, max, max - 1, false), max},
      {"packed gemm", f16_packed_gemm_cycles(max, max, 16, false), max},
      {"coefficient pack", f16_coefficient_pack_cycles(max, 16, 16), max},
  });
}

}  // namespace
}  // namespace ostrand::kernel

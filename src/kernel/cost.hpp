#pragma once
// Cycle counts of the IPU21 tile kernels: how many cycles one tile needs to run one kernel over its
// share of the data. The formulas model the tile's six worker threads, 32-byte vector loads and the
// fixed set-up cost of each kernel; their constants are calibration values of the cost model.
//
// Every quantity is an unsigned 64-bit count. Sums and products saturate at 2^64 - 1, which stands
// for an unaffordable cost and stays saturated through later additions.

#include <cstdint>

#include "util/saturating.hpp"

namespace ostrand::kernel {

// The largest value: a cost that cannot be paid.
inline constexpr std::uint64_t unaffordable = saturated;

// Element-wise F16 addition of an output of `output` elements from operands of `left` and `right`
// elements. A broadcast operand whose count divides the output's takes the repeated fast path.
[[nodiscard]] std::uint64_t f16_add_cycles(std::uint64_t output, std::uint64_t left, std::uint64_t right);

// F16 GELU over `elements` elements.
[[nodiscard]] std::uint64_t f16_gelu_cycles(std::uint64_t elements);

// F16 bias addition followed by GELU over `rows` rows of `row_length` elements.
[[nodiscard]] std::uint64_t f16_bias_gelu_cycles(std::uint64_t rows, std::uint64_t row_length);

// F16 layer normalisation of `rows` rows of `row_length` elements, with a fused residual addition
// when `fused_add` is set.
[[nodiscard]] std::uint64_t f16_layernorm_cycles(std::uint64_t rows, std::uint64_t row_length,
                                                 bool fused_add);

// The partial moments (sum and sum of squares) of F16 rows.
[[nodiscard]] std::uint64_t f16_layernorm_moments_cycles(std::uint64_t rows, std::uint64_t row_length);

// GELU (`gelu` set) or layer normalisation with an 8-bit output; `left_output` when the output is
// stored in the AMP left-operand order.
[[nodiscard]] std::uint64_t fp8_elementwise_cycles(bool gelu, std::uint64_t rows, std::uint64_t row_length,
                                                   bool left_output);

// Softmax output of `rows` rows with `active_width` real entries in rows of `row_width`, with the
// conversion to 8 bits when `eight_bit` is set. The cheaper of the standard and the split schedule.
[[nodiscard]] std::uint64_t softmax_output_cycles(std::uint64_t rows, std::uint64_t active_width,
                                                  std::uint64_t row_width, bool eight_bit);

// Whether the split schedule of `softmax_output_cycles` is strictly cheaper than the standard one.
[[nodiscard]] bool f16_softmax_split_rows(std::uint64_t rows, std::uint64_t active_width,
                                          std::uint64_t row_width);

// F16 matrix product into a block-major output: `rows` output rows spread over the workers, an inner
// length of `inner` and `columns` output columns; `interleaved` when the right operand sits in
// interleaved memory.
[[nodiscard]] std::uint64_t f16_packed_gemm_cycles(std::uint64_t rows, std::uint64_t inner,
                                                   std::uint64_t columns, bool interleaved);

// Packing F16 coefficients into block-major storage: `groups` groups of a `row_block`-row block with
// `columns` columns.
[[nodiscard]] std::uint64_t f16_coefficient_pack_cycles(std::uint64_t groups, std::uint64_t row_block,
                                                        std::uint64_t columns);

}  // namespace ostrand::kernel

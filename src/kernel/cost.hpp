#pragma once
// Cycle counts of the IPU21 tile kernels: how many cycles one tile needs to run one kernel over its
// share of the data. The formulas model the tile's six worker threads, 32-byte vector loads and the
// fixed set-up cost of each kernel; their constants are calibration values of the cost model.
//
// Every quantity is an unsigned 64-bit count. Sums and products saturate at 2^64 - 1, which stands
// for an unaffordable cost and stays saturated through later additions.

#include <cstddef>
#include <cstdint>
#include <span>

#include "mid/kernel_spec.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
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

// What one kernel invocation covers: one shard box of a tensor (padding included) or a whole tensor.
// A geometry is a view: the box, format or tensor it was made from must outlive it.
class Geometry {
 public:
  // The shard `box` (one extent per axis, in axis order) of a tensor in `format`.
  [[nodiscard]] static Geometry shard(std::span<const tensor::ShardExtent> box,
                                      const tensor::TensorFormat& format);
  // The whole of `tensor`.
  [[nodiscard]] static Geometry whole(const tensor::TensorType& tensor);
  // A geometry never outlives what it views.
  static Geometry shard(std::span<const tensor::ShardExtent>, const tensor::TensorFormat&&) = delete;
  static Geometry whole(const tensor::TensorType&&) = delete;

  [[nodiscard]] bool is_whole_tensor() const { return tensor_ != nullptr; }
  [[nodiscard]] std::size_t rank() const;

  // The size of `axis` (below the rank): the padded size of the shard, or the tensor's extent.
  [[nodiscard]] std::uint64_t dimension(std::size_t axis) const;

  struct Trailing {
    std::uint64_t value = 0;
    bool found = false;
  };
  // The dimension `from_end` places from the end (0 is the last), or `fallback` (not found) when the
  // rank is `from_end` or less.
  [[nodiscard]] Trailing trailing_dimension(std::size_t from_end, std::uint64_t fallback) const;

  // The product of all dimensions (1 for rank 0), saturating.
  [[nodiscard]] std::uint64_t elements() const;
  // The product of the dimensions first, ..., last - 1 (the range is cut at the rank), saturating.
  [[nodiscard]] std::uint64_t widths(std::size_t first, std::size_t last) const;

  [[nodiscard]] const tensor::TensorFormat& format() const { return *format_; }
  [[nodiscard]] const tensor::Precision& precision() const { return format_->precision; }
  [[nodiscard]] const tensor::ElementOrder& order() const { return format_->layout.order; }

 private:
  Geometry(std::span<const tensor::ShardExtent> box, const tensor::TensorFormat* format,
           const tensor::TensorType* tensor)
      : box_(box), format_(format), tensor_(tensor) {}

  std::span<const tensor::ShardExtent> box_;
  const tensor::TensorFormat* format_;
  const tensor::TensorType* tensor_;  // set for a whole-tensor geometry
};

// Cycles to rearrange one tile's `elements` elements into the element order of `geometry`.
[[nodiscard]] std::uint64_t pack_geometry_cycles(const Geometry& geometry, std::uint64_t elements);

// Cycles of one tile running `spec` on `inputs` (in operand order) to produce `output`. 8-bit
// GELU, bias GELU and layer normalisation have their own formulas; every other kernel is priced by
// its kind.
[[nodiscard]] std::uint64_t kernel_cycles(const mid::TileKernelSpec& spec,
                                          std::span<const tensor::TensorType> inputs, const Geometry& output);

}  // namespace ostrand::kernel

#pragma once
// Operator plans: how one graph operation is implemented on the tiles. A plan fixes the format every
// operand must arrive in, the format of the result, which inputs the result may overwrite, what is
// computed (the family) and how the work is spread over tiles (the dispatch). Plans are plain values
// with structural equality and hashing; the fragment cache and the search key maps by them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "graph/ids.hpp"
#include "graph/operation.hpp"
#include "mid/staging.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"
#include "util/hash.hpp"
#include "util/small_vector.hpp"

namespace ostrand::planner {

// Where an operand is taken from: used where it lies, or first staged into a local copy that
// matches a remote layout.
enum class LocalOperandStaging : std::uint8_t { Direct, MatchRemote };

// Which GEMM operand streams through the AMP unit. With `Normal` the left graph input streams and
// operand 1 is the weight; with `Swapped` operand 0 is the weight and operand 1 streams.
enum class GemmOrientation : std::uint8_t { Normal, Swapped };

// 0 for `Normal`, 1 for `Swapped`: the index of the streamed operand.
[[nodiscard]] constexpr std::size_t orientation_value(GemmOrientation o) {
  return o == GemmOrientation::Normal ? 0 : 1;
}
[[nodiscard]] constexpr std::size_t streamed_operand(GemmOrientation o) {
  return orientation_value(o);
}
[[nodiscard]] constexpr std::size_t weight_operand(GemmOrientation o) {
  return orientation_value(o) ^ 1U;
}

// The format one operand must have when the plan runs.
struct OperandRequirement {
  tensor::TensorFormat format;
  LocalOperandStaging staging = LocalOperandStaging::Direct;
  // Set on the operand that streams through the AMP unit; part of the plan's identity.
  bool streamed = false;

  // A requirement used where it lies and not streamed.
  [[nodiscard]] static OperandRequirement create(tensor::TensorFormat format);

  bool operator==(const OperandRequirement&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const OperandRequirement& v) {
    return H::combine(std::move(h), v.format, v.staging, v.streamed);
  }
};

// --- Families: what a plan computes ------------------------------------------------------------

namespace family {
struct Gemm {
  graph::GemmOptions options;
  tensor::Precision multiply;
  mid::AccumulationPrecision accumulate = mid::AccumulationPrecision::F16;
  bool operator==(const Gemm&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Gemm& v) {
    return H::combine(std::move(h), v.options, v.multiply, v.accumulate);
  }
};
struct Gelu {
  bool operator==(const Gelu&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Gelu&) {
    return h;
  }
};
struct LayerNorm {
  bool operator==(const LayerNorm&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const LayerNorm&) {
    return h;
  }
};
struct Add {
  bool operator==(const Add&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Add&) {
    return h;
  }
};
struct View {
  graph::AxisFactorView view;
  bool operator==(const View&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const View& v) {
    return H::combine(std::move(h), v.view);
  }
};
struct Slice {
  graph::AxisSlice slice;
  bool operator==(const Slice&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Slice& v) {
    return H::combine(std::move(h), v.slice);
  }
};
struct FlashAttention {
  graph::AttentionOptions options;
  mid::AccumulationPrecision accumulate = mid::AccumulationPrecision::F32;
  bool operator==(const FlashAttention&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const FlashAttention& v) {
    return H::combine(std::move(h), v.options, v.accumulate);
  }
};

void debug_write(DebugWriter& w, const Gemm& v);
void debug_write(DebugWriter& w, const Gelu& v);
void debug_write(DebugWriter& w, const LayerNorm& v);
void debug_write(DebugWriter& w, const Add& v);
void debug_write(DebugWriter& w, const View& v);
void debug_write(DebugWriter& w, const Slice& v);
void debug_write(DebugWriter& w, const FlashAttention& v);
}  // namespace family

struct OperatorFamily : std::variant<family::Gemm, family::Gelu, family::LayerNorm, family::Add, family::View,
                                     family::Slice, family::FlashAttention> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const OperatorFamily& v) {
    return hash_variant(std::move(h), v);
  }
};

// --- Dispatches: how the work is spread ------------------------------------------------------

// The tile grid of a split-reduction GEMM: the inner dimension is cut into `inner_partitions`
// slices whose partial products are summed, and the result may be spread over a grid of
// `result_row_partitions` x `result_column_partitions` tile groups.
struct GemmDistribution {
  mid::ReductionStaging reduction_staging;
  std::uint16_t row_partitions = 1;
  std::uint16_t column_partitions = 1;
  std::uint16_t inner_partitions = 1;
  std::uint16_t result_row_partitions = 1;
  std::uint16_t result_column_partitions = 1;

  bool operator==(const GemmDistribution&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const GemmDistribution& v) {
    return H::combine(std::move(h), v.reduction_staging, v.row_partitions, v.column_partitions,
                      v.inner_partitions, v.result_row_partitions, v.result_column_partitions);
  }
};

// The tile grid of one attention product: query rows, output columns and the inner dimension split
// into groups (partial results over the inner groups are summed).
struct ProductGrid {
  std::uint16_t row_partitions = 1;
  std::uint16_t column_partitions = 1;
  std::uint16_t inner_partitions = 1;

  bool operator==(const ProductGrid&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ProductGrid& v) {
    return H::combine(std::move(h), v.row_partitions, v.column_partitions, v.inner_partitions);
  }
};

namespace dispatch {
// Layer normalisation whose normalised last axis is split over `groups` tile groups.
struct RowGroups {
  std::uint16_t groups = 0;
  bool operator==(const RowGroups&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const RowGroups& v) {
    return H::combine(std::move(h), v.groups);
  }
};
// Per-tile work on matching shards.
struct Local {
  bool operator==(const Local&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Local&) {
    return h;
  }
};
struct Gemm {
  std::uint32_t inner_block = 0;
  std::uint32_t output_column_block = 0;
  // Present only for split-reduction plans.
  std::optional<GemmDistribution> distribution;
  GemmOrientation orientation = GemmOrientation::Normal;

  bool operator==(const Gemm&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Gemm& v) {
    return H::combine(std::move(h), v.inner_block, v.output_column_block, hashed(v.distribution),
                      v.orientation);
  }
};
struct Attention {
  std::optional<ProductGrid> score_grid;
  std::optional<ProductGrid> value_grid;
  std::optional<std::int8_t> score_exponent;
  std::optional<std::int8_t> value_exponent;
  std::uint32_t key_block = 0;
  std::uint32_t query_width = 0;
  std::uint32_t value_width = 0;
  bool single_key_block = false;

  bool operator==(const Attention&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Attention& v) {
    return H::combine(std::move(h), hashed(v.score_grid), hashed(v.value_grid), hashed(v.score_exponent),
                      hashed(v.value_exponent), v.key_block, v.query_width, v.value_width,
                      v.single_key_block);
  }
};
// Views and slices: no data movement of their own.
struct View {
  bool operator==(const View&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const View&) {
    return h;
  }
};

void debug_write(DebugWriter& w, const RowGroups& v);
void debug_write(DebugWriter& w, const Local& v);
void debug_write(DebugWriter& w, const Gemm& v);
void debug_write(DebugWriter& w, const Attention& v);
void debug_write(DebugWriter& w, const View& v);
}  // namespace dispatch

struct OperatorDispatch : std::variant<dispatch::RowGroups, dispatch::Local, dispatch::Gemm,
                                       dispatch::Attention, dispatch::View> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const OperatorDispatch& v) {
    return hash_variant(std::move(h), v);
  }
};

// --- Plans ------------------------------------------------------------------------------------

// The tensor types a plan gives its inputs (in operand order) and its result.
struct PlanTensorTypes {
  std::vector<tensor::TensorType> inputs;
  tensor::TensorType output;

  bool operator==(const PlanTensorTypes&) const = default;
};

struct OperatorPlan {
  // One requirement per operation input, in input order.
  std::vector<OperandRequirement> operands;
  tensor::TensorFormat output;
  // Input indices whose storage the result may take over; absent means none.
  std::optional<SmallVector<std::uint16_t, 2>> reusable_inputs;
  OperatorFamily family;
  OperatorDispatch dispatch;

  // Each input (up to the shorter of inputs and operands) with its shape and the operand's required
  // format, and the result with `result_shape` and the output format.
  [[nodiscard]] PlanTensorTypes tensor_types(std::span<const tensor::TensorType> inputs,
                                             const tensor::TensorShape& result_shape) const;

  // Whether input `index` may hand its storage to the result: it exists as input and operand, its
  // shape is the result shape and its required format is exactly the output format.
  [[nodiscard]] bool can_reuse_input(std::uint16_t index, std::span<const tensor::TensorType> inputs,
                                     const tensor::TensorShape& result_shape) const;

  // Whether the plan can implement an operation with these inputs (only their shapes matter) and
  // this result shape.
  [[nodiscard]] bool supports(std::span<const tensor::TensorType> inputs,
                              const tensor::TensorShape& output_shape) const;

  bool operator==(const OperatorPlan&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const OperatorPlan& v) {
    return H::combine(std::move(h), v.operands, v.output, hashed(v.reusable_inputs), v.family, v.dispatch);
  }
};

// The tensor type in which a split-reduction GEMM stores its partial products: the output type
// unchanged for any other dispatch, otherwise the output on the (row x column) partition grid of
// the distribution, in the AMP result order that matches the output.
[[nodiscard]] tensor::TensorType gemm_partial_tensor(const OperatorDispatch& dispatch,
                                                     const tensor::TensorType& output);

void debug_write(DebugWriter& w, LocalOperandStaging v);
void debug_write(DebugWriter& w, GemmOrientation v);
void debug_write(DebugWriter& w, const OperandRequirement& v);
void debug_write(DebugWriter& w, const OperatorFamily& v);
void debug_write(DebugWriter& w, const GemmDistribution& v);
void debug_write(DebugWriter& w, const ProductGrid& v);
void debug_write(DebugWriter& w, const OperatorDispatch& v);
void debug_write(DebugWriter& w, const OperatorPlan& v);
void debug_write(DebugWriter& w, const PlanTensorTypes& v);

}  // namespace ostrand::planner

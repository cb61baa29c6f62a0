#pragma once
// Operations of the compute graph: their kinds, option records and the repeat region.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <variant>
#include <vector>

#include "graph/ids.hpp"
#include "util/box.hpp"
#include "util/debug.hpp"
#include "util/hash.hpp"

namespace ostrand::graph {

struct GemmOptions {
  bool transpose_left = false;
  bool transpose_right = false;
  bool operator==(const GemmOptions&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const GemmOptions& v) {
    return H::combine(std::move(h), v.transpose_left, v.transpose_right);
  }
};

// Scale by one over the square root of the query width.
struct InverseSqrtQueryWidth {
  bool operator==(const InverseSqrtQueryWidth&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const InverseSqrtQueryWidth&) {
    return h;
  }
};

// An explicit scale, stored as the bit pattern of a 32-bit float so that it compares and hashes.
struct ValueBits {
  std::uint32_t bits = 0;
  bool operator==(const ValueBits&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ValueBits& v) {
    return H::combine(std::move(h), v.bits);
  }
};

struct AttentionScale : std::variant<InverseSqrtQueryWidth, ValueBits> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const AttentionScale& v) {
    return hash_variant(std::move(h), v);
  }
};

struct AttentionOptions {
  bool causal = false;
  AttentionScale scale;
  bool operator==(const AttentionOptions&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const AttentionOptions& v) {
    return H::combine(std::move(h), v.causal, v.scale);
  }
};

// The range [start, start + length) of one axis, counted from the outermost.
struct AxisSlice {
  std::size_t axis = 0;
  std::uint32_t start = 0;
  std::uint32_t length = 0;

  // The input shape with the sliced extent replaced by `length`; nothing when the slice is empty,
  // its end overflows, the axis is outside the rank or the slice leaves the axis.
  [[nodiscard]] std::optional<TensorShape> output_shape(const TensorShape& input) const;

  bool operator==(const AxisSlice&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const AxisSlice& v) {
    return H::combine(std::move(h), v.axis, v.start, v.length);
  }
};

// A reshaping view: the split axis is divided by `factor` and the merge axis multiplied by it (the
// roles swap when `reversed` is set).
struct AxisFactorView {
  std::size_t split_axis = 0;
  std::size_t merge_axis = 0;
  std::uint32_t factor = 0;
  bool reversed = false;

  // The reshaped shape, or nothing when the axes, the factor or the new extents are invalid.
  [[nodiscard]] std::optional<TensorShape> output_shape(const TensorShape& input) const;

  bool operator==(const AxisFactorView&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const AxisFactorView& v) {
    return H::combine(std::move(h), v.split_axis, v.merge_axis, v.factor, v.reversed);
  }
};

struct Region;

// A counted loop: `count` iterations over a body region. The operation's inputs are the carried
// inputs then the invariant inputs; each iteration also consumes one entry of every iterated
// sequence.
struct Repeat {
  std::uint32_t count = 0;
  std::size_t carried_inputs = 0;
  std::size_t invariant_inputs = 0;
  std::vector<ValueSequenceId> iterated_inputs;
  Box<Region> body;

  bool operator==(const Repeat&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Repeat& v) {
    return H::combine(std::move(h), v.count, v.carried_inputs, v.invariant_inputs, v.iterated_inputs, v.body);
  }
};

// The alternatives of OperationKind, in variant order.
namespace op {
struct Gemm {
  GemmOptions options;
  bool operator==(const Gemm&) const = default;
};
struct Gelu {
  bool operator==(const Gelu&) const = default;
};
struct LayerNorm {
  bool operator==(const LayerNorm&) const = default;
};
struct Add {
  bool operator==(const Add&) const = default;
};
struct View {
  AxisFactorView view;
  bool operator==(const View&) const = default;
};
struct Slice {
  AxisSlice slice;
  bool operator==(const Slice&) const = default;
};
struct FlashAttention {
  AttentionOptions options;
  bool operator==(const FlashAttention&) const = default;
};
struct Repeat {
  graph::Repeat repeat;
  bool operator==(const Repeat&) const = default;
};

template <class H>
H AbslHashValue(H h, const Gemm& v) {
  return H::combine(std::move(h), v.options);
}
template <class H>
H AbslHashValue(H h, const Gelu&) {
  return h;
}
template <class H>
H AbslHashValue(H h, const LayerNorm&) {
  return h;
}
template <class H>
H AbslHashValue(H h, const Add&) {
  return h;
}
template <class H>
H AbslHashValue(H h, const View& v) {
  return H::combine(std::move(h), v.view);
}
template <class H>
H AbslHashValue(H h, const Slice& v) {
  return H::combine(std::move(h), v.slice);
}
template <class H>
H AbslHashValue(H h, const FlashAttention& v) {
  return H::combine(std::move(h), v.options);
}
template <class H>
H AbslHashValue(H h, const Repeat& v) {
  return H::combine(std::move(h), v.repeat);
}

void debug_write(DebugWriter& w, const Gemm& v);
void debug_write(DebugWriter& w, const Gelu& v);
void debug_write(DebugWriter& w, const LayerNorm& v);
void debug_write(DebugWriter& w, const Add& v);
void debug_write(DebugWriter& w, const View& v);
void debug_write(DebugWriter& w, const Slice& v);
void debug_write(DebugWriter& w, const FlashAttention& v);
void debug_write(DebugWriter& w, const Repeat& v);
}  // namespace op

struct OperationKind : std::variant<op::Gemm, op::Gelu, op::LayerNorm, op::Add, op::View, op::Slice,
                                    op::FlashAttention, op::Repeat> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const OperationKind& v) {
    return hash_variant(std::move(h), v);
  }
};

struct Operation {
  OperationId id;
  std::vector<ValueId> inputs;
  std::vector<ValueId> results;
  OperationKind kind;

  bool operator==(const Operation&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Operation& v) {
    return H::combine(std::move(h), v.id, v.inputs, v.results, v.kind);
  }
};

// The body of a repeat: values defined on entry, operations, the values handed back, and the shape
// of every value of the body.
struct Region {
  std::vector<ValueId> arguments;
  std::vector<Operation> operations;
  std::vector<ValueId> yields;
  std::map<ValueId, TensorShape> value_shapes;

  bool operator==(const Region&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Region& v) {
    return H::combine(std::move(h), v.arguments, v.operations, v.yields, v.value_shapes);
  }
};

void debug_write(DebugWriter& w, const GemmOptions& v);
void debug_write(DebugWriter& w, const InverseSqrtQueryWidth& v);
void debug_write(DebugWriter& w, const ValueBits& v);
void debug_write(DebugWriter& w, const AttentionScale& v);
void debug_write(DebugWriter& w, const AttentionOptions& v);
void debug_write(DebugWriter& w, const AxisSlice& v);
void debug_write(DebugWriter& w, const AxisFactorView& v);
void debug_write(DebugWriter& w, const Repeat& v);
void debug_write(DebugWriter& w, const OperationKind& v);
void debug_write(DebugWriter& w, const Operation& v);
void debug_write(DebugWriter& w, const Region& v);

}  // namespace ostrand::graph

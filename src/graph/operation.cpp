#include "graph/operation.hpp"

namespace ostrand::graph {

void debug_write(DebugWriter& w, const GemmOptions& v) {
  w.record("GemmOptions")
      .field("transpose_left", v.transpose_left)
      .field("transpose_right", v.transpose_right);
}
void debug_write(DebugWriter& w, const InverseSqrtQueryWidth&) {
  w.raw("InverseSqrtQueryWidth");
}
void debug_write(DebugWriter& w, const ValueBits& v) {
  w.tuple("ValueBits", v.bits);
}
void debug_write(DebugWriter& w, const AttentionScale& v) {
  w.variant(v);
}
void debug_write(DebugWriter& w, const AttentionOptions& v) {
  w.record("AttentionOptions").field("causal", v.causal).field("scale", v.scale);
}
void debug_write(DebugWriter& w, const AxisSlice& v) {
  w.record("AxisSlice").field("axis", v.axis).field("start", v.start).field("length", v.length);
}
void debug_write(DebugWriter& w, const AxisFactorView& v) {
  w.record("AxisFactorView")
      .field("split_axis", v.split_axis)
      .field("merge_axis", v.merge_axis)
      .field("factor", v.factor)
      .field("reversed", v.reversed);
}
void debug_write(DebugWriter& w, const Repeat& v) {
  w.record("Repeat")
      .field("count", v.count)
      .field("carried_inputs", v.carried_inputs)
      .field("invariant_inputs", v.invariant_inputs)
      .field("iterated_inputs", v.iterated_inputs)
      .field("body", v.body);
}

namespace op {
void debug_write(DebugWriter& w, const Gemm& v) {
  w.tuple("Gemm", v.options);
}
void debug_write(DebugWriter& w, const Gelu&) {
  w.raw("Gelu");
}
void debug_write(DebugWriter& w, const LayerNorm&) {
  w.raw("LayerNorm");
}
void debug_write(DebugWriter& w, const Add&) {
  w.raw("Add");
}
void debug_write(DebugWriter& w, const View& v) {
  w.tuple("View", v.view);
}
void debug_write(DebugWriter& w, const Slice& v) {
  w.tuple("Slice", v.slice);
}
void debug_write(DebugWriter& w, const FlashAttention& v) {
  w.tuple("FlashAttention", v.options);
}
void debug_write(DebugWriter& w, const Repeat& v) {
  w.tuple("Repeat", v.repeat);
}
}  // namespace op

void debug_write(DebugWriter& w, const OperationKind& v) {
  w.variant(v);
}

void debug_write(DebugWriter& w, const Operation& v) {
  w.record("Operation")
      .field("id", v.id)
      .field("inputs", v.inputs)
      .field("results", v.results)
      .field("kind", v.kind);
}

void debug_write(DebugWriter& w, const Region& v) {
  w.record("Region")
      .field("arguments", v.arguments)
      .field("operations", v.operations)
      .field("yields", v.yields)
      .field("value_shapes", v.value_shapes);
}

}  // namespace ostrand::graph

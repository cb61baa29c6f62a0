#include "mid/kernel_spec.hpp"

namespace ostrand::mid {
namespace kernels {

void debug_write(DebugWriter& w, const Sized& v) {
  w.record("Sized").field("first", v.first).field("second", v.second).field("options", v.options);
}
void debug_write(DebugWriter& w, const PackedGemm& v) {
  w.record("PackedGemm")
      .field("inner", v.inner)
      .field("columns", v.columns)
      .field("multiply", v.multiply)
      .field("accumulate", v.accumulate)
      .field("accumulate_into_output", v.accumulate_into_output)
      .field("options", v.options);
}
void debug_write(DebugWriter& w, const Gelu&) {
  w.raw("Gelu");
}
void debug_write(DebugWriter& w, const BiasGelu&) {
  w.raw("BiasGelu");
}
void debug_write(DebugWriter& w, const AddLayerNorm&) {
  w.raw("AddLayerNorm");
}
void debug_write(DebugWriter& w, const LayerNorm&) {
  w.raw("LayerNorm");
}
void debug_write(DebugWriter& w, const LayerNormMoments&) {
  w.raw("LayerNormMoments");
}
void debug_write(DebugWriter& w, const AddLayerNormMoments&) {
  w.raw("AddLayerNormMoments");
}
void debug_write(DebugWriter& w, const LayerNormApply& v) {
  w.record("LayerNormApply").field("parts", v.parts);
}
void debug_write(DebugWriter& w, const SplitApply& v) {
  w.record("SplitApply").field("parts", v.parts);
}
void debug_write(DebugWriter& w, const Add&) {
  w.raw("Add");
}
void debug_write(DebugWriter& w, const FlashAttention& v) {
  w.record("FlashAttention")
      .field("causal", v.causal)
      .field("scale", v.scale)
      .field("accumulate", v.accumulate);
}
void debug_write(DebugWriter& w, const SoftmaxOutput& v) {
  w.record("SoftmaxOutput")
      .field("query_width", v.query_width)
      .field("real_keys", v.real_keys)
      .field("key_block", v.key_block);
}
void debug_write(DebugWriter& w, const AttentionMerge& v) {
  w.record("AttentionMerge")
      .field("output_width", v.output_width)
      .field("value_width", v.value_width)
      .field("first_key_block", v.first_key_block)
      .field("final_key_block", v.final_key_block);
}
void debug_write(DebugWriter& w, const Cast& v) {
  w.record("Cast").field("from", v.from).field("to", v.to);
}
void debug_write(DebugWriter& w, const Repack& v) {
  w.record("Repack").field("source", v.source).field("target", v.target);
}

}  // namespace kernels

void debug_write(DebugWriter& w, const TileKernelSpec& v) {
  w.variant(v);
}

}  // namespace ostrand::mid

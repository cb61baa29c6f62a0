#pragma once
// The per-tile kernel of a mid-level `Kernel` compute. The sixteen alternatives keep a fixed slot
// order (the variant index), which the cost formulas dispatch on; equality compares the slot and
// then the payload field by field.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <variant>

#include "graph/operation.hpp"
#include "mid/staging.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"
#include "util/hash.hpp"

namespace ostrand::mid {

// The alternatives of TileKernelSpec, in slot order.
namespace kernels {

// Slot 0: a kernel described only by two sizes and one byte of options.
struct Sized {
  std::uint32_t first = 0;
  std::uint32_t second = 0;
  std::uint8_t options = 0;
  bool operator==(const Sized&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Sized& v) {
    return H::combine(std::move(h), v.first, v.second, v.options);
  }
};

// Slot 1: one block of a packed matrix product (`inner` contracted entries, `columns` output
// columns). Never valid inside a Kernel compute; products are their own compute kind.
struct PackedGemm {
  std::uint32_t inner = 0;
  std::uint32_t columns = 0;
  tensor::Precision multiply;
  AccumulationPrecision accumulate = AccumulationPrecision::F32;
  bool accumulate_into_output = false;
  std::uint8_t options = 0;
  bool operator==(const PackedGemm&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const PackedGemm& v) {
    return H::combine(std::move(h), v.inner, v.columns, v.multiply, v.accumulate, v.accumulate_into_output,
                      v.options);
  }
};

// Slots 2 to 7 carry nothing.
struct Gelu {
  bool operator==(const Gelu&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Gelu&) {
    return h;
  }
};
struct BiasGelu {
  bool operator==(const BiasGelu&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const BiasGelu&) {
    return h;
  }
};
struct AddLayerNorm {
  bool operator==(const AddLayerNorm&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const AddLayerNorm&) {
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
struct LayerNormMoments {
  bool operator==(const LayerNormMoments&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const LayerNormMoments&) {
    return h;
  }
};
struct AddLayerNormMoments {
  bool operator==(const AddLayerNormMoments&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const AddLayerNormMoments&) {
    return h;
  }
};

// Slot 8: the normalising step of a split layer normalisation over `parts` partial moments.
struct LayerNormApply {
  std::uint16_t parts = 0;
  bool operator==(const LayerNormApply&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const LayerNormApply& v) {
    return H::combine(std::move(h), v.parts);
  }
};

// Slot 9: combining `parts` partial results.
struct SplitApply {
  std::uint16_t parts = 0;
  bool operator==(const SplitApply&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const SplitApply& v) {
    return H::combine(std::move(h), v.parts);
  }
};

// Slot 10.
struct Add {
  bool operator==(const Add&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Add&) {
    return h;
  }
};

// Slot 11: whole attention on one tile.
struct FlashAttention {
  bool causal = false;
  graph::AttentionScale scale;
  AccumulationPrecision accumulate = AccumulationPrecision::F32;
  bool operator==(const FlashAttention&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const FlashAttention& v) {
    return H::combine(std::move(h), v.causal, v.scale, v.accumulate);
  }
};

// Slot 12: softmax of one key block, written as the attention probabilities.
struct SoftmaxOutput {
  std::uint32_t query_width = 0;  // the query's last extent before padding
  std::uint32_t real_keys = 0;    // keys of the key block that carry data
  std::uint32_t key_block = 0;
  bool operator==(const SoftmaxOutput&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const SoftmaxOutput& v) {
    return H::combine(std::move(h), v.query_width, v.real_keys, v.key_block);
  }
};

// Slot 13: merging the partial attention result of one key block into the running result.
struct AttentionMerge {
  std::uint32_t output_width = 0;  // the output's last extent
  std::uint32_t value_width = 0;
  bool first_key_block = false;
  bool final_key_block = false;
  bool operator==(const AttentionMerge&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const AttentionMerge& v) {
    return H::combine(std::move(h), v.output_width, v.value_width, v.first_key_block, v.final_key_block);
  }
};

// Slot 14: element conversion between precisions.
struct Cast {
  tensor::Precision from;
  tensor::Precision to;
  bool operator==(const Cast&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Cast& v) {
    return H::combine(std::move(h), v.from, v.to);
  }
};

// Slot 15: re-storing one tile's data from the source layout's order in the target layout's.
struct Repack {
  tensor::Layout source;
  tensor::Layout target;
  bool operator==(const Repack&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Repack& v) {
    return H::combine(std::move(h), v.source, v.target);
  }
};

void debug_write(DebugWriter& w, const Sized& v);
void debug_write(DebugWriter& w, const PackedGemm& v);
void debug_write(DebugWriter& w, const Gelu& v);
void debug_write(DebugWriter& w, const BiasGelu& v);
void debug_write(DebugWriter& w, const AddLayerNorm& v);
void debug_write(DebugWriter& w, const LayerNorm& v);
void debug_write(DebugWriter& w, const LayerNormMoments& v);
void debug_write(DebugWriter& w, const AddLayerNormMoments& v);
void debug_write(DebugWriter& w, const LayerNormApply& v);
void debug_write(DebugWriter& w, const SplitApply& v);
void debug_write(DebugWriter& w, const Add& v);
void debug_write(DebugWriter& w, const FlashAttention& v);
void debug_write(DebugWriter& w, const SoftmaxOutput& v);
void debug_write(DebugWriter& w, const AttentionMerge& v);
void debug_write(DebugWriter& w, const Cast& v);
void debug_write(DebugWriter& w, const Repack& v);

}  // namespace kernels

struct TileKernelSpec
    : std::variant<kernels::Sized, kernels::PackedGemm, kernels::Gelu, kernels::BiasGelu,
                   kernels::AddLayerNorm, kernels::LayerNorm, kernels::LayerNormMoments,
                   kernels::AddLayerNormMoments, kernels::LayerNormApply, kernels::SplitApply, kernels::Add,
                   kernels::FlashAttention, kernels::SoftmaxOutput, kernels::AttentionMerge, kernels::Cast,
                   kernels::Repack> {
  using variant::variant;
  TileKernelSpec() : variant(kernels::Gelu{}) {}

  // The fixed slot of the kernel (0 for Sized up to 15 for Repack).
  [[nodiscard]] std::size_t slot() const { return index(); }

  template <class T>
  [[nodiscard]] bool is() const {
    return std::holds_alternative<T>(*this);
  }
  template <class T>
  [[nodiscard]] const T* get_if() const {
    return std::get_if<T>(static_cast<const variant*>(this));
  }

  template <class H>
  friend H AbslHashValue(H h, const TileKernelSpec& v) {
    return hash_variant(std::move(h), v);
  }
};

void debug_write(DebugWriter& w, const TileKernelSpec& v);

}  // namespace ostrand::mid

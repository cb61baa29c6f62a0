#pragma once
// How a tensor is stored on the IPU: element precision, the order of elements inside a tile's
// storage, how each axis is cut into shards over tiles, and the memory class that holds it. All are
// plain values with structural equality and hashing.

#include <cstdint>
#include <expected>
#include <optional>
#include <utility>
#include <variant>

#include "util/debug.hpp"
#include "util/hash.hpp"
#include "util/small_vector.hpp"

namespace ostrand::tensor {

// Defined with the resolution of layouts (tensor/error.hpp, tensor/resolved.hpp); the members below
// that return them are usable wherever those headers are included.
struct LayoutError;
struct ShardBounds;

// --- Precision -------------------------------------------------------------------------------

// The IPU's 8-bit float (1 sign, 4 exponent, 3 mantissa bits), scaled by 2^scale_exponent. The
// exponent is part of the precision's identity.
struct F8F143 {
  std::int8_t scale_exponent = 0;
  bool operator==(const F8F143&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const F8F143& v) {
    return H::combine(std::move(h), v.scale_exponent);
  }
};
struct F16 {
  bool operator==(const F16&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const F16&) {
    return h;
  }
};
struct F32 {
  bool operator==(const F32&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const F32&) {
    return h;
  }
};

// Only F8F143 carries an exponent, so an F16 can never hold a stale one.
struct Precision : std::variant<F8F143, F16, F32> {
  using variant::variant;
  Precision() : variant(F16{}) {}
  template <class H>
  friend H AbslHashValue(H h, const Precision& v) {
    return hash_variant(std::move(h), v);
  }
};

// Bytes per element: 1 for F8F143, 2 for F16, 4 for F32. Every byte count in the system is elements
// times this size.
[[nodiscard]] std::uint32_t element_bytes(const Precision& p);

// --- Element orders --------------------------------------------------------------------------

// The orders the AMP units read or write for their left operand, right operand and result.
enum class AmpOrder : std::uint8_t { Left, TransposedLeft, TransposedRight, Output, TransposedOutput };

enum class BlockMajorKind : std::uint8_t { Matrix, TransposedMatrix };

// The matrix stored block by block, each block row_block x column_block elements.
struct BlockMajorOrder {
  BlockMajorKind kind = BlockMajorKind::Matrix;
  std::uint16_t row_block = 0;
  std::uint16_t column_block = 0;
  bool operator==(const BlockMajorOrder&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const BlockMajorOrder& v) {
    return H::combine(std::move(h), v.kind, v.row_block, v.column_block);
  }
};

struct RowMajor {
  bool operator==(const RowMajor&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const RowMajor&) {
    return h;
  }
};
struct BlockMajor {
  BlockMajorOrder order;
  bool operator==(const BlockMajor&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const BlockMajor& v) {
    return H::combine(std::move(h), v.order);
  }
};
struct Amp {
  AmpOrder order = AmpOrder::Left;
  bool operator==(const Amp&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Amp& v) {
    return H::combine(std::move(h), v.order);
  }
};

struct ElementOrder : std::variant<RowMajor, BlockMajor, Amp> {
  using variant::variant;

  // The row block of a block-major order whose column block is 16 and whose row block is a power of
  // two of at least 16 (the blocks a GEMM writes its output in); nothing for any other order.
  [[nodiscard]] std::optional<std::uint16_t> gemm_output_group() const;

  template <class H>
  friend H AbslHashValue(H h, const ElementOrder& v) {
    return hash_variant(std::move(h), v);
  }
};

enum class MemoryClass : std::uint8_t { Ipu21Standard, Ipu21Interleaved };

// --- Tilings ---------------------------------------------------------------------------------

// An axis counted from the outermost (0 is the first axis).
struct FromStart {
  std::uint16_t index = 0;
  bool operator==(const FromStart&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const FromStart& v) {
    return H::combine(std::move(h), v.index);
  }
};
// An axis counted from the end (1 is the last axis).
struct FromEnd {
  std::uint16_t index = 0;
  bool operator==(const FromEnd&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const FromEnd& v) {
    return H::combine(std::move(h), v.index);
  }
};
// The whole tensor as one flat row-major run; only meaningful as the single axis of a tiling.
struct Linear {
  bool operator==(const Linear&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Linear&) {
    return h;
  }
};

struct TensorAxis : std::variant<FromStart, FromEnd, Linear> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const TensorAxis& v) {
    return hash_variant(std::move(h), v);
  }
};

enum class Padding : std::uint8_t { Reject, Zero };

// How one axis is cut over tiles.
struct AxisTiling {
  TensorAxis axis;
  std::uint16_t partitions = 1;
  std::uint16_t padding_groups = 1;
  std::uint32_t block_size = 1;
  std::uint32_t padding_multiple = 1;
  std::uint32_t shard_padding_multiple = 1;
  Padding padding = Padding::Reject;
  std::optional<std::uint16_t> tile_stride;

  // The common form: one padding group and no shard padding.
  [[nodiscard]] static AxisTiling simple(TensorAxis axis, std::uint16_t partitions, std::uint32_t block_size,
                                         std::uint32_t padding_multiple, Padding padding,
                                         std::optional<std::uint16_t> tile_stride = std::nullopt);

  // The range of partition `partition` on an axis whose padded extent is `padded_extent` and whose
  // real extent is `extent`: blocks spread as evenly as possible over the partitions of each padding
  // group, earlier partitions first.
  [[nodiscard]] std::expected<ShardBounds, LayoutError> shard_bounds(std::uint32_t padded_extent,
                                                                     std::uint32_t extent,
                                                                     std::uint32_t partition) const;

  bool operator==(const AxisTiling&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const AxisTiling& v) {
    return H::combine(std::move(h), v.axis, v.partitions, v.padding_groups, v.block_size, v.padding_multiple,
                      v.shard_padding_multiple, v.padding, hashed(v.tile_stride));
  }
};

using AxisTilings = SmallVector<AxisTiling, 3>;

// The tiles that hold a tensor: `tile_count` must equal `replicas` times the product of all
// partitions (checked when the layout is resolved).
struct TensorTiling {
  std::uint16_t tile_count = 0;
  std::uint16_t replicas = 1;
  AxisTilings axes;

  // The tile-number stride of every axis tiling, in list order: the explicit `tile_stride`, or by
  // default replicas fastest, then the first listed axis, then the next.
  [[nodiscard]] std::expected<SmallVector<std::uint32_t, 3>, LayoutError> axis_strides() const;

  bool operator==(const TensorTiling&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const TensorTiling& v) {
    return H::combine(std::move(h), v.tile_count, v.replicas, v.axes);
  }
};

// One shard's range on one axis: real data in [start, end), padding up to padded_end.
struct ShardExtent {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t padded_end = 0;
  std::uint16_t axis = 0;

  bool operator==(const ShardExtent&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ShardExtent& v) {
    return H::combine(std::move(h), v.start, v.end, v.padded_end, v.axis);
  }
};

// One shard per resolved axis: the part of a tensor that one tile holds.
using ShardBox = SmallVector<ShardExtent, 4>;

void debug_write(DebugWriter& w, const F8F143& v);
void debug_write(DebugWriter& w, const F16& v);
void debug_write(DebugWriter& w, const F32& v);
void debug_write(DebugWriter& w, const Precision& v);
void debug_write(DebugWriter& w, AmpOrder v);
void debug_write(DebugWriter& w, BlockMajorKind v);
void debug_write(DebugWriter& w, const BlockMajorOrder& v);
void debug_write(DebugWriter& w, const RowMajor& v);
void debug_write(DebugWriter& w, const BlockMajor& v);
void debug_write(DebugWriter& w, const Amp& v);
void debug_write(DebugWriter& w, const ElementOrder& v);
void debug_write(DebugWriter& w, MemoryClass v);
void debug_write(DebugWriter& w, const FromStart& v);
void debug_write(DebugWriter& w, const FromEnd& v);
void debug_write(DebugWriter& w, const Linear& v);
void debug_write(DebugWriter& w, const TensorAxis& v);
void debug_write(DebugWriter& w, Padding v);
void debug_write(DebugWriter& w, const AxisTiling& v);
void debug_write(DebugWriter& w, const TensorTiling& v);
void debug_write(DebugWriter& w, const ShardExtent& v);

}  // namespace ostrand::tensor

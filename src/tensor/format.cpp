#include "tensor/format.hpp"

#include "util/overloaded.hpp"

namespace ostrand::tensor {

std::uint32_t element_bytes(const Precision& p) {
  return std::visit(Overloaded{
                        [](const F8F143&) -> std::uint32_t { return 1; },
                        [](const F16&) -> std::uint32_t { return 2; },
                        [](const F32&) -> std::uint32_t { return 4; },
                    },
                    p);
}

std::optional<std::uint16_t> ElementOrder::gemm_output_group() const {
  const auto* block_major = std::get_if<BlockMajor>(this);
  if (block_major == nullptr) return std::nullopt;
  const std::uint16_t rows = block_major->order.row_block;
  const bool power_of_two = (rows & (rows - 1)) == 0;
  if (block_major->order.column_block != 16 || rows < 16 || !power_of_two) return std::nullopt;
  return rows;
}

AxisTiling AxisTiling::simple(TensorAxis axis, std::uint16_t partitions, std::uint32_t block_size,
                              std::uint32_t padding_multiple, Padding padding,
                              std::optional<std::uint16_t> tile_stride) {
  return AxisTiling{axis, partitions, 1, block_size, padding_multiple, 1, padding, tile_stride};
}

void debug_write(DebugWriter& w, const F8F143& v) {
  w.record("F8F143").field("scale_exponent", v.scale_exponent);
}
void debug_write(DebugWriter& w, const F16&) {
  w.raw("F16");
}
void debug_write(DebugWriter& w, const F32&) {
  w.raw("F32");
}
void debug_write(DebugWriter& w, const Precision& v) {
  w.variant(v);
}

void debug_write(DebugWriter& w, AmpOrder v) {
  switch (v) {
    case AmpOrder::Left:
      w.raw("Left");
      return;
    case AmpOrder::TransposedLeft:
      w.raw("TransposedLeft");
      return;
    case AmpOrder::TransposedRight:
      w.raw("TransposedRight");
      return;
    case AmpOrder::Output:
      w.raw("Output");
      return;
    case AmpOrder::TransposedOutput:
      w.raw("TransposedOutput");
      return;
  }
}

void debug_write(DebugWriter& w, BlockMajorKind v) {
  switch (v) {
    case BlockMajorKind::Matrix:
      w.raw("Matrix");
      return;
    case BlockMajorKind::TransposedMatrix:
      w.raw("TransposedMatrix");
      return;
  }
}

void debug_write(DebugWriter& w, const BlockMajorOrder& v) {
  std::string name;
  DebugWriter(name).value(v.kind);
  w.record(name).field("row_block", v.row_block).field("column_block", v.column_block);
}

void debug_write(DebugWriter& w, const RowMajor&) {
  w.raw("RowMajor");
}
void debug_write(DebugWriter& w, const BlockMajor& v) {
  w.tuple("BlockMajor", v.order);
}
void debug_write(DebugWriter& w, const Amp& v) {
  w.tuple("Amp", v.order);
}
void debug_write(DebugWriter& w, const ElementOrder& v) {
  w.variant(v);
}

void debug_write(DebugWriter& w, MemoryClass v) {
  switch (v) {
    case MemoryClass::Ipu21Standard:
      w.raw("Ipu21Standard");
      return;
    case MemoryClass::Ipu21Interleaved:
      w.raw("Ipu21Interleaved");
      return;
  }
}

void debug_write(DebugWriter& w, const FromStart& v) {
  w.tuple("FromStart", v.index);
}
void debug_write(DebugWriter& w, const FromEnd& v) {
  w.tuple("FromEnd", v.index);
}
void debug_write(DebugWriter& w, const Linear&) {
  w.raw("Linear");
}
void debug_write(DebugWriter& w, const TensorAxis& v) {
  w.variant(v);
}

void debug_write(DebugWriter& w, Padding v) {
  switch (v) {
    case Padding::Reject:
      w.raw("Reject");
      return;
    case Padding::Zero:
      w.raw("Zero");
      return;
  }
}

void debug_write(DebugWriter& w, const AxisTiling& v) {
  w.record("AxisTiling")
      .field("axis", v.axis)
      .field("partitions", v.partitions)
      .field("padding_groups", v.padding_groups)
      .field("block_size", v.block_size)
      .field("padding_multiple", v.padding_multiple)
      .field("shard_padding_multiple", v.shard_padding_multiple)
      .field("padding", v.padding)
      .field("tile_stride", v.tile_stride);
}

void debug_write(DebugWriter& w, const TensorTiling& v) {
  w.record("TensorTiling")
      .field("tile_count", v.tile_count)
      .field("replicas", v.replicas)
      .field("axes", v.axes);
}

void debug_write(DebugWriter& w, const ShardExtent& v) {
  w.record("ShardExtent")
      .field("start", v.start)
      .field("end", v.end)
      .field("padded_end", v.padded_end)
      .field("axis", v.axis);
}

}  // namespace ostrand::tensor

#include "tensor/layout.hpp"

#include "util/saturating.hpp"

namespace ostrand::tensor {

namespace {

constexpr std::optional<std::uint16_t> no_stride = std::nullopt;

AxisTiling tile(std::uint16_t from_end, std::uint16_t partitions, std::uint32_t block, Padding padding,
                std::optional<std::uint16_t> stride) {
  return AxisTiling::simple(FromEnd{from_end}, partitions, block, block, padding, stride);
}

Layout make(ElementOrder order, std::uint16_t tile_count, std::uint16_t replicas, AxisTilings axes,
            MemoryClass memory_class) {
  return Layout{order, TensorTiling{tile_count, replicas, std::move(axes)}, memory_class};
}

// The result grid shared by the AMP output and left-result orders.
Layout result_grid(AmpOrder order, std::uint32_t column_block, std::uint16_t tiles, std::uint16_t rows,
                   std::uint16_t columns, bool tile_order) {
  if (tiles == rows && column_block == 64 && columns == 1) {
    return make(Amp{order}, rows, 1,
                {tile(2, rows, 1, Padding::Reject, no_stride), tile(1, 1, 64, Padding::Zero, no_stride)},
                MemoryClass::Ipu21Interleaved);
  }
  const std::uint16_t column_stride = tile_order ? rows : 1;
  const std::uint16_t row_stride = tile_order ? 1 : columns;
  return make(Amp{order}, tiles, 1,
              {tile(1, columns, column_block, Padding::Zero, column_stride),
               tile(2, rows, 1, Padding::Reject, row_stride)},
              MemoryClass::Ipu21Interleaved);
}

Layout transposed_result_grid(AmpOrder order, std::uint32_t row_block, std::uint16_t tiles,
                              std::uint16_t columns, std::uint16_t rows, bool tile_order) {
  const std::uint16_t row_stride = tile_order ? columns : 1;
  const std::uint16_t column_stride = tile_order ? 1 : rows;
  return make(Amp{order}, tiles, 1,
              {tile(2, rows, row_block, Padding::Zero, row_stride),
               tile(1, columns, 1, Padding::Reject, column_stride)},
              MemoryClass::Ipu21Interleaved);
}

// c x r x p, or 0 when the product does not fit in 16 bits.
std::uint16_t zero_on_overflow(std::uint16_t c, std::uint16_t r, std::uint16_t p) {
  const auto cr = checked_mul<std::uint16_t>(c, r);
  if (!cr) return 0;
  return checked_mul<std::uint16_t>(*cr, p).value_or(0);
}

}  // namespace

Layout Layout::row_sharded(std::uint16_t tiles) {
  return make(RowMajor{}, tiles, 1, {tile(2, tiles, 1, Padding::Reject, no_stride)},
              MemoryClass::Ipu21Standard);
}

Layout Layout::attention_key(std::uint16_t heads, std::uint16_t sequence_partitions) {
  return make(Amp{AmpOrder::TransposedRight}, sat_mul_as<std::uint16_t>(heads, sequence_partitions), 1,
              {tile(3, heads, 1, Padding::Reject, 1), tile(2, sequence_partitions, 64, Padding::Zero, heads),
               tile(1, 1, 16, Padding::Zero, no_stride)},
              MemoryClass::Ipu21Standard);
}

Layout Layout::attention_output(std::uint16_t heads, std::uint16_t sequence_partitions) {
  return make(RowMajor{}, sat_mul_as<std::uint16_t>(heads, sequence_partitions), 1,
              {tile(2, sequence_partitions, 1, Padding::Reject, heads), tile(3, heads, 1, Padding::Reject, 1),
               tile(1, 1, 16, Padding::Zero, no_stride)},
              MemoryClass::Ipu21Standard);
}

Layout Layout::amp_output_grid(std::uint32_t column_block, std::uint16_t tiles, std::uint16_t row_partitions,
                               std::uint16_t column_partitions, bool tile_order) {
  return result_grid(AmpOrder::Output, column_block, tiles, row_partitions, column_partitions, tile_order);
}

Layout Layout::amp_left_result_grid(std::uint32_t column_block, std::uint16_t tiles,
                                    std::uint16_t row_partitions, std::uint16_t column_partitions,
                                    bool tile_order) {
  return result_grid(AmpOrder::Left, column_block, tiles, row_partitions, column_partitions, tile_order);
}

Layout Layout::amp_left_parallel_grid(std::uint32_t column_block, std::uint16_t tiles,
                                      std::uint16_t row_partitions, std::uint16_t replicas,
                                      std::uint16_t column_partitions) {
  return make(Amp{AmpOrder::Left}, tiles, replicas,
              {tile(1, column_partitions, column_block, Padding::Zero, no_stride),
               tile(2, row_partitions, 1, Padding::Reject, no_stride)},
              MemoryClass::Ipu21Standard);
}

Layout Layout::amp_transposed_output_grid(std::uint32_t row_block, std::uint16_t tiles,
                                          std::uint16_t column_partitions, std::uint16_t row_partitions,
                                          bool tile_order) {
  return transposed_result_grid(AmpOrder::TransposedOutput, row_block, tiles, column_partitions,
                                row_partitions, tile_order);
}

Layout Layout::amp_transposed_left_result_grid(std::uint32_t row_block, std::uint16_t tiles,
                                               std::uint16_t column_partitions, std::uint16_t row_partitions,
                                               bool tile_order) {
  return transposed_result_grid(AmpOrder::TransposedLeft, row_block, tiles, column_partitions, row_partitions,
                                tile_order);
}

Layout Layout::amp_transposed_left_parallel_grid(std::uint32_t row_block, std::uint16_t tiles,
                                                 std::uint16_t column_partitions, std::uint16_t replicas,
                                                 std::uint16_t row_partitions) {
  return make(Amp{AmpOrder::TransposedLeft}, tiles, replicas,
              {tile(2, row_partitions, row_block, Padding::Zero, no_stride),
               tile(1, column_partitions, 1, Padding::Reject, no_stride)},
              MemoryClass::Ipu21Standard);
}

Layout Layout::block_major_matrix_storage(std::uint16_t row_block, std::uint16_t column_block,
                                          std::uint16_t column_partitions, std::uint16_t row_partitions,
                                          std::uint16_t replicas, MemoryClass memory_class) {
  return make(BlockMajor{BlockMajorOrder{BlockMajorKind::Matrix, row_block, 16}},
              zero_on_overflow(column_partitions, row_partitions, replicas), replicas,
              {tile(1, column_partitions, column_block, Padding::Zero, 1),
               tile(2, row_partitions, row_block, Padding::Zero, no_stride)},
              memory_class);
}

Layout Layout::transposed_block_major_matrix_storage(std::uint16_t row_block, std::uint16_t column_block,
                                                     std::uint16_t column_partitions,
                                                     std::uint16_t row_partitions, std::uint16_t replicas,
                                                     MemoryClass memory_class) {
  return make(BlockMajor{BlockMajorOrder{BlockMajorKind::TransposedMatrix, row_block, 16}},
              zero_on_overflow(column_partitions, row_partitions, replicas), replicas,
              {tile(2, column_partitions, column_block, Padding::Zero, 1),
               tile(1, row_partitions, row_block, Padding::Zero, no_stride)},
              memory_class);
}

void debug_write(DebugWriter& w, const Layout& v) {
  w.record("Layout").field("order", v.order).field("tiling", v.tiling).field("memory_class", v.memory_class);
}

void debug_write(DebugWriter& w, const TensorFormat& v) {
  w.record("TensorFormat").field("precision", v.precision).field("layout", v.layout);
}

void debug_write(DebugWriter& w, const TensorType& v) {
  w.record("TensorType").field("shape", v.shape).field("format", v.format);
}

}  // namespace ostrand::tensor

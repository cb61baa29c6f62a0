#include "kernel/cost.hpp"

#include <algorithm>
#include <variant>

#include "kernel/cast.hpp"
#include "util/check.hpp"
#include "util/overloaded.hpp"

namespace ostrand::kernel {
namespace {

// Saturating sum and product of any number of counts.
template <class... Ts>
constexpr std::uint64_t sum(std::uint64_t first, Ts... rest) {
  ((first = sat_add(first, rest)), ...);
  return first;
}

template <class... Ts>
constexpr std::uint64_t product(std::uint64_t first, Ts... rest) {
  ((first = sat_mul(first, rest)), ...);
  return first;
}

// `a - b` stopping at zero, except that an unaffordable `a` stays unaffordable.
constexpr std::uint64_t less(std::uint64_t a, std::uint64_t b) {
  return a == unaffordable ? a : sat_sub(a, b);
}

constexpr bool multiple_of(std::uint64_t value, std::uint64_t m) {
  return value % m == 0;
}

// Constants of a kernel that spreads element pairs over the six workers: worker w starts 8 pairs
// after worker w - 1, handles whole blocks of 48 pairs and then a tail pair by pair.
struct PairSchedule {
  std::uint64_t per_block;
  std::uint64_t per_tail_pair;
  std::uint64_t setup_with_tail;
  std::uint64_t setup_without_tail;
};

constexpr std::uint64_t workers = 6;

// The cost of the busiest worker over the pairs of `elements` elements.
std::uint64_t pair_worker_maximum(std::uint64_t elements, const PairSchedule& s) {
  const std::uint64_t pairs = ceil_div(elements, 2);
  std::uint64_t busiest = 0;
  for (std::uint64_t w = 0; w < workers; ++w) {
    const std::uint64_t offset = 8 * w;
    // Worker 0 always counts; later workers only when pairs are left for them.
    if (w > 0 && pairs <= offset) break;
    const std::uint64_t x = pairs - offset;
    const std::uint64_t blocks = x >= 8 ? (x - 8) / 48 + 1 : 0;
    const std::uint64_t covered = product(48, blocks);
    const std::uint64_t tail = sat_sub(x, covered);
    const std::uint64_t setup = covered < x ? s.setup_with_tail : s.setup_without_tail;
    busiest = std::max(busiest, sum(product(s.per_block, blocks), product(s.per_tail_pair, tail), setup));
  }
  return busiest;
}

struct SoftmaxSchedules {
  std::uint64_t standard;
  std::uint64_t split;  // unaffordable where the split schedule does not apply
};

SoftmaxSchedules softmax_schedules(std::uint64_t rows, std::uint64_t active, std::uint64_t width) {
  const std::uint64_t active_groups = active / 16;
  const std::uint64_t width_groups = width / 16;
  const std::uint64_t remainder = active % 16;
  const bool narrow = active < 16;
  const std::uint64_t first = sum(product(41, active_groups), narrow ? 28 : 30);
  std::uint64_t group = 0;
  if (active == width) {
    group = sum(first, 7);
  } else {
    const std::uint64_t k = ceil_div(remainder, 2);
    const std::uint64_t t = sum(first, narrow ? 5 : 11, 21, narrow ? 2 : 4, remainder >= 2 ? 2 : 0);
    const std::uint64_t w = sum(t, 12 * k);
    const std::uint64_t gap = sat_sub(sat_sub(width_groups, active_groups), 1);
    group = less(sum(w, 17, active_groups + 1 < width_groups ? 1 : 0, product(10, gap)),
                 2 * k + (k == 8 ? 1 : 0));
  }
  const std::uint64_t standard =
      rows == 0 ? 0 : sum(active == width ? 222 : 234, product(6, ceil_div(rows, 6), group));
  std::uint64_t split = unaffordable;
  if (active >= 128 && rows > 0) {
    split = sum(408, product(6, ceil_div(rows, 2), sum(123, product(41, ceil_div(width, 48)))),
                product(126, ceil_div(rows, 6)));
  }
  return {standard, split};
}

}  // namespace

std::uint64_t f16_add_cycles(std::uint64_t output, std::uint64_t left, std::uint64_t right) {
  const bool aligned = multiple_of(output, 4) && multiple_of(left, 4) && multiple_of(right, 4);
  const std::uint64_t shorter = std::min(left, right);
  // Chunk and repeat count of the fast path, when it applies.
  std::uint64_t chunk = 0;
  std::uint64_t repeats = 0;
  bool fast = false;
  if (output == left) {
    if (aligned && left == right) {
      fast = true;
      chunk = output;
      repeats = 1;
    } else if (aligned && shorter != 0 && multiple_of(output, shorter)) {
      fast = true;
      chunk = shorter;
      repeats = output / shorter;
    }
  } else if (output == right && shorter > 0) {
    if (aligned && multiple_of(output, shorter)) {
      fast = true;
      chunk = shorter;
      repeats = output / shorter;
    }
  }
  if (fast) {
    return sum(504, product(repeats, 18, ceil_div(chunk, 24)), product(234, repeats - 1));
  }
  return sum(450, product(54, ceil_div(output, 12)));
}

std::uint64_t f16_gelu_cycles(std::uint64_t elements) {
  if (elements == 0) return 0;
  if (multiple_of(elements, 16)) return sum(330, product(462, ceil_div(elements, 96)));
  return pair_worker_maximum(elements, {480, 120, 342, 330});
}

std::uint64_t f16_bias_gelu_cycles(std::uint64_t rows, std::uint64_t row_length) {
  if (rows == 0 || row_length == 0) return 0;
  std::uint64_t row = 0;
  if (multiple_of(row_length, 4)) {
    row = sum(450, product(90, ceil_div(row_length, 24)));
  } else {
    row = sum(36, pair_worker_maximum(row_length, {534, 138, 462, 426}));
  }
  // The 222 set-up cycles are paid once, not per row.
  return sum(222, product(rows, less(row, 222)));
}

std::uint64_t f16_layernorm_cycles(std::uint64_t rows, std::uint64_t row_length, bool fused_add) {
  const std::uint64_t m = row_length;
  const std::uint64_t f = !multiple_of(m, 4) ? product(fused_add ? 72 : 60, ceil_div(m, 12))
                                             : sum(66, product(fused_add ? 84 : 72, ceil_div(m, 24)));
  std::uint64_t base = 0;
  std::uint64_t g = 0;
  if (m >= 96 && multiple_of(m, 8)) {
    base = fused_add ? 1386 : 1329;
    g = sum(24, product(fused_add ? 30 : 12, ceil_div(m, 48)), product(fused_add ? 42 : 30, ceil_div(m, 24)));
  } else {
    base = fused_add ? 1290 : 1200;
    g = product(fused_add ? 72 : 48, ceil_div(m, 12));
  }
  return sum(132, product(rows, sum(base, f, g)));
}

std::uint64_t f16_layernorm_moments_cycles(std::uint64_t rows, std::uint64_t row_length) {
  const std::uint64_t m = row_length;
  const std::uint64_t c = (m < 96 || !multiple_of(m, 8))
                              ? product(48, ceil_div(m, 12))
                              : sum(24, product(12, ceil_div(m, 48)), product(30, ceil_div(m, 24)));
  return sum(126, product(rows, sum(1080, c)));
}

std::uint64_t fp8_elementwise_cycles(bool gelu, std::uint64_t rows, std::uint64_t row_length,
                                     bool left_output) {
  const std::uint64_t m = row_length;
  if (gelu) return sum(138, product(rows, sum(372, product(1002, ceil_div(m, 192)))));
  const bool wide = m >= 96 && multiple_of(m, 8);
  const std::uint64_t f = product(60, ceil_div(m, 12));
  const std::uint64_t g = wide ? sum(24, product(12, ceil_div(m, 48)), product(30, ceil_div(m, 24)))
                               : product(48, ceil_div(m, 12));
  const std::uint64_t per_row = sum(wide ? 1329 : 1200, f, g);
  const std::uint64_t t = sum(132, product(rows, per_row));
  const std::uint64_t u = sum(270, product(ceil_div(m, 24), rows > 1 && left_output ? 162 : 6));
  return sum(t, product(rows, u));
}

std::uint64_t softmax_output_cycles(std::uint64_t rows, std::uint64_t active_width, std::uint64_t row_width,
                                    bool eight_bit) {
  const SoftmaxSchedules s = softmax_schedules(rows, active_width, row_width);
  std::uint64_t cycles = std::min(s.standard, s.split);
  if (eight_bit) {
    const bool split = s.split < s.standard;
    const std::uint64_t k = split ? 2 : 6;
    const std::uint64_t q = split ? 48 : 16;
    cycles = sum(cycles, product(6, ceil_div(rows, k), sum(8, product(7, ceil_div(row_width, q)))));
  }
  return cycles;
}

bool f16_softmax_split_rows(std::uint64_t rows, std::uint64_t active_width, std::uint64_t row_width) {
  const SoftmaxSchedules s = softmax_schedules(rows, active_width, row_width);
  return s.split < s.standard;
}

std::uint64_t f16_packed_gemm_cycles(std::uint64_t rows, std::uint64_t inner, std::uint64_t columns,
                                     bool interleaved) {
  const std::uint64_t share = rows / workers;
  const std::uint64_t extra = rows % workers;
  std::uint64_t busiest = 0;
  for (std::uint64_t w = 0; w < workers; ++w) {
    const std::uint64_t worker_rows = share + (extra > w ? 1 : 0);
    if (worker_rows == 0) continue;
    const std::uint64_t first_row = w * share + std::min(extra, w);
    const std::uint64_t row_blocks = sum(worker_rows, first_row % 16, 15) / 16;
    busiest = std::max(busiest, sum(product(24, worker_rows), product(184, row_blocks)));
  }
  return sum(342, product(ceil_div(inner, 16), ceil_div(columns, 16), sum(interleaved ? 170 : 202, busiest)));
}

std::uint64_t f16_coefficient_pack_cycles(std::uint64_t groups, std::uint64_t row_block,
                                          std::uint64_t columns) {
  const std::uint64_t f = columns == 16 ? 60 : sum(12, product(140, ceil_div(columns, 16)));
  return sum(300, product(groups, ceil_div(row_block, 12), 6, f));
}

// --- Geometry --------------------------------------------------------------------------------

Geometry Geometry::shard(std::span<const tensor::ShardExtent> box, const tensor::TensorFormat& format) {
  return Geometry(box, &format, nullptr);
}

Geometry Geometry::whole(const tensor::TensorType& tensor) {
  return Geometry({}, &tensor.format, &tensor);
}

std::size_t Geometry::rank() const {
  return tensor_ != nullptr ? tensor_->shape.rank() : box_.size();
}

std::uint64_t Geometry::dimension(std::size_t axis) const {
  OSTRAND_CHECK(axis < rank(), "geometry axis outside the rank");
  if (tensor_ != nullptr) return tensor_->shape[axis];
  // A malformed box whose padded end lies before its start holds nothing.
  return sat_sub(box_[axis].padded_end, box_[axis].start);
}

Geometry::Trailing Geometry::trailing_dimension(std::size_t from_end, std::uint64_t fallback) const {
  const std::size_t r = rank();
  if (r <= from_end) return {fallback, false};
  return {dimension(r - 1 - from_end), true};
}

std::uint64_t Geometry::elements() const {
  return widths(0, rank());
}

std::uint64_t Geometry::widths(std::size_t first, std::size_t last) const {
  std::uint64_t result = 1;
  for (std::size_t axis = first; axis < std::min(last, rank()); ++axis)
    result = sat_mul(result, dimension(axis));
  return result;
}

// --- Kernel dispatch -------------------------------------------------------------------------

namespace {

using tensor::AmpOrder;

bool is_amp(const tensor::ElementOrder& order, AmpOrder which) {
  const auto* amp = std::get_if<tensor::Amp>(&order);
  return amp != nullptr && amp->order == which;
}

bool is_block_major_matrix(const tensor::ElementOrder& order) {
  const auto* block = std::get_if<tensor::BlockMajor>(&order);
  return block != nullptr && block->order.kind == tensor::BlockMajorKind::Matrix;
}

std::uint64_t shape_elements(const tensor::TensorShape& shape) {
  std::uint64_t result = 1;
  for (const std::uint32_t extent : shape) result = sat_mul(result, extent);
  return result;
}

std::uint64_t last_extent(const tensor::TensorShape& shape) {
  return shape.rank() == 0 ? 0 : shape[shape.rank() - 1];
}

// Rows of an input seen as rows of its last extent: (row length, rows), with no rows for an empty
// row length.
struct Rows {
  std::uint64_t length;
  std::uint64_t count;
};

Rows input_rows(const tensor::TensorType& input) {
  const std::uint64_t m = last_extent(input.shape);
  return {m, m == 0 ? 0 : shape_elements(input.shape) / m};
}

bool interleaved(std::span<const tensor::TensorType> inputs, std::size_t index) {
  return inputs.size() > index &&
         inputs[index].format.layout.memory_class == tensor::MemoryClass::Ipu21Interleaved;
}

// The output dimensions of the geometry: E elements, n in the last dimension and R rows of n.
struct OutputShape {
  std::uint64_t elements;
  std::uint64_t last;
  std::uint64_t rows;
};

OutputShape output_shape(const Geometry& g) {
  const std::size_t rank = g.rank();
  return {g.elements(), g.trailing_dimension(0, 1).value, rank <= 1 ? 1 : g.widths(0, rank - 1)};
}

std::uint64_t packed_gemm_cycles(const mid::kernels::PackedGemm& gemm,
                                 std::span<const tensor::TensorType> inputs, const Geometry& output) {
  const tensor::ElementOrder& order = output.order();
  const bool column_second_last = is_block_major_matrix(order) || is_amp(order, AmpOrder::TransposedLeft) ||
                                  is_amp(order, AmpOrder::TransposedOutput);
  const std::size_t rank = output.rank();
  // M: every output dimension but the column axis (all of them when there is no such axis).
  std::uint64_t m = 1;
  const std::size_t from_end = column_second_last ? 2 : 1;
  for (std::size_t axis = 0; axis < rank; ++axis) {
    if (rank >= from_end && axis == rank - from_end) continue;
    m = sat_mul(m, output.dimension(axis));
  }
  const std::uint64_t k = gemm.inner;
  const std::uint64_t c = gemm.columns;
  const bool f8 = std::holds_alternative<tensor::F8F143>(gemm.multiply);
  const bool f16 = std::holds_alternative<tensor::F16>(gemm.multiply);
  const bool f32 = std::holds_alternative<tensor::F32>(gemm.multiply);
  const std::uint64_t inner = f8 ? ceil_div(k, 2) : k;
  if (f16 && order.gemm_output_group()) return f16_packed_gemm_cycles(m, k, c, interleaved(inputs, 1));
  if ((f16 || f8) && interleaved(inputs, 1)) {
    return sum(294, product(ceil_div(inner, 16), ceil_div(c, 16), sum(160, product(4, m))));
  }
  const std::uint64_t q = f32 ? 2126 : 1063;
  const std::uint64_t rows = f32 ? product(4, m) : m;
  return sum(294, product(ceil_div(inner, 16),
                          sum(ceil_div(product(rows, c), 4), ceil_div(product(ceil_div(c, 16), q), 4))));
}

std::uint64_t moments_cycles(bool fused_add, std::span<const tensor::TensorType> inputs) {
  if (inputs.empty()) return unaffordable;
  const auto [m, r] = input_rows(inputs[0]);
  const std::uint64_t c = (m >= 96 && multiple_of(m, 8))
                              ? sum(54, product(30, ceil_div(m, 24)), product(12, ceil_div(m, 48)))
                              : product(48, ceil_div(m, 12));
  std::uint64_t cycles = sum(126, product(r, sum(1080, c)));
  if (fused_add) cycles = sum(cycles, product(4, r, sum(27, product(6, ceil_div(m, 48)))));
  return cycles;
}

std::uint64_t attention_cycles(std::span<const tensor::TensorType> inputs) {
  if (inputs.size() != 3) return unaffordable;
  const tensor::TensorShape& query = inputs[0].shape;
  const tensor::TensorShape& key = inputs[1].shape;
  const tensor::TensorShape& value = inputs[2].shape;
  const std::size_t rank = query.rank();
  if (rank < 2 || key.rank() != rank || value.rank() != rank) return unaffordable;
  std::uint64_t query_rows = 1;
  for (std::size_t axis = 0; axis + 1 < rank; ++axis) query_rows = sat_mul(query_rows, query[axis]);
  const std::uint64_t widths = sat_add(query[rank - 1], value[rank - 1]);
  const std::uint64_t x = product(query_rows, key[rank - 2], widths, 4);
  return sum(11, ceil_div(x, 6));
}

std::uint64_t attention_merge_cycles(const mid::kernels::AttentionMerge& merge, const Geometry& output,
                                     std::uint64_t rows) {
  if (rows == 0) return 0;
  const std::uint64_t w = merge.output_width;
  // Every key block after the first merges into a running result.
  const bool merges = !merge.first_key_block;
  const std::uint64_t v = merge.final_key_block ? 1 : 0;
  const bool f16 = std::holds_alternative<tensor::F16>(output.precision());
  const std::uint64_t group = sum(less(sum(25, 3 * (w / 16)), w < 16 ? 1 : 0), merges ? 5 * v + 7 : 3 * v,
                                  f16 ? 3 : 0, product(ceil_div(w, 2), 4 + (merges ? 2 : 0) + (f16 ? 1 : 0)));
  return sum(222, product(6, ceil_div(rows, 6), group));
}

std::uint64_t cast_kernel_cycles(const mid::kernels::Cast& cast, std::span<const tensor::TensorType> inputs,
                                 const Geometry& output, const OutputShape& out) {
  // The group of elements that share one scale in the output order.
  const std::uint64_t last = output.is_whole_tensor() ? 1 : out.last;
  const std::uint64_t group =
      std::visit(Overloaded{
                     [](const tensor::RowMajor&) -> std::uint64_t { return 0; },
                     [](const tensor::BlockMajor& b) -> std::uint64_t { return b.order.column_block; },
                     [&](const tensor::Amp& a) -> std::uint64_t {
                       switch (a.order) {
                         case AmpOrder::Left: {
                           // An empty last dimension has no rows to group.
                           std::uint64_t q = last == 0 ? 0 : out.elements / last;
                           if (q == 1 && !inputs.empty())
                             q = shape_elements(inputs[0].shape) != out.elements ? 1 : 0;
                           return q;
                         }
                         case AmpOrder::TransposedLeft:
                           return last;
                         case AmpOrder::TransposedRight:
                           return 16;
                         case AmpOrder::Output:
                         case AmpOrder::TransposedOutput:
                           return 0;
                       }
                       return 0;
                     },
                 },
                 static_cast<const tensor::ElementOrder::variant&>(output.order()));
  return cast_cycles(cast.from, cast.to, out.elements, group);
}

std::uint64_t repack_cycles(const mid::kernels::Repack& repack, const Geometry& output,
                            const OutputShape& out) {
  const bool row_major_output = std::holds_alternative<tensor::RowMajor>(output.order());
  const std::size_t rank = output.rank();
  if (std::holds_alternative<tensor::F16>(output.precision()) &&
      is_amp(repack.source.order, AmpOrder::TransposedLeft) && row_major_output && rank >= 2) {
    const std::uint64_t y = output.dimension(rank - 2);
    const std::uint64_t x = output.dimension(rank - 1);
    const std::uint64_t b = output.widths(0, rank - 2);
    return sum(300, product(b, ceil_div(y, 12), sum(100, product(90, ceil_div(x, 2)))));
  }
  if (!row_major_output) return pack_geometry_cycles(output, out.elements);
  return sum(11, product(10, out.elements));
}

// 8-bit GELU, bias GELU and layer normalisation; nothing for any other kernel or output.
std::optional<std::uint64_t> eight_bit_cycles(const mid::TileKernelSpec& spec,
                                              std::span<const tensor::TensorType> inputs,
                                              const Geometry& output) {
  if (!std::holds_alternative<tensor::F8F143>(output.precision())) return std::nullopt;
  const bool gelu = spec.is<mid::kernels::Gelu>();
  const bool bias_gelu = spec.is<mid::kernels::BiasGelu>();
  if (!gelu && !bias_gelu && !spec.is<mid::kernels::LayerNorm>()) return std::nullopt;
  if (inputs.empty()) return unaffordable;
  const auto [m, r] = input_rows(inputs[0]);
  const bool left = is_amp(output.order(), AmpOrder::Left);
  if (bias_gelu) return sum(330, product(r, sum(left ? 210 : 198, product(1104, ceil_div(m, 192)))));
  return fp8_elementwise_cycles(gelu, r, m, left);
}

}  // namespace

std::uint64_t pack_geometry_cycles(const Geometry& geometry, std::uint64_t elements) {
  const tensor::ElementOrder& order = geometry.order();
  if (std::holds_alternative<tensor::RowMajor>(order)) return 0;
  if (const auto* block = std::get_if<tensor::BlockMajor>(&order);
      block != nullptr && block->order.kind == tensor::BlockMajorKind::Matrix) {
    const std::uint64_t h = block->order.row_block;
    // A zero row block is no block at all and takes the general path.
    if (h != 0 && multiple_of(h, 16) && block->order.column_block == 16) {
      const Geometry::Trailing rows = geometry.trailing_dimension(1, 0);
      if (!rows.found) return unaffordable;
      const Geometry::Trailing last = geometry.trailing_dimension(0, 0);
      if (h >= rows.value && last.found && multiple_of(last.value, 4)) {
        const std::uint64_t l = last.value;
        const std::uint64_t groups = ceil_div(elements, product(16, h, ceil_div(l, 16)));
        return f16_coefficient_pack_cycles(groups, h, l);
      }
    }
  }
  const std::uint64_t per_element =
      is_amp(order, AmpOrder::Left) ? 1 : (is_amp(order, AmpOrder::TransposedRight) ? 3 : 10);
  return sum(11, product(elements, per_element));
}

std::uint64_t kernel_cycles(const mid::TileKernelSpec& spec, std::span<const tensor::TensorType> inputs,
                            const Geometry& output) {
  if (const std::optional<std::uint64_t> cycles = eight_bit_cycles(spec, inputs, output)) return *cycles;
  const OutputShape out = output_shape(output);
  const bool f16_output = std::holds_alternative<tensor::F16>(output.precision());
  namespace k = mid::kernels;
  return std::visit(
      Overloaded{
          [](const k::Sized& s) -> std::uint64_t { return sum(11, ceil_div(s.second, 48)); },
          [&](const k::PackedGemm& g) { return packed_gemm_cycles(g, inputs, output); },
          [&](const k::Gelu&) {
            return f16_output ? f16_gelu_cycles(out.elements) : sum(11, product(10, out.elements));
          },
          [&](const k::BiasGelu&) {
            return f16_bias_gelu_cycles(out.rows, out.rows == 0 ? 0 : out.elements / out.rows);
          },
          [&](const k::AddLayerNorm&) { return f16_layernorm_cycles(out.rows, out.last, true); },
          [&](const k::LayerNorm&) { return f16_layernorm_cycles(out.rows, out.last, false); },
          [&](const k::LayerNormMoments&) { return moments_cycles(false, inputs); },
          [&](const k::AddLayerNormMoments&) { return moments_cycles(true, inputs); },
          [&](const k::LayerNormApply& a) {
            const std::uint64_t parts = product(54, a.parts);
            if (!multiple_of(out.last, 4)) {
              return sum(558, product(out.rows, sum(product(60, ceil_div(out.last, 12)), parts, 324)));
            }
            return sum(774, product(out.rows, sum(product(72, ceil_div(out.last, 24)), parts, 402)));
          },
          [&](const k::SplitApply& a) -> std::uint64_t {
            if (a.parts < 2 || out.elements == 0) return 0;
            return sum(282, product(6, 2 * std::uint64_t{a.parts} + 9, ceil_div(out.elements, 48)));
          },
          [&](const k::Add&) {
            if (!f16_output) return sum(11, product(3, out.elements));
            // Without operands there is nothing to add from.
            if (inputs.empty()) return unaffordable;
            const std::uint64_t right = inputs.size() > 1 ? shape_elements(inputs[1].shape) : out.elements;
            return f16_add_cycles(out.elements, shape_elements(inputs[0].shape), right);
          },
          [&](const k::FlashAttention&) { return attention_cycles(inputs); },
          [&](const k::SoftmaxOutput& s) {
            return softmax_output_cycles(out.rows, s.real_keys, s.key_block,
                                         std::holds_alternative<tensor::F8F143>(output.precision()));
          },
          [&](const k::AttentionMerge& m) { return attention_merge_cycles(m, output, out.rows); },
          [&](const k::Cast& c) { return cast_kernel_cycles(c, inputs, output, out); },
          [&](const k::Repack& r) { return repack_cycles(r, output, out); },
      },
      static_cast<const mid::TileKernelSpec::variant&>(spec));
}

}  // namespace ostrand::kernel

#include "kernel/cost.hpp"

#include <algorithm>

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

}  // namespace ostrand::kernel

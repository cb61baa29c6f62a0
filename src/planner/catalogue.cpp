#include "planner/catalogue.hpp"

#include <algorithm>

#include <absl/container/flat_hash_set.h>

#include "util/check.hpp"

namespace ostrand::planner {

using mid::AccumulationPrecision;
using tensor::Amp;
using tensor::AmpOrder;
using tensor::AxisTiling;
using tensor::FromEnd;
using tensor::Layout;
using tensor::MemoryClass;
using tensor::Padding;
using tensor::Precision;
using tensor::TensorFormat;
using tensor::TensorTiling;

std::vector<std::uint16_t> candidate_active_tile_counts(std::uint16_t tile_count) {
  std::vector<std::uint16_t> counts{tile_count};
  if (tile_count == 0) return counts;
  std::uint16_t power = 1;
  while (power < (1U << 15) && 2U * power <= tile_count) power = static_cast<std::uint16_t>(power * 2);
  for (std::uint16_t c = power; c >= 1; c = static_cast<std::uint16_t>(c / 2)) {
    if (std::ranges::find(counts, c) == counts.end()) counts.push_back(c);
  }
  return counts;
}

OperatorPlan gemm_plan(const family::Gemm& family, const Layout& left, const Layout& right,
                       const Layout& output, const dispatch::Gemm& dispatch) {
  const Precision& multiply = family.multiply;
  std::vector<OperandRequirement> operands{OperandRequirement::create(TensorFormat{multiply, left}),
                                           OperandRequirement::create(TensorFormat{multiply, right})};
  operands[streamed_operand(dispatch.orientation)].streamed = true;
  const Precision output_precision =
      std::holds_alternative<tensor::F32>(multiply) ? Precision{tensor::F32{}} : Precision{tensor::F16{}};
  return OperatorPlan{
      .operands = std::move(operands),
      .output = TensorFormat{output_precision, output},
      .reusable_inputs = std::nullopt,
      .family = family,
      .dispatch = dispatch,
  };
}

namespace {

constexpr std::optional<std::uint16_t> no_stride = std::nullopt;

Precision f16() {
  return tensor::F16{};
}
Precision f32() {
  return tensor::F32{};
}

AccumulationPrecision accumulation_for(const Precision& multiply) {
  return std::holds_alternative<tensor::F32>(multiply) ? AccumulationPrecision::F32
                                                       : AccumulationPrecision::F16;
}

family::Gemm plain_gemm_family(const Precision& multiply) {
  return family::Gemm{graph::GemmOptions{}, multiply, accumulation_for(multiply)};
}

AxisTiling axis(std::uint16_t from_end, std::uint16_t partitions, std::uint32_t block, Padding padding,
                std::optional<std::uint16_t> stride = no_stride) {
  return AxisTiling::simple(FromEnd{from_end}, partitions, block, block, padding, stride);
}

// Rows split over `tiles` tiles, the inner dimension padded to whole 64-element blocks.
Layout amp_left_rows(std::uint16_t tiles) {
  return Layout{Amp{AmpOrder::Left},
                TensorTiling{tiles, 1, {axis(2, tiles, 1, Padding::Reject), axis(1, 1, 64, Padding::Zero)}},
                MemoryClass::Ipu21Standard};
}

Layout with_order(Layout layout, tensor::ElementOrder order, MemoryClass memory_class) {
  layout.order = order;
  layout.memory_class = memory_class;
  return layout;
}

TensorFormat at_f16(Layout layout) {
  return TensorFormat{f16(), std::move(layout)};
}

// A GEMM whose rows are split over all `tiles` tiles and whose weight lies in one block-major
// column panel per tile.
ConcreteOperatorCandidate row_split_gemm(const Precision& multiply, std::uint16_t tiles,
                                         std::uint32_t output_column_block, AmpOrder output_order) {
  const Layout left = amp_left_rows(tiles);
  const Layout right = Layout::block_major_matrix_storage(64, 64, tiles, 1, 1, MemoryClass::Ipu21Standard);
  const Layout output = with_order(left, Amp{output_order}, MemoryClass::Ipu21Interleaved);
  const dispatch::Gemm gemm{64, output_column_block, std::nullopt, GemmOrientation::Normal};
  return ConcreteOperatorCandidate{gemm_plan(plain_gemm_family(multiply), left, right, output, gemm),
                                   output_policy::Fixed{}};
}

// An element-wise or normalisation plan whose operands and output all lie row-sharded at F16.
ConcreteOperatorCandidate row_sharded_local(OperatorFamily family, std::size_t operand_count,
                                            std::optional<SmallVector<std::uint16_t, 2>> reusable,
                                            OutputPolicy policy, std::uint16_t tiles) {
  const TensorFormat format = at_f16(Layout::row_sharded(tiles));
  return ConcreteOperatorCandidate{
      OperatorPlan{
          .operands = std::vector<OperandRequirement>(operand_count, OperandRequirement::create(format)),
          .output = format,
          .reusable_inputs = std::move(reusable),
          .family = std::move(family),
          .dispatch = dispatch::Local{},
      },
      std::move(policy)};
}

ConcreteOperatorCandidate row_sharded_add(OutputPolicy policy, std::uint16_t tiles) {
  return row_sharded_local(family::Add{}, 2, SmallVector<std::uint16_t, 2>{0, 1}, std::move(policy), tiles);
}

ConcreteOperatorCandidate row_sharded_layer_norm(OutputPolicy policy, std::uint16_t tiles) {
  return row_sharded_local(family::LayerNorm{}, 3, std::nullopt, std::move(policy), tiles);
}

// Attention with the heads (the third axis from the end) split over the tiles.
ConcreteOperatorCandidate head_sharded_attention(std::uint16_t tiles) {
  const TensorFormat format =
      at_f16(Layout{tensor::RowMajor{}, TensorTiling{tiles, 1, {axis(3, tiles, 1, Padding::Reject)}},
                    MemoryClass::Ipu21Standard});
  const graph::AttentionOptions options{.causal = false, .scale = graph::InverseSqrtQueryWidth{}};
  return ConcreteOperatorCandidate{
      OperatorPlan{
          .operands = std::vector<OperandRequirement>(3, OperandRequirement::create(format)),
          .output = format,
          .reusable_inputs = std::nullopt,
          .family = family::FlashAttention{options, AccumulationPrecision::F32},
          .dispatch = dispatch::Local{},
      },
      output_policy::Fixed{}};
}

struct WeightStorage {
  Precision multiply;
  std::uint16_t rows = 1;
  bool interleaved = false;
};

}  // namespace

std::vector<ConcreteOperatorCandidate> drop_duplicate_candidates(
    std::vector<ConcreteOperatorCandidate> entries) {
  // The set is only looked up, never iterated, so the kept order is the input order.
  absl::flat_hash_set<ConcreteOperatorCandidate> seen;
  std::vector<ConcreteOperatorCandidate> kept;
  kept.reserve(entries.size());
  for (ConcreteOperatorCandidate& entry : entries) {
    if (seen.insert(entry).second) kept.push_back(std::move(entry));
  }
  return kept;
}

ConcreteOperatorCandidate amp_grid_gemm_operator_candidate(
    const Precision& multiply, std::uint16_t inner_block, std::uint16_t output_column_block,
    std::uint16_t tile_count, std::uint16_t row_partitions, std::uint16_t column_partitions,
    std::uint16_t weight_rows, bool weight_interleaved) {
  const std::uint16_t b = inner_block;
  const std::uint16_t u = row_partitions;
  const std::uint16_t e = column_partitions;
  const std::uint16_t t = tile_count;

  // Rows split over the row partitions, each row block replicated over the column partitions.
  const std::optional<std::uint16_t> row_stride = (u == t && e == 1) ? no_stride : std::optional(e);
  const Layout left{
      Amp{AmpOrder::Left},
      TensorTiling{t, e, {axis(2, u, 1, Padding::Reject, row_stride), axis(1, 1, b, Padding::Zero)}},
      MemoryClass::Ipu21Standard};

  Layout right;
  if (weight_rows == 1 && !weight_interleaved) {
    right = Layout{tensor::BlockMajor{tensor::BlockMajorOrder{tensor::BlockMajorKind::Matrix, b, 16}},
                   TensorTiling{t,
                                u,
                                {axis(2, 1, b, Padding::Zero),
                                 axis(1, e, output_column_block, Padding::Zero, std::uint16_t{1})}},
                   MemoryClass::Ipu21Standard};
  } else {
    OSTRAND_CHECK(weight_rows != 0, "block-major weight storage needs at least one weight row group");
    const MemoryClass memory_class =
        weight_interleaved ? MemoryClass::Ipu21Interleaved : MemoryClass::Ipu21Standard;
    right = Layout::block_major_matrix_storage(b, output_column_block, e, weight_rows,
                                               static_cast<std::uint16_t>(u / weight_rows), memory_class);
  }

  Layout output = Layout::amp_output_grid(output_column_block, t, u, e, false);
  if (!std::holds_alternative<tensor::F32>(multiply)) output.order = Amp{AmpOrder::Left};

  const dispatch::Gemm gemm{b, output_column_block, std::nullopt, GemmOrientation::Normal};
  return ConcreteOperatorCandidate{gemm_plan(plain_gemm_family(multiply), left, right, output, gemm),
                                   output_policy::Fixed{}};
}

ConcreteOperatorCandidate format_preserving_unary_candidate(const OperatorFamily& family,
                                                            const TensorFormat& format) {
  const OperatorDispatch dispatch = std::visit(
      [](const auto& f) -> OperatorDispatch {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::same_as<F, family::Gemm>) {
          return dispatch::Gemm{64, 64, std::nullopt, GemmOrientation::Normal};
        } else if constexpr (std::same_as<F, family::View> || std::same_as<F, family::Slice>) {
          return dispatch::View{};
        } else {
          return dispatch::Local{};
        }
      },
      family);
  return ConcreteOperatorCandidate{OperatorPlan{
                                       .operands = {OperandRequirement::create(format)},
                                       .output = format,
                                       .reusable_inputs = SmallVector<std::uint16_t, 2>{0},
                                       .family = family,
                                       .dispatch = dispatch,
                                   },
                                   output_policy::FollowOperand{0}};
}

std::vector<OperatorCandidate> operator_candidates_for_tile_count(std::uint16_t tile_count) {
  const std::uint16_t t = tile_count;
  std::vector<ConcreteOperatorCandidate> concrete;

  // GEMMs on every (rows x columns) grid of t tiles, the widest column split first.
  for (std::uint16_t e = t; e >= 1; --e) {
    if (t % e != 0) continue;
    const auto u = static_cast<std::uint16_t>(t / e);
    std::vector<WeightStorage> storages{{f16(), 1, false}, {f16(), 1, true}, {f32(), 1, false}};
    if (u >= 2) {
      storages.insert(storages.end(), {{f16(), u, false}, {f16(), u, true}, {f32(), u, false}});
    }
    if (u % 2 == 0 && u != 2) storages.push_back({f16(), 2, true});
    for (const WeightStorage& storage : storages) {
      const bool is_f32 = std::holds_alternative<tensor::F32>(storage.multiply);
      const std::vector<std::uint16_t> blocks =
          is_f32 ? std::vector<std::uint16_t>{64} : std::vector<std::uint16_t>{64, 128, 32};
      for (const std::uint16_t block : blocks) {
        // Narrow output blocks only pay off with a single interleaved weight row group.
        if (block < 64 && !(storage.rows == 1 && storage.interleaved)) continue;
        concrete.push_back(amp_grid_gemm_operator_candidate(storage.multiply, 64, block, t, u, e,
                                                            storage.rows, storage.interleaved));
      }
    }
  }

  // GEMMs with the rows split over all tiles.
  for (const std::uint32_t block : {64U, 128U})
    concrete.push_back(row_split_gemm(f16(), t, block, AmpOrder::Left));
  concrete.push_back(row_split_gemm(f32(), t, 64, AmpOrder::Output));

  concrete.push_back(row_sharded_add(output_policy::FollowOperand{0}, t));
  concrete.push_back(row_sharded_add(output_policy::FollowOperand{1}, t));
  concrete.push_back(row_sharded_add(output_policy::DistributeAllAxes{}, t));
  concrete.push_back(row_sharded_layer_norm(output_policy::DistributeLeadingAxes{}, t));

  concrete.push_back(row_sharded_layer_norm(output_policy::Fixed{}, t));
  concrete.push_back(format_preserving_unary_candidate(
      family::Gelu{},
      at_f16(with_order(amp_left_rows(t), Amp{AmpOrder::Left}, MemoryClass::Ipu21Interleaved))));
  concrete.push_back(format_preserving_unary_candidate(family::Gelu{}, at_f16(Layout::row_sharded(t))));
  concrete.push_back(row_sharded_add(output_policy::Fixed{}, t));
  concrete.push_back(head_sharded_attention(t));

  std::vector<OperatorCandidate> candidates;
  candidates.reserve(concrete.size() + 1);
  for (ConcreteOperatorCandidate& entry : drop_duplicate_candidates(std::move(concrete))) {
    candidates.emplace_back(std::move(entry));
  }
  candidates.emplace_back(ParallelGemmCandidate{graph::GemmOptions{}, f16(), t, AccumulationPrecision::F16});
  return candidates;
}

// --- Debug texts ------------------------------------------------------------------------------

namespace output_policy {
void debug_write(DebugWriter& w, const Fixed&) {
  w.raw("Fixed");
}
void debug_write(DebugWriter& w, const DistributeAllAxes&) {
  w.raw("DistributeAllAxes");
}
void debug_write(DebugWriter& w, const DistributeLeadingAxes&) {
  w.raw("DistributeLeadingAxes");
}
void debug_write(DebugWriter& w, const FollowOperand& v) {
  w.tuple("FollowOperand", v.operand);
}
}  // namespace output_policy

void debug_write(DebugWriter& w, const OutputPolicy& v) {
  w.variant(v);
}

void debug_write(DebugWriter& w, const ConcreteOperatorCandidate& v) {
  w.record("ConcreteOperatorCandidate").field("plan", v.plan).field("output_policy", v.output_policy);
}

void debug_write(DebugWriter& w, const ParallelGemmCandidate& v) {
  w.record("ParallelGemm")
      .field("options", v.options)
      .field("multiply", v.multiply)
      .field("tile_count", v.tile_count)
      .field("accumulate", v.accumulate);
}

void debug_write(DebugWriter& w, const OperatorCandidate& v) {
  if (const auto* concrete = std::get_if<ConcreteOperatorCandidate>(&v)) {
    w.tuple("Concrete", *concrete);
  } else {
    w.value(std::get<ParallelGemmCandidate>(v));
  }
}

}  // namespace ostrand::planner

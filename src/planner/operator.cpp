#include "planner/operator.hpp"

#include <algorithm>

#include "tensor/resolved.hpp"
#include "util/overloaded.hpp"
#include "util/saturating.hpp"

namespace ostrand::planner {

using tensor::AmpOrder;
using tensor::BlockMajorKind;
using tensor::Layout;
using tensor::ResolvedLayout;
using tensor::TensorShape;
using tensor::TensorType;

OperandRequirement OperandRequirement::create(tensor::TensorFormat format) {
  return OperandRequirement{std::move(format), LocalOperandStaging::Direct, false};
}

PlanTensorTypes OperatorPlan::tensor_types(std::span<const TensorType> inputs,
                                           const TensorShape& result_shape) const {
  PlanTensorTypes types;
  const std::size_t count = std::min(inputs.size(), operands.size());
  types.inputs.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    types.inputs.push_back(TensorType{inputs[i].shape, operands[i].format});
  types.output = TensorType{result_shape, output};
  return types;
}

bool OperatorPlan::can_reuse_input(std::uint16_t index, std::span<const TensorType> inputs,
                                   const TensorShape& result_shape) const {
  if (index >= inputs.size() || index >= operands.size()) return false;
  return inputs[index].shape == result_shape && operands[index].format == output;
}

namespace {

std::uint16_t tile_count(const tensor::TensorFormat& format) {
  return format.layout.tiling.tile_count;
}

bool every_operand_on_output_tiles(const OperatorPlan& plan) {
  return std::ranges::all_of(plan.operands, [&](const OperandRequirement& operand) {
    return tile_count(operand.format) == tile_count(plan.output);
  });
}

bool is_amp(const tensor::ElementOrder& order, AmpOrder expected) {
  const auto* amp = std::get_if<tensor::Amp>(&order);
  return amp != nullptr && amp->order == expected;
}

bool is_block_major(const tensor::ElementOrder& order, BlockMajorKind expected) {
  const auto* block = std::get_if<tensor::BlockMajor>(&order);
  return block != nullptr && block->order.kind == expected;
}

// The AMP order with the given numeric value (Left 0 ... TransposedOutput 4).
AmpOrder amp_order_value(std::size_t value) {
  return static_cast<AmpOrder>(value);
}

// The partitions of the first axis tiling of `type` that resolves to `axis`, or nothing.
std::optional<std::uint16_t> axis_partitions(const TensorType& type, std::size_t axis) {
  const auto tiling = tensor::axis_tiling(type, axis);
  if (!tiling) return std::nullopt;
  return tiling->partitions;
}

// The partitions of the axis tiling of `tiling` that names the axis FromEnd(`from_end`), or nothing.
// Only that spelling counts: a tiling naming the same axis from the start does not.
std::optional<std::uint16_t> from_end_partitions(const tensor::TensorTiling& tiling, std::uint16_t from_end) {
  for (const tensor::AxisTiling& a : tiling.axes) {
    if (a.axis == tensor::TensorAxis{tensor::FromEnd{from_end}}) return a.partitions;
  }
  return std::nullopt;
}

// The operand's and the output's resolved layouts, in operand order and then the output.
struct Resolved {
  std::vector<ResolvedLayout> operands;
  ResolvedLayout output;
};

// The output order of a GEMM plan: Amp with the orientation's AMP order (also the output order of
// that orientation for F32 products), or, for F16 products, a GEMM output group stored transposed
// relative to the streamed operand.
bool gemm_output_order_supported(const tensor::ElementOrder& order, const tensor::Precision& multiply,
                                 std::size_t o) {
  if (std::holds_alternative<tensor::Amp>(order)) {
    if (is_amp(order, amp_order_value(o))) return true;
    return std::holds_alternative<tensor::F32>(multiply) && is_amp(order, amp_order_value(o + 3));
  }
  if (!std::holds_alternative<tensor::F16>(multiply) || !order.gemm_output_group()) return false;
  return is_block_major(order, o == 0 ? BlockMajorKind::TransposedMatrix : BlockMajorKind::Matrix);
}

bool gemm_supported(const OperatorPlan& plan, const family::Gemm& family, const dispatch::Gemm& gemm,
                    std::span<const TensorType> inputs, const TensorShape& output_shape,
                    const Resolved& resolved) {
  // Two matrices (with optional batch axes) and no transposes.
  if (inputs.size() != 2 || inputs[0].shape.rank() < 2 || inputs[1].shape.rank() < 2 ||
      output_shape.rank() < 2) {
    return false;
  }
  if (gemm.inner_block == 0 || gemm.output_column_block == 0) return false;
  if (family.options.transpose_left || family.options.transpose_right) return false;

  const std::size_t o = orientation_value(gemm.orientation);
  const std::size_t left = o;
  const std::size_t weight = 1 - o;
  const OperandRequirement& left_requirement = plan.operands[left];
  const OperandRequirement& weight_requirement = plan.operands[weight];

  if (!gemm.distribution && tile_count(plan.operands[0].format) != tile_count(plan.output)) return false;

  if (!is_amp(left_requirement.format.layout.order, amp_order_value(o))) return false;
  if (!is_block_major(weight_requirement.format.layout.order, static_cast<BlockMajorKind>(o))) return false;
  if (!gemm_output_order_supported(plan.output.layout.order, family.multiply, o)) return false;

  const std::size_t out_rank = output_shape.rank();
  const std::size_t column_axis = out_rank - 1 - o;

  if (const auto& d = gemm.distribution) {
    if (d->row_partitions == 0 || d->column_partitions == 0 || d->result_row_partitions == 0 ||
        d->result_column_partitions == 0) {
      return false;
    }
    const auto result_groups =
        sat_mul_as<std::uint16_t>(d->result_row_partitions, d->result_column_partitions);
    if (d->inner_partitions < 2 || d->inner_partitions < result_groups) return false;
    const auto rows = sat_mul_as<std::uint16_t>(d->row_partitions, d->result_row_partitions);
    const auto columns = sat_mul_as<std::uint16_t>(d->column_partitions, d->result_column_partitions);
    if (tile_count(plan.output) != sat_mul_as<std::uint16_t>(rows, columns)) return false;
    const auto& output_tiling = plan.output.layout.tiling;
    if (from_end_partitions(output_tiling, static_cast<std::uint16_t>(2 - o)) != rows) return false;
    if (from_end_partitions(output_tiling, static_cast<std::uint16_t>(1 + o)) != columns) return false;
  }

  // Shape checks on the resolved layouts. Linear layouts have no per-axis shards to check.
  const ResolvedLayout& left_layout = resolved.operands[left];
  const ResolvedLayout& weight_layout = resolved.operands[weight];
  const ResolvedLayout& out_layout = resolved.output;
  const std::size_t left_rank = inputs[left].shape.rank();
  const std::size_t weight_rank = inputs[weight].shape.rank();
  if (left_layout.axes.size() != left_rank || weight_layout.axes.size() != weight_rank ||
      out_layout.axes.size() != out_rank) {
    return false;
  }

  const std::uint32_t column_multiple = gemm.distribution ? 16 : gemm.output_column_block;
  const bool replicated = std::ranges::any_of(
      plan.operands, [](const OperandRequirement& r) { return r.format.layout.tiling.replicas > 1; });
  const TensorType weight_type{inputs[weight].shape, weight_requirement.format};
  const bool weight_rows_split = axis_partitions(weight_type, weight_rank - 2).value_or(1) > 1;
  if (replicated || weight_rows_split) {
    if (std::ranges::any_of(resolved.operands,
                            [](const ResolvedLayout& r) { return r.has_empty_shards(); })) {
      return false;
    }
  }

  const std::size_t left_inner_axis = left_rank - 1 - o;
  if (left_layout.padded_shape[left_inner_axis] % gemm.inner_block != 0) return false;
  if (out_layout.padded_shape[column_axis] % column_multiple != 0) return false;

  const tensor::ResolvedAxis& weight_columns = weight_layout.axes[weight_rank - 1 - o];
  const std::uint32_t weight_width =
      gemm.distribution ? weight_columns.maximum_extent() : weight_columns.minimum_extent();
  if (weight_width < gemm.output_column_block) return false;

  const std::uint32_t output_width = out_layout.axes[column_axis].maximum_extent();
  if (gemm.distribution && output_width > gemm.output_column_block) return false;
  return output_width % column_multiple == 0;
}

bool attention_supported(const OperatorPlan& plan, const dispatch::Attention& attention,
                         std::span<const TensorType> inputs) {
  const auto* family = std::get_if<family::FlashAttention>(&plan.family);
  if (family == nullptr || family->options.causal || family->accumulate != mid::AccumulationPrecision::F32) {
    return false;
  }
  if (inputs.size() != 3) return false;
  if (attention.key_block == 0 || attention.key_block % 64 != 0) return false;
  if (attention.key_block != 64 && !attention.single_key_block) return false;
  if (attention.query_width == 0 || attention.value_width == 0) return false;

  const tensor::TensorFormat& query = plan.operands[0].format;
  const tensor::TensorFormat& key = plan.operands[1].format;
  const tensor::TensorFormat& value = plan.operands[2].format;
  if (!is_amp(query.layout.order, AmpOrder::Left) || !is_amp(key.layout.order, AmpOrder::TransposedRight) ||
      !is_block_major(value.layout.order, BlockMajorKind::Matrix) ||
      !std::holds_alternative<tensor::RowMajor>(plan.output.layout.order)) {
    return false;
  }
  return tile_count(query) == tile_count(plan.output) && tile_count(key) == tile_count(value);
}

bool view_supported(const OperatorPlan& plan, std::span<const TensorType> inputs,
                    const TensorShape& output_shape) {
  if (inputs.size() != 1) return false;
  const std::optional<TensorShape> shape =
      std::visit(Overloaded{
                     [&](const family::View& v) { return v.view.output_shape(inputs[0].shape); },
                     [&](const family::Slice& s) { return s.slice.output_shape(inputs[0].shape); },
                     [](const auto&) -> std::optional<TensorShape> { return std::nullopt; },
                 },
                 plan.family);
  return shape == output_shape && plan.operands[0].format.precision == plan.output.precision;
}

}  // namespace

bool OperatorPlan::supports(std::span<const TensorType> inputs, const TensorShape& output_shape) const {
  if (inputs.size() != operands.size()) return false;

  if (reusable_inputs) {
    const bool any = std::ranges::any_of(
        *reusable_inputs, [&](std::uint16_t index) { return can_reuse_input(index, inputs, output_shape); });
    if (!any) return false;
  }

  Resolved resolved;
  resolved.operands.reserve(operands.size());
  for (std::size_t i = 0; i < operands.size(); ++i) {
    auto layout = operands[i].format.layout.resolve(inputs[i].shape);
    if (!layout) return false;
    resolved.operands.push_back(std::move(*layout));
  }
  auto output_layout = output.layout.resolve(output_shape);
  if (!output_layout) return false;
  resolved.output = std::move(*output_layout);

  if (!std::holds_alternative<dispatch::Local>(dispatch) && resolved.output.has_empty_shards()) return false;

  return std::visit(
      Overloaded{
          [&](const dispatch::Gemm& gemm) {
            const auto* gemm_family = std::get_if<family::Gemm>(&family);
            return gemm_family != nullptr &&
                   gemm_supported(*this, *gemm_family, gemm, inputs, output_shape, resolved);
          },
          [&](const dispatch::RowGroups&) {
            return std::holds_alternative<family::LayerNorm>(family) && every_operand_on_output_tiles(*this);
          },
          [&](const dispatch::Local&) {
            const bool local_family = std::holds_alternative<family::Gelu>(family) ||
                                      std::holds_alternative<family::LayerNorm>(family) ||
                                      std::holds_alternative<family::Add>(family) ||
                                      std::holds_alternative<family::FlashAttention>(family);
            return local_family && every_operand_on_output_tiles(*this);
          },
          [&](const dispatch::Attention& attention) { return attention_supported(*this, attention, inputs); },
          [&](const dispatch::View&) { return view_supported(*this, inputs, output_shape); },
      },
      dispatch);
}

TensorType gemm_partial_tensor(const OperatorDispatch& dispatch, const TensorType& output) {
  const auto* gemm = std::get_if<dispatch::Gemm>(&dispatch);
  if (gemm == nullptr || !gemm->distribution) return output;
  const GemmDistribution& d = *gemm->distribution;
  const Layout& out = output.format.layout;

  const std::uint32_t block = gemm->output_column_block;
  const auto tiles = sat_mul_as<std::uint16_t>(d.row_partitions, d.column_partitions);
  Layout partial;
  std::size_t column_axis_from_end = 1;
  if (gemm->orientation == GemmOrientation::Normal) {
    partial = is_amp(out.order, AmpOrder::Left)
                  ? Layout::amp_left_result_grid(block, tiles, d.row_partitions, d.column_partitions, false)
                  : Layout::amp_output_grid(block, tiles, d.row_partitions, d.column_partitions, false);
  } else {
    column_axis_from_end = 2;
    partial =
        is_amp(out.order, AmpOrder::TransposedLeft)
            ? Layout::amp_transposed_left_result_grid(block, tiles, d.row_partitions, d.column_partitions,
                                                      false)
            : Layout::amp_transposed_output_grid(block, tiles, d.row_partitions, d.column_partitions, false);
  }
  if (out.order.gemm_output_group()) partial.order = out.order;

  // The column axis keeps the output's blocking so that the partials line up with the result.
  const std::size_t rank = output.shape.rank();
  if (rank >= column_axis_from_end) {
    const std::size_t column_axis = rank - column_axis_from_end;
    const auto output_columns = tensor::axis_tiling(output, column_axis);
    if (output_columns) {
      for (tensor::AxisTiling& axis : partial.tiling.axes) {
        if (tensor::resolve_axis(axis.axis, rank) != column_axis) continue;
        axis.block_size = output_columns->block_size;
        axis.padding_multiple = output_columns->padding_multiple;
        if (axis.partitions == output_columns->partitions) {
          axis.shard_padding_multiple = output_columns->shard_padding_multiple;
        }
        break;
      }
    }
  }
  return TensorType{output.shape, tensor::TensorFormat{output.format.precision, std::move(partial)}};
}

// --- Debug texts ------------------------------------------------------------------------------

namespace family {
void debug_write(DebugWriter& w, const Gemm& v) {
  w.record("Gemm")
      .field("options", v.options)
      .field("multiply", v.multiply)
      .field("accumulate", v.accumulate);
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
  w.record("FlashAttention").field("options", v.options).field("accumulate", v.accumulate);
}
}  // namespace family

namespace dispatch {
void debug_write(DebugWriter& w, const RowGroups& v) {
  w.record("RowGroups").field("groups", v.groups);
}
void debug_write(DebugWriter& w, const Local&) {
  w.raw("Local");
}
void debug_write(DebugWriter& w, const Gemm& v) {
  w.record("Gemm")
      .field("inner_block", v.inner_block)
      .field("output_column_block", v.output_column_block)
      .field("distribution", v.distribution)
      .field("orientation", v.orientation);
}
void debug_write(DebugWriter& w, const Attention& v) {
  w.record("Attention")
      .field("score_grid", v.score_grid)
      .field("value_grid", v.value_grid)
      .field("score_exponent", v.score_exponent)
      .field("value_exponent", v.value_exponent)
      .field("key_block", v.key_block)
      .field("query_width", v.query_width)
      .field("value_width", v.value_width)
      .field("single_key_block", v.single_key_block);
}
void debug_write(DebugWriter& w, const View&) {
  w.raw("View");
}
}  // namespace dispatch

void debug_write(DebugWriter& w, LocalOperandStaging v) {
  switch (v) {
    case LocalOperandStaging::Direct:
      w.raw("Direct");
      return;
    case LocalOperandStaging::MatchRemote:
      w.raw("MatchRemote");
      return;
  }
}

void debug_write(DebugWriter& w, GemmOrientation v) {
  switch (v) {
    case GemmOrientation::Normal:
      w.raw("Normal");
      return;
    case GemmOrientation::Swapped:
      w.raw("Swapped");
      return;
  }
}

void debug_write(DebugWriter& w, const OperandRequirement& v) {
  w.record("OperandRequirement")
      .field("format", v.format)
      .field("staging", v.staging)
      .field("streamed", v.streamed);
}

void debug_write(DebugWriter& w, const OperatorFamily& v) {
  w.variant(v);
}

void debug_write(DebugWriter& w, const GemmDistribution& v) {
  w.record("GemmDistribution")
      .field("reduction_staging", v.reduction_staging)
      .field("row_partitions", v.row_partitions)
      .field("column_partitions", v.column_partitions)
      .field("inner_partitions", v.inner_partitions)
      .field("result_row_partitions", v.result_row_partitions)
      .field("result_column_partitions", v.result_column_partitions);
}

void debug_write(DebugWriter& w, const ProductGrid& v) {
  w.record("ProductGrid")
      .field("row_partitions", v.row_partitions)
      .field("column_partitions", v.column_partitions)
      .field("inner_partitions", v.inner_partitions);
}

void debug_write(DebugWriter& w, const OperatorDispatch& v) {
  w.variant(v);
}

void debug_write(DebugWriter& w, const OperatorPlan& v) {
  w.record("OperatorPlan")
      .field("operands", v.operands)
      .field("output", v.output)
      .field("reusable_inputs", v.reusable_inputs)
      .field("family", v.family)
      .field("dispatch", v.dispatch);
}

void debug_write(DebugWriter& w, const PlanTensorTypes& v) {
  w.record("PlanTensorTypes").field("inputs", v.inputs).field("output", v.output);
}

}  // namespace ostrand::planner

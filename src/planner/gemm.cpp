#include "planner/gemm.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "tensor/resolved.hpp"
#include "util/saturating.hpp"

namespace ostrand::planner {

using tensor::AxisTiling;
using tensor::TensorTiling;
using tensor::TensorType;

namespace {

std::uint16_t axis_index(std::size_t axis) {
  return static_cast<std::uint16_t>(axis);
}

// The first tiling entry of `tiling` that names axis `axis` of a tensor of `rank`.
const AxisTiling* entry_for(const TensorTiling& tiling, std::size_t axis, std::size_t rank) {
  for (const AxisTiling& entry : tiling.axes) {
    if (tensor::resolve_axis(entry.axis, rank) == axis) return &entry;
  }
  return nullptr;
}
AxisTiling* entry_for(TensorTiling& tiling, std::size_t axis, std::size_t rank) {
  return const_cast<AxisTiling*>(entry_for(std::as_const(tiling), axis, rank));
}

// `entry` with another axis and tile stride, every other parameter kept.
AxisTiling moved(AxisTiling entry, std::size_t axis, std::optional<std::uint16_t> stride) {
  entry.axis = tensor::FromStart{axis_index(axis)};
  entry.tile_stride = stride;
  return entry;
}

// The axes of one GEMM: which inputs play left and right, and which axis of each operand is
// contracted, follows the output's rows or follows its columns.
struct GemmAxes {
  std::size_t o = 0;  // 0 for Normal, 1 for Swapped
  MidValueId left;
  MidValueId right;
  std::size_t left_rank = 0;
  std::size_t right_rank = 0;
  std::size_t rank = 0;
  std::size_t left_inner = 0;     // kL
  std::size_t left_rows = 0;      // the left operand's other matrix axis
  std::size_t right_inner = 0;    // kR
  std::size_t right_columns = 0;  // the right operand's other matrix axis
  std::size_t output_rows = 0;    // follows the left operand's rows
  std::size_t output_columns = 0;
};

std::optional<GemmAxes> gemm_axes(const FragmentBuilder& builder, GemmOrientation orientation,
                                  const TensorType& output) {
  GemmAxes a;
  a.o = orientation_value(orientation);
  a.left = MidValueId{static_cast<std::uint32_t>(a.o)};
  a.right = MidValueId{static_cast<std::uint32_t>(1 - a.o)};
  a.left_rank = builder.type(a.left).shape.rank();
  a.right_rank = builder.type(a.right).shape.rank();
  a.rank = output.shape.rank();
  if (a.left_rank < 2 || a.right_rank < 2 || a.rank < 2) return std::nullopt;
  a.left_inner = a.left_rank - 1 - a.o;
  a.left_rows = a.left_rank - 2 + a.o;
  a.right_inner = a.right_rank - 2 + a.o;
  a.right_columns = a.right_rank - 1 - a.o;
  a.output_rows = a.rank - 2 + a.o;
  a.output_columns = a.rank - 1 - a.o;
  return a;
}

mid::Product product_template(const GemmAxes& a, const family::Gemm& family, const dispatch::Gemm& dispatch) {
  return mid::Product{.left = {},
                      .right = {},
                      .aliases = {},
                      .inner_limit = std::nullopt,
                      .column_limit = std::nullopt,
                      .left_axis = tensor::FromStart{axis_index(a.left_inner)},
                      .right_axis = tensor::FromStart{axis_index(a.right_inner)},
                      .output_axis = tensor::FromEnd{axis_index(1 + a.o)},
                      .inner_block = dispatch.inner_block,
                      .output_column_block = dispatch.output_column_block,
                      .multiply = family.multiply,
                      .accumulate = family.accumulate,
                      .accumulate_into_output = false};
}

bool multiplies_f16(const family::Gemm& family) {
  return std::holds_alternative<tensor::F16>(family.multiply);
}

// Split reduction: every tile multiplies one slice of the contracted dimension into a partial
// product with a leading inner-partition axis; the partials are then summed over that axis.
std::optional<MidValueId> split_reduction(FragmentBuilder& builder, const OperatorPlan& plan,
                                          const family::Gemm& family, const dispatch::Gemm& dispatch,
                                          const GemmDistribution& distribution, const GemmAxes& a,
                                          const TensorType& left_target, const TensorType& output) {
  const std::uint16_t p_row = distribution.row_partitions;
  const std::uint16_t p_col = distribution.column_partitions;
  const std::uint16_t p_in = distribution.inner_partitions;

  const MidValueId left = builder.materialize("left", a.left, left_target, {}, true);

  TensorType partial = gemm_partial_tensor(OperatorDispatch{dispatch}, output);
  TensorTiling& p_tiling = partial.format.layout.tiling;
  const TensorTiling& l_tiling = left_target.format.layout.tiling;
  {
    AxisTiling* rows = entry_for(p_tiling, a.output_rows, a.rank);
    const AxisTiling* left_rows = entry_for(l_tiling, a.left_rows, a.left_rank);
    if (rows == nullptr || left_rows == nullptr) return std::nullopt;
    *rows = moved(*left_rows, a.output_rows, left_rows->tile_stride);
  }

  const auto grid = checked_mul<std::uint16_t>(p_row, p_col);
  const auto tiles = grid ? checked_mul<std::uint16_t>(*grid, p_in) : std::nullopt;
  const AxisTiling* left_inner = entry_for(l_tiling, a.left_inner, a.left_rank);
  const AxisTiling* columns = entry_for(p_tiling, a.output_columns, a.rank);
  if (!tiles || left_inner == nullptr || columns == nullptr) return std::nullopt;

  // The weight: its columns on the partial's column partitions, its contracted rows on the inner
  // partitions, replicated over the row partitions.
  const OperandRequirement& weight = plan.operands[1 - a.o];
  TensorType right_target{builder.type(a.right).shape, weight.format};
  right_target.format.layout.memory_class =
      multiplies_f16(family) ? tensor::MemoryClass::Ipu21Interleaved : weight.format.layout.memory_class;
  right_target.format.layout.tiling = TensorTiling{
      *tiles, p_row, {moved(*columns, a.right_columns, 1), moved(*left_inner, a.right_inner, p_col)}};
  const MidValueId right =
      builder.materialize("right", a.right, right_target, {}, weight.staging == LocalOperandStaging::Direct);

  // The partials: the partial type with a leading axis of the inner partitions. The tiles are
  // ordered column partition fastest, then inner partition, then row partition, so the grid has
  // p_row x p_col x p_in tiles.
  TensorType partials = partial;
  partials.shape.extents.insert(partials.shape.extents.begin(), p_in);
  TensorTiling& q_tiling = partials.format.layout.tiling;
  const auto row_stride = checked_mul<std::uint16_t>(p_col, p_in);
  for (AxisTiling& entry : q_tiling.axes) {
    if (std::holds_alternative<tensor::Linear>(entry.axis)) return std::nullopt;
    const auto axis = tensor::resolve_axis(entry.axis, a.rank);
    if (!axis) return std::nullopt;
    const bool rows = *axis == a.output_rows;
    if (rows && !row_stride) return std::nullopt;
    entry = moved(entry, *axis + 1, rows ? *row_stride : std::uint16_t{1});
  }
  q_tiling.axes.push_back(AxisTiling{.axis = tensor::FromStart{0},
                                     .partitions = p_in,
                                     .padding_groups = 1,
                                     .block_size = 1,
                                     .padding_multiple = 1,
                                     .shard_padding_multiple = 1,
                                     .padding = tensor::Padding::Reject,
                                     .tile_stride = p_col});
  q_tiling.tile_count = *tiles;
  q_tiling.replicas = p_tiling.replicas;

  const ComputeOutput out{partials, std::nullopt};
  const MidValueId q = builder
                           .compute("partials", {left, right}, std::span<const ComputeOutput>(&out, 1),
                                    mid::Compute{product_template(a, family, dispatch)})
                           .front();
  return builder
      .emit("reduce", {q}, output,
            mid::MidOperationKind{
                mid::Compute{mid::Reduce{.staging = distribution.reduction_staging, .axis = 0}}})
      .front();
}

}  // namespace

std::optional<TensorTiling> project_grid(const TensorType& output, std::size_t output_axis,
                                         std::size_t operand_axis, std::size_t operand_rank) {
  const TensorTiling& tiling = output.format.layout.tiling;
  const auto strides = tiling.axis_strides();
  if (!strides) return std::nullopt;
  const std::size_t rank = output.shape.rank();
  TensorTiling projected{tiling.tile_count, tiling.replicas, {}};
  for (std::size_t k = 0; k < tiling.axes.size(); ++k) {
    const AxisTiling& entry = tiling.axes[k];
    // The output axis the entry counts to. One counted past the last axis (FromStart rank or more,
    // FromEnd 0) names no operand axis and only replicates; one counted before the first cannot be
    // placed at all.
    std::optional<std::size_t> m;
    if (const auto* from_start = std::get_if<tensor::FromStart>(&entry.axis)) {
      m = from_start->index;
    } else if (const auto* from_end = std::get_if<tensor::FromEnd>(&entry.axis)) {
      if (from_end->index <= rank) m = rank - from_end->index;
    }
    if (!m) return std::nullopt;
    std::optional<std::size_t> target;
    if (*m == output_axis) {
      target = operand_axis;
    } else if (rank >= 2 && *m < rank - 2 && operand_rank >= rank - *m) {
      target = operand_rank - (rank - *m);
    }
    if (!target) {
      const auto replicas = checked_mul<std::uint16_t>(projected.replicas, entry.partitions);
      if (!replicas) return std::nullopt;
      projected.replicas = *replicas;
      continue;
    }
    const auto index = narrow<std::uint16_t>(*target);
    const auto stride = narrow<std::uint16_t>((*strides)[k]);
    if (!index || !stride) return std::nullopt;
    projected.axes.push_back(moved(entry, *index, *stride));
  }
  return projected;
}

namespace {

// The operands' tilings on the output grid, each with its contracted-axis entry.
struct GridTilings {
  TensorTiling left;
  TensorTiling right;
};

std::optional<GridTilings> grid_tilings(const GemmAxes& a, const TensorType& left_target,
                                        const TensorType& right_target, const TensorType& output) {
  auto left = project_grid(output, a.output_rows, a.left_rows, a.left_rank);
  auto right = project_grid(output, a.output_columns, a.right_columns, a.right_rank);
  if (!left || !right) return std::nullopt;
  if (const AxisTiling* e = entry_for(left_target.format.layout.tiling, a.left_inner, a.left_rank)) {
    left->axes.push_back(*e);
  }
  if (const AxisTiling* e = entry_for(right_target.format.layout.tiling, a.right_inner, a.right_rank)) {
    right->axes.push_back(*e);
  }
  return GridTilings{std::move(*left), std::move(*right)};
}

// Whether `value` already lies on `tiling` in the element order `order`.
bool on_grid(const TensorType& value, const TensorTiling& tiling, const tensor::ElementOrder& order) {
  TensorType retiled = value;
  retiled.format.layout.tiling = tiling;
  return tensor::same_distribution(value, retiled) && value.format.layout.order == order;
}

// One chunk type of the blocked product: `grid` without its contracted-axis entries, plus one
// entry cutting the contracted axis into blocks of `block`.
TensorTiling chunk_tiling(TensorTiling grid, std::size_t inner, std::size_t rank, std::uint32_t block) {
  const auto contracted = [&](const AxisTiling& entry) {
    return tensor::resolve_axis(entry.axis, rank) == inner;
  };
  grid.axes.erase(std::remove_if(grid.axes.begin(), grid.axes.end(), contracted), grid.axes.end());
  grid.axes.push_back(AxisTiling{.axis = tensor::FromStart{axis_index(inner)},
                                 .partitions = 1,
                                 .padding_groups = 1,
                                 .block_size = block,
                                 .padding_multiple = block,
                                 .shard_padding_multiple = 1,
                                 .padding = tensor::Padding::Zero,
                                 .tile_stride = std::nullopt});
  return grid;
}

}  // namespace

std::optional<MidValueId> lower_gemm(FragmentBuilder& builder, const OperatorPlan& plan,
                                     const family::Gemm& family, const dispatch::Gemm& dispatch,
                                     const TensorType& output) {
  if (builder.program().inputs.size() < 2 || plan.operands.size() < 2) return std::nullopt;
  const auto axes = gemm_axes(builder, dispatch.orientation, output);
  if (!axes) return std::nullopt;
  const GemmAxes& a = *axes;
  const TensorType left_target{builder.type(a.left).shape, plan.operands[a.o].format};
  const TensorType right_target{builder.type(a.right).shape, plan.operands[1 - a.o].format};

  if (dispatch.distribution) {
    return split_reduction(builder, plan, family, dispatch, *dispatch.distribution, a, left_target, output);
  }

  const auto grids = grid_tilings(a, left_target, right_target, output);
  if (!grids) return std::nullopt;
  const mid::Product product = product_template(a, family, dispatch);

  // Both operands already on the output grid: one product.
  if (on_grid(builder.type(a.left), grids->left, left_target.format.layout.order) &&
      on_grid(builder.type(a.right), grids->right, right_target.format.layout.order)) {
    const ComputeOutput out{output, std::nullopt};
    return builder
        .compute("product", {a.left, a.right}, std::span<const ComputeOutput>(&out, 1), mid::Compute{product})
        .front();
  }

  // Otherwise accumulate block by block over the contracted dimension.
  const std::uint32_t block = dispatch.inner_block;
  const std::uint32_t inner = builder.type(a.left).shape[a.left_inner];
  if (block == 0 || inner == 0) return std::nullopt;
  TensorType left_chunk{builder.type(a.left).shape, left_target.format};
  left_chunk.format.layout.tiling = chunk_tiling(grids->left, a.left_inner, a.left_rank, block);
  TensorType right_chunk{builder.type(a.right).shape, right_target.format};
  right_chunk.format.layout.tiling = chunk_tiling(grids->right, a.right_inner, a.right_rank, block);
  if (multiplies_f16(family)) right_chunk.format.layout.memory_class = tensor::MemoryClass::Ipu21Interleaved;

  std::optional<MidValueId> y;
  for (std::uint64_t next = 0; next < inner; next += block) {
    const auto start = static_cast<std::uint32_t>(next);
    const std::uint32_t width = std::min(block, inner - start);
    TensorType l = left_chunk;
    l.shape.extents[a.left_inner] = width;
    std::vector<std::uint32_t> l_offsets(a.left_rank, 0);
    l_offsets[a.left_inner] = start;
    const MidValueId lc =
        builder.materialize(mid::LocalSite("left").at(start), a.left, l, std::move(l_offsets), true);

    TensorType r = right_chunk;
    r.shape.extents[a.right_inner] = width;
    std::vector<std::uint32_t> r_offsets(a.right_rank, 0);
    r_offsets[a.right_inner] = start;
    const MidValueId rc =
        builder.materialize(mid::LocalSite("right").at(start), a.right, r, std::move(r_offsets), true);

    mid::Product step = product;
    step.accumulate_into_output = y.has_value();
    const ComputeOutput out{output, y};
    y = builder
            .compute(mid::LocalSite("product").at(start), {lc, rc}, std::span<const ComputeOutput>(&out, 1),
                     mid::Compute{std::move(step)})
            .front();
  }
  return y;
}

}  // namespace ostrand::planner

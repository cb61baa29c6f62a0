#include "tensor/resolved.hpp"

#include <algorithm>
#include <limits>

#include "util/check.hpp"
#include "util/saturating.hpp"

namespace ostrand::tensor {

namespace {

using Strides = SmallVector<std::uint32_t, 3>;

constexpr std::uint64_t max_u32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t max_u16 = std::numeric_limits<std::uint16_t>::max();

// A single axis tiling over the Linear axis: the tensor is one flat row-major run cut in blocks.
bool is_linear(const TensorTiling& tiling) {
  return tiling.axes.size() == 1 && std::holds_alternative<Linear>(tiling.axes.front().axis);
}

// What checking a layout against a shape establishes: the padded extents and, for a non-linear
// layout, the stride of every axis tiling.
struct CheckedLayout {
  graph::Extents padded;
  Strides strides;
  bool linear = false;
};

std::expected<void, LayoutError> check_linear(const TensorTiling& tiling, const TensorShape& shape) {
  const auto invalid = std::unexpected(layout_error::InvalidAxisTiling{});
  if (shape.rank() == 0) return invalid;
  std::uint64_t elements = 1;
  for (const std::uint32_t extent : shape) {
    // A tensor too large to count cannot be cut into blocks either.
    const auto product = checked_mul<std::uint64_t>(elements, extent);
    if (!product) return invalid;
    elements = *product;
  }
  const std::uint32_t block = tiling.axes.front().block_size;
  if (block == 0 || elements % block != 0 || elements / block < tiling.tile_count) return invalid;
  return {};
}

// Counts the tiles of every grid cell (one cell per combination of partitions) and requires each
// cell to be held by exactly `replicas` tiles.
std::expected<void, LayoutError> check_tile_mapping(const TensorTiling& tiling,
                                                    std::span<const std::uint32_t> strides) {
  const std::size_t cells = tiling.tile_count / tiling.replicas;
  std::vector<std::uint16_t> counters(cells, 0);
  for (std::uint32_t t = 0; t < tiling.tile_count; ++t) {
    std::uint64_t index = 0;
    for (std::size_t k = 0; k < strides.size(); ++k) {
      const std::uint16_t partitions = tiling.axes[k].partitions;
      const auto scaled = checked_mul<std::uint64_t>(index, partitions);
      const auto next =
          scaled ? checked_add<std::uint64_t>(*scaled, (t / strides[k]) % partitions) : std::nullopt;
      if (!next) return std::unexpected(layout_error::TileCountOverflow{});
      index = *next;
    }
    // The product of all partitions is tile_count / replicas, checked before the strides.
    OSTRAND_CHECK(index < cells, "grid cell outside the partition grid");
    if (counters[index] == max_u16) return std::unexpected(layout_error::TileCountOverflow{});
    ++counters[index];
  }
  if (std::ranges::any_of(counters, [&](std::uint16_t c) { return c != tiling.replicas; })) {
    return std::unexpected(layout_error::InconsistentTileStrides{});
  }
  return {};
}

// Every check of a layout against a shape, in order; the first failure returns.
std::expected<CheckedLayout, LayoutError> check_layout(const TensorTiling& tiling, const TensorShape& shape) {
  using namespace layout_error;
  if (tiling.tile_count == 0 || tiling.replicas == 0) return std::unexpected(EmptyTileGroup{});
  if (is_linear(tiling)) {
    if (auto linear = check_linear(tiling, shape); !linear) return std::unexpected(linear.error());
    return CheckedLayout{shape.extents, {}, true};
  }

  CheckedLayout checked{shape.extents, {}, false};
  const std::size_t rank = shape.rank();
  std::uint32_t implied = tiling.replicas;
  SmallVector<std::size_t, 4> seen;
  for (const AxisTiling& a : tiling.axes) {
    if (a.partitions == 0 || a.padding_groups == 0 || a.block_size == 0 || a.padding_multiple == 0 ||
        a.shard_padding_multiple == 0) {
      return std::unexpected(InvalidAxisTiling{});
    }
    const auto product = checked_mul<std::uint32_t>(implied, a.partitions);
    if (!product) return std::unexpected(TileCountOverflow{});
    implied = *product;
    const auto axis = resolve_axis(a.axis, rank);
    if (!axis) return std::unexpected(AxisOutsideRank{a.axis, rank});
    if (std::ranges::find(seen, *axis) != seen.end()) return std::unexpected(AxisTiledTwice{*axis});
    seen.push_back(*axis);

    const std::uint32_t extent = shape[*axis];
    const std::uint16_t groups = a.padding_groups;
    if (a.partitions % groups != 0 || extent % groups != 0) {
      return std::unexpected(IndivisibleAxisExtent{groups, a.partitions, extent});
    }
    std::uint32_t group_extent = extent / groups;
    if (group_extent % a.padding_multiple != 0) {
      if (a.padding == Padding::Reject) {
        return std::unexpected(ExtentNotDivisible{*axis, group_extent, a.padding_multiple});
      }
      const auto rounded = narrow<std::uint32_t>(round_up(group_extent, a.padding_multiple));
      const auto padded = rounded ? checked_mul<std::uint32_t>(*rounded, groups) : std::nullopt;
      if (!padded) return std::unexpected(PaddedExtentOverflow{*axis});
      group_extent = *rounded;
      checked.padded[*axis] = *padded;
    }
    if (group_extent % a.block_size != 0) {
      return std::unexpected(ExtentNotDivisible{*axis, group_extent, a.block_size});
    }
  }
  if (implied != tiling.tile_count) return std::unexpected(TileCountMismatch{tiling.tile_count, implied});

  OSTRAND_TRY(checked.strides, tiling.axis_strides());
  if (!has_regular_tile_mapping(tiling, checked.strides)) {
    if (auto mapping = check_tile_mapping(tiling, checked.strides); !mapping) {
      return std::unexpected(mapping.error());
    }
  }
  return checked;
}

// The shards of one axis of a checked non-linear layout, computed on demand: a tiled axis has one
// shard per partition, an untiled axis one shard over the whole extent.
class AxisShards {
 public:
  std::uint32_t stride = 1;
  std::uint32_t count = 1;

  [[nodiscard]] std::expected<ShardExtent, LayoutError> shard(std::uint32_t i) const {
    if (tiling_ == nullptr) return ShardExtent{0, extent_, padded_, axis_};
    OSTRAND_TRY(const ShardBounds bounds, tiling_->shard_bounds(padded_, extent_, i));
    return ShardExtent{bounds.start, bounds.end, bounds.padded_end, axis_};
  }

 private:
  friend class LayoutAxes;
  const AxisTiling* tiling_ = nullptr;
  std::uint32_t extent_ = 0;
  std::uint32_t padded_ = 0;
  std::uint16_t axis_ = 0;
};

// The axes of a checked non-linear layout, in axis order. Each axis takes the first tiling (among
// those with a stride) that resolves to it.
class LayoutAxes {
 public:
  LayoutAxes(const TensorTiling& tiling, const TensorShape& shape, const CheckedLayout& checked)
      : tiling_(tiling), shape_(shape), checked_(checked) {
    for (std::size_t k = 0; k < checked.strides.size(); ++k) {
      const auto axis = resolve_axis(tiling.axes[k].axis, shape.rank());
      OSTRAND_CHECK(axis.has_value(), "checked axis tiling does not resolve");
      tiled_axis_.push_back(*axis);
    }
  }

  [[nodiscard]] std::size_t rank() const { return shape_.rank(); }

  [[nodiscard]] std::expected<AxisShards, LayoutError> axis(std::size_t j) const {
    // Shards name their axis in 16 bits.
    if (j > max_u16) return std::unexpected(layout_error::PaddedExtentOverflow{j});
    AxisShards shards;
    shards.extent_ = shape_[j];
    shards.padded_ = checked_.padded[j];
    shards.axis_ = static_cast<std::uint16_t>(j);
    const auto found = std::ranges::find(tiled_axis_, j);
    if (found != tiled_axis_.end()) {
      const auto k = static_cast<std::size_t>(found - tiled_axis_.begin());
      shards.tiling_ = &tiling_.axes[k];
      shards.stride = checked_.strides[k];
      shards.count = tiling_.axes[k].partitions;
    }
    return shards;
  }

 private:
  const TensorTiling& tiling_;
  const TensorShape& shape_;
  const CheckedLayout& checked_;
  SmallVector<std::size_t, 3> tiled_axis_;
};

// Whether a checked layout also resolves (every shard can be bounded), without building it.
bool shards_resolve(const TensorTiling& tiling, const TensorShape& shape, const CheckedLayout& checked) {
  if (checked.linear) return true;
  // Without shard padding every shard lies inside its padded group, which the checks have fitted
  // into 32 bits: only the axis count can still fail.
  if (shape.rank() <= max_u16 + 1 &&
      std::ranges::all_of(tiling.axes, [](const AxisTiling& a) { return a.shard_padding_multiple == 1; })) {
    return true;
  }
  const LayoutAxes axes(tiling, shape, checked);
  for (std::size_t j = 0; j < axes.rank(); ++j) {
    const auto axis = axes.axis(j);
    if (!axis) return false;
    for (std::uint32_t i = 0; i < axis->count; ++i) {
      if (!axis->shard(i)) return false;
    }
  }
  return true;
}

std::expected<ResolvedLayout, LayoutError> resolve_checked(const TensorTiling& tiling,
                                                           const TensorShape& shape,
                                                           const CheckedLayout& checked) {
  ResolvedLayout resolved;
  resolved.padded_shape = checked.padded;
  resolved.shape = shape.extents;
  resolved.tile_count = tiling.tile_count;
  resolved.replicas = tiling.replicas;
  if (checked.linear) {
    resolved.linear_block = tiling.axes.front().block_size;
    return resolved;
  }
  const LayoutAxes axes(tiling, shape, checked);
  resolved.axes.resize(axes.rank());
  for (std::size_t j = 0; j < axes.rank(); ++j) {
    OSTRAND_TRY(const AxisShards axis, axes.axis(j));
    ResolvedAxis& resolved_axis = resolved.axes[j];
    resolved_axis.stride = axis.stride;
    resolved_axis.shards.reserve(axis.count);
    for (std::uint32_t i = 0; i < axis.count; ++i) {
      OSTRAND_TRY(const ShardExtent shard, axis.shard(i));
      resolved_axis.shards.push_back(shard);
    }
  }
  return resolved;
}

// Whether two checked non-linear layouts of one shape resolve to the same shards, with the same
// stride wherever an axis has two or more shards, compared shard by shard without building either.
// A difference found early gives false whether or not the rest resolves; true needs every shard of
// both layouts to resolve, which the walk establishes.
bool same_resolved_shards(const TensorTiling& ta, const CheckedLayout& ca, const TensorTiling& tb,
                          const CheckedLayout& cb, const TensorShape& shape) {
  const LayoutAxes a(ta, shape, ca);
  const LayoutAxes b(tb, shape, cb);
  for (std::size_t j = 0; j < shape.rank(); ++j) {
    const auto x = a.axis(j);
    const auto y = b.axis(j);
    if (!x || !y || x->count != y->count) return false;
    if (x->count >= 2 && x->stride != y->stride) return false;
    for (std::uint32_t i = 0; i < x->count; ++i) {
      const auto sx = x->shard(i);
      const auto sy = y->shard(i);
      if (!sx || !sy || *sx != *sy) return false;
    }
  }
  return true;
}

// Padded size of a shard; a hand-built shard ending before its start counts as empty.
std::uint32_t padded_size(const ShardExtent& s) {
  return s.padded_end > s.start ? s.padded_end - s.start : 0;
}

// The shard of `axis` that tile `tile` holds, or nothing for an axis without shards or stride.
const ShardExtent* shard_of(const ResolvedAxis& axis, std::uint32_t tile) {
  if (axis.shards.empty() || axis.stride == 0) return nullptr;
  return &axis.shards[(tile / axis.stride) % axis.shards.size()];
}

std::uint64_t element_count(const graph::Extents& shape) {
  std::uint64_t n = 1;
  for (const std::uint32_t extent : shape) n = sat_mul(n, extent);
  return n;
}

}  // namespace

// --- Axes and strides ------------------------------------------------------------------------

std::optional<std::size_t> resolve_axis(const TensorAxis& axis, std::size_t rank) {
  if (const auto* from_start = std::get_if<FromStart>(&axis)) {
    if (from_start->index < rank) return from_start->index;
  } else if (const auto* from_end = std::get_if<FromEnd>(&axis)) {
    if (from_end->index >= 1 && from_end->index <= rank) return rank - from_end->index;
  }
  return std::nullopt;
}

std::expected<SmallVector<std::uint32_t, 3>, LayoutError> TensorTiling::axis_strides() const {
  Strides strides;
  std::uint32_t product = replicas;
  for (const AxisTiling& a : axes) {
    const auto next = checked_mul<std::uint32_t>(product, a.partitions);
    if (!next) return std::unexpected(layout_error::TileCountOverflow{});
    const std::uint32_t stride = a.tile_stride.has_value() ? *a.tile_stride : product;
    if (stride == 0) return std::unexpected(layout_error::InvalidAxisTiling{});
    strides.push_back(stride);
    product = *next;
  }
  return strides;
}

bool has_regular_tile_mapping(const TensorTiling& tiling, std::span<const std::uint32_t> strides) {
  const std::size_t count = std::min(tiling.axes.size(), strides.size());
  if (count == 0) return true;
  SmallVector<std::pair<std::uint32_t, std::uint16_t>, 3> pairs;
  for (std::size_t k = 0; k < count; ++k) pairs.emplace_back(strides[k], tiling.axes[k].partitions);
  // Equal pairs are indistinguishable, so the order among them has no effect.
  std::ranges::sort(pairs);
  const std::uint32_t smallest = pairs.front().first;
  if (smallest == 0 || tiling.replicas % smallest != 0) return false;
  std::uint32_t expected = smallest;
  for (const auto& [stride, partitions] : pairs) {
    if (stride != expected) return false;
    const auto next = checked_mul<std::uint32_t>(expected, partitions);
    if (!next) return false;
    expected = *next;
  }
  return true;
}

std::expected<ShardBounds, LayoutError> AxisTiling::shard_bounds(std::uint32_t padded_extent,
                                                                 std::uint32_t extent,
                                                                 std::uint32_t partition) const {
  using namespace layout_error;
  const std::uint16_t groups = padding_groups;
  if (groups == 0 || partition >= partitions || partitions % groups != 0 || padded_extent % groups != 0 ||
      extent % groups != 0) {
    return std::unexpected(IndivisibleAxisExtent{groups, partitions, extent});
  }
  const auto overflow = std::unexpected(PaddedExtentOverflow{0});
  const std::uint64_t group_real = extent / groups;
  const std::uint64_t per_group = partitions / groups;
  const std::uint64_t group = partition / per_group;
  const std::uint64_t local = partition % per_group;
  const std::uint64_t group_padded = padded_extent / groups;
  // Resolution pads every group to whole blocks; a hand-made call may not.
  if (block_size == 0) return std::unexpected(InvalidAxisTiling{});
  if (group_padded % block_size != 0) {
    return std::unexpected(ExtentNotDivisible{0, static_cast<std::uint32_t>(group_padded), block_size});
  }

  // Blocks spread as evenly as possible, earlier partitions first.
  const std::uint64_t blocks = group_padded / block_size;
  const std::uint64_t quotient = blocks / per_group;
  const std::uint64_t remainder = blocks % per_group;
  const std::uint64_t first_block = local * quotient + std::min(remainder, local);
  const std::uint64_t block_count = quotient + (local < remainder ? 1 : 0);
  const std::uint64_t offset = first_block * block_size;
  const std::uint64_t size = block_count * block_size;
  if (offset > max_u32 || size > max_u32) return overflow;

  std::uint64_t padded_size = size;
  if (shard_padding_multiple == 0) return std::unexpected(InvalidAxisTiling{});
  if (size % shard_padding_multiple != 0) {
    if (padding == Padding::Reject) {
      return std::unexpected(ShardNotDivisible{static_cast<std::uint32_t>(size), shard_padding_multiple});
    }
    padded_size = round_up(size, shard_padding_multiple);
    if (padded_size > max_u32) return overflow;
  }

  // Real data stops at the group's real extent, so trailing shards may be empty.
  const std::uint64_t base = group * group_real;
  const std::uint64_t start = base + offset;
  const std::uint64_t end = base + std::max(offset, std::min(group_real, offset + size));
  const std::uint64_t padded_end = start + padded_size;
  if (start > max_u32 || end > max_u32 || padded_end > max_u32) return overflow;
  return ShardBounds{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end),
                     static_cast<std::uint32_t>(padded_end)};
}

// --- Resolution ------------------------------------------------------------------------------

std::expected<graph::Extents, LayoutError> Layout::padded_shape(const TensorShape& shape) const {
  OSTRAND_TRY(CheckedLayout checked, check_layout(tiling, shape));
  return std::move(checked.padded);
}

std::expected<ResolvedLayout, LayoutError> Layout::resolve(const TensorShape& shape) const {
  OSTRAND_TRY(CheckedLayout checked, check_layout(tiling, shape));
  return resolve_checked(tiling, shape, checked);
}

std::expected<std::vector<std::pair<std::uint16_t, ShardBox>>, LayoutError> Layout::shard_extents(
    const TensorShape& shape) const {
  OSTRAND_TRY(const ResolvedLayout resolved, resolve(shape));
  return resolved.shard_extents();
}

std::expected<std::vector<std::pair<std::uint16_t, ShardBox>>, LayoutError> ResolvedLayout::shard_extents()
    const {
  std::vector<std::pair<std::uint16_t, ShardBox>> boxes;
  if (!linear_block.has_value()) {
    if (std::ranges::any_of(axes, [](const ResolvedAxis& a) { return a.shards.empty() || a.stride == 0; })) {
      return std::unexpected(layout_error::InvalidAxisTiling{});
    }
    boxes.reserve(tile_count);
    for (std::uint32_t t = 0; t < tile_count; ++t) {
      ShardBox box;
      for (const ResolvedAxis& axis : axes) box.push_back(*shard_of(axis, t));
      boxes.emplace_back(static_cast<std::uint16_t>(t), std::move(box));
    }
    return boxes;
  }

  // Linear: every tile's run of the flat row-major tensor, cut into pieces of at most one row.
  const std::size_t rank = shape.size();
  if (rank == 0) return std::unexpected(layout_error::InvalidAxisTiling{});
  if (rank > max_u16 + 1) return std::unexpected(layout_error::PaddedExtentOverflow{rank});
  const std::uint64_t row_length = shape.back();
  const auto last_axis = static_cast<std::uint16_t>(rank - 1);
  std::uint64_t offset = 0;
  for (std::uint32_t t = 0; t < tile_count; ++t) {
    const std::uint64_t count = tile_elements(t);
    // A tile with elements implies a tensor with elements, so no extent is zero below.
    if (count == 0) continue;
    const std::uint64_t end = offset + count;
    const std::uint64_t first_row = offset / row_length;
    const std::uint64_t last_row = ceil_div(end, row_length) - 1;
    for (std::uint64_t row = first_row; row <= last_row; ++row) {
      ShardBox box(rank);
      std::uint64_t rest = row;
      for (std::size_t i = rank - 1; i-- > 0;) {
        const auto coordinate = static_cast<std::uint32_t>(rest % shape[i]);
        rest /= shape[i];
        box[i] = ShardExtent{coordinate, coordinate + 1, coordinate + 1, static_cast<std::uint16_t>(i)};
      }
      const auto start = static_cast<std::uint32_t>(row == first_row ? offset % row_length : 0);
      const auto stop = static_cast<std::uint32_t>(row == last_row && end % row_length != 0 ? end % row_length
                                                                                            : row_length);
      box[rank - 1] = ShardExtent{start, stop, stop, last_axis};
      boxes.emplace_back(static_cast<std::uint16_t>(t), std::move(box));
    }
    offset = end;
  }
  return boxes;
}

std::uint64_t ResolvedLayout::tile_elements(std::uint32_t tile) const {
  if (tile >= tile_count) return 0;
  if (linear_block.has_value()) {
    const std::uint64_t block = *linear_block;
    if (block == 0) return 0;
    const std::uint64_t blocks = element_count(shape) / block;
    return block * (blocks / tile_count + (tile < blocks % tile_count ? 1 : 0));
  }
  std::uint64_t elements = 1;
  for (const ResolvedAxis& axis : axes) {
    const ShardExtent* shard = shard_of(axis, tile);
    elements = sat_mul(elements, shard != nullptr ? padded_size(*shard) : 0);
  }
  return elements;
}

std::uint64_t ResolvedLayout::maximum_tile_elements() const {
  if (linear_block.has_value()) {
    const std::uint64_t block = *linear_block;
    if (block == 0) return 0;
    return sat_mul(block, ceil_div(element_count(shape) / block, tile_count));
  }
  std::uint64_t elements = 1;
  for (const ResolvedAxis& axis : axes) elements = sat_mul(elements, axis.maximum_extent());
  return elements;
}

bool ResolvedLayout::has_empty_shards() const {
  return std::ranges::any_of(axes, [](const ResolvedAxis& axis) {
    return std::ranges::any_of(axis.shards, [](const ShardExtent& s) { return s.start == s.end; });
  });
}

std::uint32_t ResolvedAxis::maximum_extent() const {
  std::uint32_t largest = 0;
  for (const ShardExtent& s : shards) largest = std::max(largest, padded_size(s));
  return largest;
}

std::uint32_t ResolvedAxis::minimum_extent() const {
  if (shards.empty()) return 0;
  std::uint32_t smallest = padded_size(shards.front());
  for (const ShardExtent& s : shards) smallest = std::min(smallest, padded_size(s));
  return smallest;
}

namespace {
bool is_multiple(std::uint32_t size, std::uint32_t multiple) {
  return multiple == 0 ? size == 0 : size % multiple == 0;
}
}  // namespace

bool ResolvedAxis::extents_are_multiple_of(std::uint32_t multiple) const {
  return std::ranges::all_of(shards,
                             [&](const ShardExtent& s) { return is_multiple(padded_size(s), multiple); });
}

bool ResolvedAxis::complete_panels_except_tail(std::uint32_t panel) const {
  if (shards.size() < 2) return true;
  return std::all_of(shards.begin(), shards.end() - 1,
                     [&](const ShardExtent& s) { return is_multiple(padded_size(s), panel); });
}

// --- Tiling transformations ------------------------------------------------------------------

std::optional<AxisTiling> axis_tiling(const TensorType& type, std::size_t axis) {
  for (const AxisTiling& a : type.format.layout.tiling.axes) {
    if (resolve_axis(a.axis, type.shape.rank()) == axis) return a;
  }
  return std::nullopt;
}

bool same_distribution(const TensorType& a, const TensorType& b) {
  const TensorTiling& ta = a.format.layout.tiling;
  const TensorTiling& tb = b.format.layout.tiling;
  if (a.shape != b.shape || ta.tile_count != tb.tile_count) return false;
  const auto ca = check_layout(ta, a.shape);
  const auto cb = check_layout(tb, b.shape);
  if (!ca || !cb || ca->padded != cb->padded) return false;
  if (ta.replicas == tb.replicas && ta.axes == tb.axes) {
    // Equal tilings on equal shapes: both resolve, or neither does.
    return shards_resolve(ta, a.shape, *ca);
  }
  // A linear layout has no resolved axes to compare: it matches only an equal tiling.
  if (ca->linear || cb->linear) return false;
  return same_resolved_shards(ta, *ca, tb, *cb, a.shape);
}

std::optional<TensorTiling> project_tiling(const TensorType& source, AxisProjection projection) {
  const TensorTiling& tiling = source.format.layout.tiling;
  const auto strides = tiling.axis_strides();
  if (!strides) return std::nullopt;
  TensorTiling projected{tiling.tile_count, tiling.replicas, {}};
  for (std::size_t k = 0; k < strides->size(); ++k) {
    const AxisTiling& a = tiling.axes[k];
    const auto axis = resolve_axis(a.axis, source.shape.rank());
    if (!axis) return std::nullopt;
    if (const auto target = projection(*axis)) {
      const auto index = narrow<std::uint16_t>(*target);
      const auto stride = narrow<std::uint16_t>((*strides)[k]);
      if (!index || !stride) return std::nullopt;
      AxisTiling carried = a;
      carried.axis = FromStart{*index};
      carried.tile_stride = *stride;
      projected.axes.push_back(carried);
    } else {
      // The axis disappears: its shards become copies of the same data.
      const auto replicas = checked_mul<std::uint16_t>(projected.replicas, a.partitions);
      if (!replicas) return std::nullopt;
      projected.replicas = *replicas;
    }
  }
  return projected;
}

std::optional<TensorTiling> broadcast_operand_tiling(const TensorShape& operand, const TensorType& result) {
  const std::size_t rank = result.shape.rank();
  if (operand.rank() > rank) return std::nullopt;
  const std::size_t leading = rank - operand.rank();
  for (std::size_t i = 0; i < operand.rank(); ++i) {
    if (operand[i] != 1 && operand[i] != result.shape[leading + i]) return std::nullopt;
  }
  if (operand == result.shape) return result.format.layout.tiling;
  return project_tiling(result, [&](std::size_t axis) -> std::optional<std::size_t> {
    if (axis < leading || operand[axis - leading] != result.shape[axis]) return std::nullopt;
    return axis - leading;
  });
}

// --- Debug text ------------------------------------------------------------------------------

void debug_write(DebugWriter& w, const ShardBounds& v) {
  w.record("ShardBounds").field("start", v.start).field("end", v.end).field("padded_end", v.padded_end);
}

void debug_write(DebugWriter& w, const ResolvedAxis& v) {
  w.record("ResolvedAxis").field("shards", v.shards).field("stride", v.stride);
}

void debug_write(DebugWriter& w, const ResolvedLayout& v) {
  w.record("ResolvedLayout")
      .field("padded_shape", v.padded_shape)
      .field("shape", v.shape)
      .field("axes", v.axes)
      .field("linear_block", v.linear_block)
      .field("tile_count", v.tile_count)
      .field("replicas", v.replicas);
}

}  // namespace ostrand::tensor

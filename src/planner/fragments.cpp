#include "planner/fragments.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <variant>

#include "estimate/mid.hpp"
#include "planner/gemm.hpp"
#include "planner/layernorm.hpp"
#include "tensor/resolved.hpp"
#include "util/check.hpp"
#include "util/overloaded.hpp"

namespace ostrand::planner {

using tensor::AxisTiling;
using tensor::Layout;
using tensor::TensorType;

FragmentBuilder::FragmentBuilder(std::span<const TensorType> inputs) {
  for (const TensorType& input : inputs) {
    const MidValueId id = value(input);
    program_.inputs.push_back(mid::MidInput{.name = {}, .value = id, .retained = false});
  }
}

MidValueId FragmentBuilder::value(TensorType type) {
  return program_.add_value(std::move(type));
}

std::vector<MidValueId> FragmentBuilder::emit(Site site, std::vector<MidValueId> inputs,
                                              std::span<const TensorType> outputs,
                                              mid::MidOperationKind kind) {
  std::vector<MidValueId> defined;
  defined.reserve(outputs.size());
  for (const TensorType& output : outputs) defined.push_back(value(output));
  program_.operations.push_back(mid::MidOperation{.inputs = std::move(inputs),
                                                  .outputs = defined,
                                                  .site = std::move(site.local),
                                                  .kind = std::move(kind),
                                                  .source = std::nullopt});
  return defined;
}

std::vector<MidValueId> FragmentBuilder::emit(Site site, std::vector<MidValueId> inputs,
                                              const TensorType& output, mid::MidOperationKind kind) {
  return emit(std::move(site), std::move(inputs), std::span<const TensorType>(&output, 1), std::move(kind));
}

std::vector<MidValueId> FragmentBuilder::compute(Site site, std::vector<MidValueId> inputs,
                                                 std::span<const ComputeOutput> outputs,
                                                 mid::Compute compute) {
  std::vector<TensorType> types;
  types.reserve(outputs.size());
  for (std::size_t position = 0; position < outputs.size(); ++position) {
    const ComputeOutput& output = outputs[position];
    types.push_back(output.type);
    if (!output.reuse) continue;
    const std::pair<std::size_t, std::size_t> alias{position, inputs.size()};
    std::visit(Overloaded{
                   [&](mid::Product& p) { p.aliases.push_back(alias); },
                   [&](mid::Kernel& k) { k.aliases.push_back(alias); },
                   [](mid::Reduce&) { OSTRAND_CHECK(false, "a reduction never reuses storage"); },
               },
               static_cast<mid::Compute::variant&>(compute));
    inputs.push_back(*output.reuse);
  }
  return emit(std::move(site), std::move(inputs), types, mid::MidOperationKind{std::move(compute)});
}

MidValueId FragmentBuilder::kernel(Site site, std::vector<MidValueId> inputs, TensorType output,
                                   mid::TileKernelSpec spec, std::optional<MidValueId> reuse,
                                   std::vector<mid::OperandIndexing> operands) {
  const ComputeOutput out{std::move(output), reuse};
  mid::Kernel kernel{.operands = std::move(operands), .aliases = {}, .spec = std::move(spec)};
  return compute(std::move(site), std::move(inputs), std::span<const ComputeOutput>(&out, 1),
                 mid::Compute{std::move(kernel)})
      .front();
}

namespace {

// Whether `value` already is `target` as far as storage goes: the same precision, element order,
// memory class and placement of every element on the tiles.
bool has_target_form(const TensorType& value, const TensorType& target) {
  if (value == target) return true;
  const tensor::TensorFormat& a = value.format;
  const tensor::TensorFormat& b = target.format;
  return a.precision == b.precision && a.layout.order == b.layout.order &&
         a.layout.memory_class == b.layout.memory_class && tensor::same_distribution(value, target);
}

}  // namespace

MidValueId FragmentBuilder::materialize(Site site, MidValueId value, const TensorType& target,
                                        std::vector<std::uint32_t> offsets, bool redistribute) {
  const bool no_offset = std::ranges::all_of(offsets, [](std::uint32_t o) { return o == 0; });
  if (no_offset && has_target_form(type(value), target)) return value;
  mid::Rearrange rearrange{.offsets = std::move(offsets),
                           .view = std::nullopt,
                           .redistribute = redistribute,
                           .reserved = false,
                           .alias = false};
  return emit(std::move(site), {value}, target, mid::MidOperationKind{std::move(rearrange)}).front();
}

MidValueId FragmentBuilder::cast(Site site, MidValueId value, const tensor::Precision& precision) {
  const TensorType& from = type(value);
  if (from.format.precision == precision) return value;
  TensorType to = from;
  to.format.precision = precision;
  mid::TileKernelSpec spec{mid::kernels::Cast{.from = from.format.precision, .to = precision}};
  return kernel(std::move(site), {value}, std::move(to), std::move(spec), std::nullopt,
                {mid::OperandIndexing{mid::indexing::Broadcast{0}}});
}

const TensorType& FragmentBuilder::type(MidValueId value) const {
  return program_.value(value).tensor;
}

Fragment FragmentBuilder::finish(MidValueId result) && {
  program_.outputs = {result};
  if (program_.values.empty()) return std::nullopt;
  std::uint16_t tiles = 0;
  for (const mid::MidValue& v : program_.values)
    tiles = std::max(tiles, v.tensor.format.layout.tiling.tile_count);
  program_.device_tiles = tiles;
  if (!estimate::refresh_estimates(program_)) return std::nullopt;
  return std::make_shared<const mid::MidProgram>(std::move(program_));
}

// --- Cast layouts ----------------------------------------------------------------------------

namespace {

// The first tiling entry that names the last axis of a tensor of `rank`.
AxisTiling* last_axis_entry(Layout& layout, std::size_t rank) {
  if (rank == 0) return nullptr;
  for (AxisTiling& a : layout.tiling.axes) {
    if (tensor::resolve_axis(a.axis, rank) == rank - 1) return &a;
  }
  return nullptr;
}

// The resolved layout of `type` when it resolves per axis (no linear run) with at least
// `minimum_rank` axes.
std::optional<tensor::ResolvedLayout> resolve_axes(const Layout& layout, const tensor::TensorShape& shape,
                                                   std::size_t minimum_rank) {
  auto resolved = layout.resolve(shape);
  if (!resolved || resolved->linear_block.has_value() || shape.rank() < minimum_rank ||
      resolved->axes.size() < shape.rank()) {
    return std::nullopt;
  }
  return std::move(*resolved);
}

// The parity of an element order in a cast between AMP and block-major orders: two orders of equal
// parity convert cheaply. Row-major and the AMP output orders have none.
std::optional<int> order_parity(const tensor::ElementOrder& order) {
  return std::visit(Overloaded{
                        [](const tensor::RowMajor&) -> std::optional<int> { return std::nullopt; },
                        [](const tensor::BlockMajor& b) -> std::optional<int> {
                          return b.order.kind == tensor::BlockMajorKind::Matrix ? 1 : 0;
                        },
                        [](const tensor::Amp& a) -> std::optional<int> {
                          switch (a.order) {
                            case tensor::AmpOrder::Left:
                              return 0;
                            case tensor::AmpOrder::TransposedLeft:
                              return 1;
                            case tensor::AmpOrder::TransposedRight:
                              return 0;
                            default:
                              return std::nullopt;
                          }
                        },
                    },
                    static_cast<const tensor::ElementOrder::variant&>(order));
}

}  // namespace

std::optional<Layout> cast_layout(const TensorType& type) {
  Layout copy = type.format.layout;
  const std::size_t rank = type.shape.rank();
  return std::visit(
      Overloaded{
          [&](const tensor::RowMajor&) -> std::optional<Layout> { return copy; },
          [&](const tensor::BlockMajor& b) -> std::optional<Layout> {
            if (b.order.row_block % 32 == 0) return copy;
            return std::nullopt;
          },
          [&](const tensor::Amp& a) -> std::optional<Layout> {
            switch (a.order) {
              case tensor::AmpOrder::Output:
              case tensor::AmpOrder::TransposedOutput:
                return copy;
              case tensor::AmpOrder::TransposedLeft:
              case tensor::AmpOrder::TransposedRight: {
                const auto resolved = resolve_axes(copy, type.shape, 2);
                if (!resolved) return std::nullopt;
                const std::size_t axis = a.order == tensor::AmpOrder::TransposedLeft ? rank - 2 : rank - 1;
                if (resolved->axes[axis].extents_are_multiple_of(32)) return copy;
                return std::nullopt;
              }
              case tensor::AmpOrder::Left: {
                const auto resolved = resolve_axes(copy, type.shape, 1);
                if (!resolved) return std::nullopt;
                const tensor::ResolvedAxis& last = resolved->axes[rank - 1];
                if (last.extents_are_multiple_of(32)) return copy;
                AxisTiling* entry = last_axis_entry(copy, rank);
                if (!last.complete_panels_except_tail(32) || entry == nullptr) return std::nullopt;
                entry->shard_padding_multiple = std::max<std::uint32_t>(entry->shard_padding_multiple, 32);
                return copy;
              }
            }
            return std::nullopt;
          },
      },
      static_cast<const tensor::ElementOrder::variant&>(copy.order));
}

std::optional<Layout> producer_layout(const TensorType& type, const tensor::TensorFormat& target) {
  auto c = cast_layout(type);
  if (!c) return std::nullopt;
  const std::size_t rank = type.shape.rank();
  const tensor::ElementOrder& target_order = target.layout.order;
  const bool row_major = std::holds_alternative<tensor::RowMajor>(c->order);
  if (row_major && !std::holds_alternative<tensor::RowMajor>(target_order)) {
    const auto resolved = resolve_axes(*c, type.shape, 2);
    if (!resolved) return std::nullopt;
    const tensor::ResolvedAxis& last = resolved->axes[rank - 1];
    if (!last.extents_are_multiple_of(4)) return std::nullopt;
    if (!last.extents_are_multiple_of(32)) {
      if (AxisTiling* entry = last_axis_entry(*c, rank)) {
        entry->shard_padding_multiple = std::max<std::uint32_t>(entry->shard_padding_multiple, 32);
        entry->padding = tensor::Padding::Zero;
      } else {
        c->tiling.axes.push_back(AxisTiling{.axis = tensor::FromEnd{1},
                                            .partitions = 1,
                                            .padding_groups = 1,
                                            .block_size = 1,
                                            .padding_multiple = 1,
                                            .shard_padding_multiple = 32,
                                            .padding = tensor::Padding::Zero,
                                            .tile_stride = std::nullopt});
      }
    }
    c->order = tensor::Amp{tensor::AmpOrder::Left};
  }
  if (!c->resolve(type.shape)) return std::nullopt;
  if (c->order == target_order) return c;
  if (std::holds_alternative<tensor::F32>(target.precision) ||
      std::holds_alternative<tensor::RowMajor>(c->order)) {
    return std::nullopt;
  }
  const auto from = order_parity(c->order);
  const auto to = order_parity(target_order);
  if (from && to && *from == *to) return c;
  return std::nullopt;
}

bool compatible_fusion(const mid::TileKernelSpec& spec, const TensorType& first, const TensorType& second,
                       const TensorType& output) {
  if (first.shape != output.shape || first.format.precision != output.format.precision ||
      first.format.layout != output.format.layout) {
    return false;
  }
  if (!std::holds_alternative<tensor::F16>(output.format.precision) ||
      !std::holds_alternative<tensor::F16>(second.format.precision) ||
      !std::holds_alternative<tensor::RowMajor>(output.format.layout.order)) {
    return false;
  }
  if (std::holds_alternative<mid::kernels::AddLayerNorm>(spec)) {
    return second.shape == output.shape && second.format.layout == output.format.layout;
  }
  if (std::holds_alternative<mid::kernels::BiasGelu>(spec)) {
    const std::size_t rank = output.shape.rank();
    const std::size_t bias_rank = second.shape.rank();
    if (rank < 1 || bias_rank < 1 || second.shape[bias_rank - 1] != output.shape[rank - 1]) return false;
    for (std::size_t i = 0; i + 1 < bias_rank; ++i) {
      if (second.shape[i] != 1) return false;
    }
    return true;
  }
  return false;
}

// --- Lowering plans --------------------------------------------------------------------------

namespace {

// A view or a slice: one rearrangement of input 0, no data movement of its own.
std::optional<MidValueId> lower_view(FragmentBuilder& builder, const OperatorFamily& family,
                                     const TensorType& output) {
  if (builder.program().inputs.empty()) return std::nullopt;
  const MidValueId input{0};
  mid::Rearrange rearrange;
  if (const auto* view = std::get_if<family::View>(&family)) {
    rearrange.view = view->view;
  } else if (const auto* slice = std::get_if<family::Slice>(&family)) {
    const std::size_t rank = builder.type(input).shape.rank();
    if (slice->slice.axis >= rank) return std::nullopt;
    rearrange.offsets.assign(rank, 0);
    rearrange.offsets[slice->slice.axis] = slice->slice.start;
  } else {
    return std::nullopt;
  }
  return builder.emit("view", {input}, output, mid::MidOperationKind{std::move(rearrange)}).front();
}

// How an element-wise family runs as one per-tile kernel.
struct LocalKernel {
  mid::TileKernelSpec spec;
  // Operands broadcast to the output on its tiles; otherwise read whole where they lie.
  bool broadcast = true;
  // The kernel writes F32 rather than the output's precision.
  bool writes_f32 = false;
};

std::optional<LocalKernel> local_kernel(const OperatorFamily& family) {
  return std::visit(Overloaded{
                        [](const family::Gelu&) -> std::optional<LocalKernel> {
                          return LocalKernel{mid::kernels::Gelu{}, true, false};
                        },
                        [](const family::LayerNorm&) -> std::optional<LocalKernel> {
                          return LocalKernel{mid::kernels::LayerNorm{}, true, false};
                        },
                        [](const family::Add&) -> std::optional<LocalKernel> {
                          return LocalKernel{mid::kernels::Add{}, true, false};
                        },
                        [](const family::FlashAttention& f) -> std::optional<LocalKernel> {
                          return LocalKernel{mid::kernels::FlashAttention{.causal = f.options.causal,
                                                                          .scale = f.options.scale,
                                                                          .accumulate = f.accumulate},
                                             false, true};
                        },
                        [](const auto&) -> std::optional<LocalKernel> { return std::nullopt; },
                    },
                    static_cast<const OperatorFamily::variant&>(family));
}

// An element-wise plan: every operand on the output's tiles, one kernel, then the output precision.
std::optional<MidValueId> lower_local(FragmentBuilder& builder, const OperatorPlan& plan,
                                      const TensorType& output) {
  const auto local = local_kernel(plan.family);
  if (!local) return std::nullopt;
  const std::size_t count = builder.program().inputs.size();
  std::vector<MidValueId> operands;
  operands.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const MidValueId input{static_cast<std::uint32_t>(i)};
    TensorType target = builder.type(input);
    if (local->broadcast) {
      auto tiling = tensor::broadcast_operand_tiling(target.shape, output);
      if (!tiling) return std::nullopt;
      target.format.layout.tiling = std::move(*tiling);
    }
    operands.push_back(builder.materialize(mid::LocalSite("operand").at(static_cast<std::uint32_t>(i)), input,
                                           target, {}, true));
  }

  std::optional<MidValueId> reuse;
  if (plan.reusable_inputs) {
    for (const std::uint16_t index : *plan.reusable_inputs) {
      if (index < operands.size() && builder.type(operands[index]) == output) {
        reuse = operands[index];
        break;
      }
    }
  }

  TensorType kernel_output = output;
  if (local->writes_f32) kernel_output.format.precision = tensor::F32{};
  std::vector<mid::OperandIndexing> indexing;
  for (std::size_t i = 0; i < operands.size(); ++i) {
    if (local->broadcast) {
      indexing.emplace_back(mid::indexing::Broadcast{0});
    } else {
      indexing.emplace_back(mid::indexing::Windowed{});
    }
  }
  const MidValueId r =
      builder.kernel("compute", operands, std::move(kernel_output), local->spec, reuse, std::move(indexing));
  return builder.cast("output.cast", r, output.format.precision);
}

}  // namespace

Fragment build_fragment(const OperatorPlan& plan, std::span<const TensorType> inputs,
                        const TensorType& output) {
  FragmentBuilder builder(inputs);
  const std::optional<MidValueId> result =
      std::visit(Overloaded{
                     [&](const dispatch::View&) { return lower_view(builder, plan.family, output); },
                     [&](const dispatch::Local&) { return lower_local(builder, plan, output); },
                     [&](const dispatch::RowGroups& d) -> std::optional<MidValueId> {
                       if (!std::holds_alternative<family::LayerNorm>(plan.family)) return std::nullopt;
                       return lower_row_groups(builder, d.groups, output);
                     },
                     [&](const dispatch::Gemm& d) -> std::optional<MidValueId> {
                       const auto* gemm = std::get_if<family::Gemm>(&plan.family);
                       if (gemm == nullptr) return std::nullopt;
                       return lower_gemm(builder, plan, *gemm, d, output);
                     },
                     // Attention plans have no lowering yet: they yield no fragment.
                     [&](const dispatch::Attention&) -> std::optional<MidValueId> { return std::nullopt; },
                 },
                 static_cast<const OperatorDispatch::variant&>(plan.dispatch));
  if (!result) return std::nullopt;
  return std::move(builder).finish(*result);
}

}  // namespace ostrand::planner

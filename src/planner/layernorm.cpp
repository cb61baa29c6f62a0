#include "planner/layernorm.hpp"

#include <algorithm>
#include <cstddef>
#include <vector>

#include "tensor/resolved.hpp"
#include "util/saturating.hpp"

namespace ostrand::planner {

using tensor::TensorType;

std::optional<MidValueId> lower_row_groups(FragmentBuilder& builder, std::uint16_t groups,
                                           const TensorType& output) {
  const std::size_t rank = output.shape.rank();
  if (groups < 2 || rank < 1) return std::nullopt;
  if (output.shape[rank - 1] % (4U * groups) != 0) return std::nullopt;
  if (builder.program().inputs.size() < 3) return std::nullopt;

  // Data, scale and bias on the output's tiles, broadcast where they are smaller.
  std::vector<MidValueId> operands;
  for (std::uint32_t i = 0; i < 3; ++i) {
    const MidValueId input{i};
    TensorType target = builder.type(input);
    auto tiling = tensor::broadcast_operand_tiling(target.shape, output);
    if (!tiling) return std::nullopt;
    target.format.layout.tiling = std::move(*tiling);
    operands.push_back(builder.materialize(mid::LocalSite("operand").at(i), input, target, {}, true));
  }
  const MidValueId x = operands[0];
  const TensorType& data = builder.type(x);
  const std::size_t data_rank = data.shape.rank();
  if (data_rank < 1) return std::nullopt;

  // Partial moments: the data's rows, one (sum, sum of squares) pair per group, laid out like the
  // data with the group axis where the normalised axis was.
  TensorType moments;
  moments.shape.extents.assign(data.shape.extents.begin(), data.shape.extents.end() - 1);
  moments.shape.extents.push_back(groups);
  moments.shape.extents.push_back(2);
  moments.format.precision = tensor::F32{};
  moments.format.layout.order = output.format.layout.order;
  moments.format.layout.memory_class = output.format.layout.memory_class;
  moments.format.layout.tiling.tile_count = data.format.layout.tiling.tile_count;
  moments.format.layout.tiling.replicas = data.format.layout.tiling.replicas;
  for (tensor::AxisTiling entry : data.format.layout.tiling.axes) {
    if (std::holds_alternative<tensor::Linear>(entry.axis)) return std::nullopt;
    const auto axis = tensor::resolve_axis(entry.axis, data_rank);
    if (!axis) return std::nullopt;
    entry.axis = tensor::FromStart{static_cast<std::uint16_t>(*axis)};
    if (*axis == data_rank - 1) entry.block_size = 1;
    moments.format.layout.tiling.axes.push_back(entry);
  }
  const MidValueId m = builder.kernel("moments", {x}, moments, mid::kernels::LayerNormMoments{}, std::nullopt,
                                      {mid::indexing::Windowed{}});

  // Completed moments: the group axis gathered onto every group.
  TensorType complete = moments;
  auto& axes = complete.format.layout.tiling.axes;
  const tensor::TensorAxis group_axis{tensor::FromStart{static_cast<std::uint16_t>(rank - 1)}};
  axes.erase(std::remove_if(axes.begin(), axes.end(),
                            [&](const tensor::AxisTiling& entry) { return entry.axis == group_axis; }),
             axes.end());
  const auto replicas = checked_mul<std::uint16_t>(complete.format.layout.tiling.replicas, groups);
  if (!replicas) return std::nullopt;
  complete.format.layout.tiling.replicas = *replicas;
  const MidValueId c = builder.materialize("moments.complete", m, complete, {}, true);

  return builder.kernel("apply", {x, operands[1], operands[2], c}, output,
                        mid::kernels::LayerNormApply{groups}, std::nullopt,
                        {mid::indexing::Broadcast{0}, mid::indexing::Broadcast{0},
                         mid::indexing::Broadcast{0}, mid::indexing::Windowed{}});
}

}  // namespace ostrand::planner

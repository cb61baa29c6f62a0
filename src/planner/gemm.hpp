#pragma once
// Lowering of GEMM plans: a split reduction (partial products over inner partitions, then summed),
// a whole product when both operands already sit on the output's tile grid, or a product
// accumulated block by block over the contracted dimension.

#include <cstddef>
#include <optional>

#include "planner/fragments.hpp"
#include "planner/operator.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"

namespace ostrand::planner {

// Appends the GEMM of the builder's inputs 0 and 1 as `plan` (with this family and dispatch)
// implements it, and returns its result; nothing when it cannot be expressed.
[[nodiscard]] std::optional<MidValueId> lower_gemm(FragmentBuilder& builder, const OperatorPlan& plan,
                                                   const family::Gemm& family, const dispatch::Gemm& dispatch,
                                                   const tensor::TensorType& output);

// The output's tile grid seen from one GEMM operand of rank `operand_rank`: the entry of
// `output_axis` lands on `operand_axis`, batch axes on the operand's matching trailing-aligned
// axes, and every other entry (one counted past the output's last axis included) becomes
// replication. Nothing when the output's tiling has no regular strides, has a linear entry or one
// counted from the end past the first axis, or an index, stride or replica count leaves 16 bits.
[[nodiscard]] std::optional<tensor::TensorTiling> project_grid(const tensor::TensorType& output,
                                                               std::size_t output_axis,
                                                               std::size_t operand_axis,
                                                               std::size_t operand_rank);

}  // namespace ostrand::planner

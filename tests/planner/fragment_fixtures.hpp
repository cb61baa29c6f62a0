#pragma once
// Plans and types for the lowering tests: element-wise and view plans, row-grouped layer
// normalisations laid out as candidate planning lays them out, and split-reduction GEMM plans
// built as the split-reduction generator builds them.

#include <cstdint>
#include <string>
#include <vector>

#include "planner/catalogue.hpp"
#include "planner/fragments.hpp"
#include "planner/operator.hpp"
#include "planner/plan_fixtures.hpp"
#include "support/print.hpp"
#include "tensor/layout.hpp"
#include "tensor/resolved.hpp"

namespace ostrand::planner::fixtures {

inline tensor::TensorType typed(tensor::TensorShape shape, tensor::Precision precision,
                                tensor::Layout layout) {
  return tensor::TensorType{std::move(shape), tensor::TensorFormat{precision, std::move(layout)}};
}

inline tensor::AxisTiling axis(tensor::TensorAxis a, std::uint16_t partitions, std::uint32_t block,
                               std::optional<std::uint16_t> stride = std::nullopt,
                               tensor::Padding padding = tensor::Padding::Reject) {
  return tensor::AxisTiling::simple(a, partitions, block, block, padding, stride);
}

inline tensor::Layout row_major(std::uint16_t tiles, std::uint16_t replicas, tensor::AxisTilings axes) {
  return tensor::Layout{tensor::RowMajor{}, tensor::TensorTiling{tiles, replicas, std::move(axes)},
                        tensor::MemoryClass::Ipu21Standard};
}

// A plan with one requirement per format, `format`'s output, the given family and dispatch.
inline OperatorPlan plan_of(std::vector<tensor::TensorFormat> operands, tensor::TensorFormat output,
                            OperatorFamily family, OperatorDispatch dispatch,
                            std::optional<SmallVector<std::uint16_t, 2>> reusable = std::nullopt) {
  OperatorPlan plan;
  for (auto& f : operands) plan.operands.push_back(OperandRequirement::create(std::move(f)));
  plan.output = std::move(output);
  plan.reusable_inputs = std::move(reusable);
  plan.family = std::move(family);
  plan.dispatch = std::move(dispatch);
  return plan;
}

// The roles of a program's top-level operations, in order.
inline std::vector<std::string> roles(const mid::MidProgram& program) {
  std::vector<std::string> out;
  for (const auto& op : program.operations) out.push_back(op.site ? op.site->role : std::string("-"));
  return out;
}

// A layer normalisation of [1, 8, 128] F16 rows on 8 tiles, its last axis split over `groups` tile
// groups, laid out as the row-group variants of candidate planning: each group owns 128 / groups
// columns in 4-element words, and the row tiles are strided over the groups.
inline OperatorPlan row_group_plan(std::uint16_t groups) {
  const auto g = static_cast<std::uint16_t>(groups);
  tensor::Layout out = row_major(static_cast<std::uint16_t>(8 * g), 1,
                                 {axis(tensor::FromEnd{2}, 8, 1, g), axis(tensor::FromEnd{1}, g, 4, 1)});
  const tensor::TensorType result = typed({1, 8, 128}, tensor::F16{}, out);
  std::vector<tensor::TensorFormat> operands;
  for (const tensor::TensorShape& shape :
       {tensor::TensorShape{1, 8, 128}, tensor::TensorShape{1, 1, 128}, tensor::TensorShape{1, 1, 128}}) {
    tensor::Layout l = out;
    l.tiling = *tensor::broadcast_operand_tiling(shape, result);
    operands.push_back(tensor::TensorFormat{tensor::F16{}, l});
  }
  return plan_of(operands, result.format, family::LayerNorm{}, dispatch::RowGroups{groups});
}

// A split-reduction GEMM plan for [.., M, K] x [K, N] with F16 products, built as the generator
// does for the grid of `rows` x `columns` x `inner` tiles and result partitions (rr, rc).
struct SplitGrid {
  GemmOrientation orientation = GemmOrientation::Normal;
  std::uint16_t rows = 1;
  std::uint16_t columns = 1;
  std::uint16_t inner = 2;
  std::uint16_t result_rows = 1;
  std::uint16_t result_columns = 1;
  std::uint32_t inner_extent = 64;  // I: inner elements per partition
  std::uint32_t column_block = 16;  // Cb
  std::uint32_t output_rows = 8;    // Y, for row pairing
  tensor::MemoryClass weight_memory = tensor::MemoryClass::Ipu21Standard;
  mid::ReductionStaging staging = mid::ReductionStaging{mid::Complete{}};
  LocalOperandStaging weight_staging = LocalOperandStaging::Direct;
};

inline OperatorPlan split_reduction_plan(const SplitGrid& g) {
  using tensor::FromEnd;
  const bool normal = g.orientation == GemmOrientation::Normal;
  const auto tiles = static_cast<std::uint16_t>(g.rows * g.columns * g.inner);
  const auto I = static_cast<std::uint16_t>(g.inner_extent);
  const auto Cb = static_cast<std::uint16_t>(g.column_block);
  tensor::Layout streamed =
      normal ? tensor::Layout::amp_left_parallel_grid(I, tiles, g.rows, g.columns, g.inner)
             : tensor::Layout::amp_transposed_left_parallel_grid(I, tiles, g.rows, g.columns, g.inner);
  tensor::Layout weight =
      normal ? tensor::Layout::block_major_matrix_storage(I, Cb, g.columns, g.inner, 1, g.weight_memory)
             : tensor::Layout::transposed_block_major_matrix_storage(I, Cb, g.columns, g.inner, g.rows,
                                                                     g.weight_memory);
  const tensor::TensorAxis weight_columns =
      normal ? tensor::TensorAxis{FromEnd{1}} : tensor::TensorAxis{FromEnd{2}};
  for (auto& a : weight.tiling.axes) {
    if (a.axis == weight_columns) {
      a.block_size = 16;
      a.padding_multiple = 16;
      a.padding = tensor::Padding::Zero;
    }
  }
  const auto Rr = static_cast<std::uint16_t>(g.rows * g.result_rows);
  const auto Rc = static_cast<std::uint16_t>(g.columns * g.result_columns);
  const std::uint32_t Ob = g.result_columns < 2 ? Cb : 16;
  tensor::Layout output;
  if (normal) {
    output = tensor::Layout::amp_output_grid(Ob, static_cast<std::uint16_t>(Rr * Rc), Rr, Rc, false);
    output.order = tensor::Amp{tensor::AmpOrder::Left};
    for (auto& a : output.tiling.axes) {
      if (a.axis == tensor::TensorAxis{FromEnd{1}}) {
        a.block_size = 16;
        a.padding_multiple = 16;
        a.padding = tensor::Padding::Zero;
      }
    }
  } else {
    output = tensor::Layout{tensor::Amp{tensor::AmpOrder::TransposedLeft},
                            tensor::TensorTiling{static_cast<std::uint16_t>(Rr * Rc),
                                                 1,
                                                 {axis(FromEnd{2}, Rc, 16, 1, tensor::Padding::Zero),
                                                  axis(FromEnd{1}, Rr, 1, Rc)}},
                            tensor::MemoryClass::Ipu21Interleaved};
  }
  // Row pairing: the streamed operand's and the output's row axes take even blocks.
  const tensor::TensorAxis row_axis =
      normal ? tensor::TensorAxis{FromEnd{2}} : tensor::TensorAxis{FromEnd{1}};
  std::uint16_t output_row_partitions = 0;
  for (const auto& a : output.tiling.axes) {
    if (a.axis == row_axis) output_row_partitions = a.partitions;
  }
  if ((g.output_rows + 1) / 2 >= output_row_partitions) {
    for (tensor::Layout* l : {&streamed, &output}) {
      for (auto& a : l->tiling.axes) {
        if (a.axis != row_axis) continue;
        a.block_size += a.block_size % 2;
        a.padding_multiple += a.padding_multiple % 2;
        a.padding = tensor::Padding::Zero;
      }
    }
  }
  const dispatch::Gemm gemm{.inner_block = g.inner_extent,
                            .output_column_block = g.column_block,
                            .distribution = GemmDistribution{g.staging, g.rows, g.columns, g.inner,
                                                             g.result_rows, g.result_columns},
                            .orientation = g.orientation};
  const family::Gemm f{
      .options = {}, .multiply = tensor::F16{}, .accumulate = mid::AccumulationPrecision::F16};
  OperatorPlan plan =
      normal ? gemm_plan(f, streamed, weight, output, gemm) : gemm_plan(f, weight, streamed, output, gemm);
  plan.operands[normal ? 1 : 0].staging = g.weight_staging;
  return plan;
}

}  // namespace ostrand::planner::fixtures

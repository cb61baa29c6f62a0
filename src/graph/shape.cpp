#include "graph/shape.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>

#include <fmt/format.h>

#include "util/overloaded.hpp"
#include "util/saturating.hpp"

namespace ostrand::graph {

std::string display(const BroadcastError& e) {
  return fmt::format("dimensions {} and {} cannot be broadcast", e.left, e.right);
}

void debug_write(DebugWriter& w, const BroadcastError& e) {
  w.record("BroadcastError").field("left", e.left).field("right", e.right);
}

std::expected<Extents, BroadcastError> broadcast_shape(std::span<const std::uint32_t> left,
                                                       std::span<const std::uint32_t> right) {
  const std::size_t rank = std::max(left.size(), right.size());
  Extents result(rank);
  for (std::size_t i = 0; i < rank; ++i) {
    // Position i from the outermost of the result; operands are aligned at their last extent.
    const std::size_t from_end = rank - i;
    const std::uint32_t l = from_end <= left.size() ? left[left.size() - from_end] : 1;
    const std::uint32_t r = from_end <= right.size() ? right[right.size() - from_end] : 1;
    if (l == r || r == 1) {
      result[i] = l;
    } else if (l == 1) {
      result[i] = r;
    } else {
      return std::unexpected(BroadcastError{l, r});
    }
  }
  return result;
}

std::optional<TensorShape> AxisSlice::output_shape(const TensorShape& input) const {
  if (length == 0) return std::nullopt;
  const auto end = checked_add<std::uint32_t>(start, length);
  if (!end || axis >= input.rank() || input[axis] < *end) return std::nullopt;
  TensorShape result = input;
  result.extents[axis] = length;
  return result;
}

std::optional<TensorShape> AxisFactorView::output_shape(const TensorShape& input) const {
  if (factor == 0 || split_axis == merge_axis) return std::nullopt;
  const std::size_t divided = reversed ? merge_axis : split_axis;
  const std::size_t multiplied = reversed ? split_axis : merge_axis;
  if (divided >= input.rank() || multiplied >= input.rank()) return std::nullopt;
  if (input[divided] % factor != 0) return std::nullopt;
  const auto product = checked_mul<std::uint32_t>(input[multiplied], factor);
  if (!product) return std::nullopt;
  TensorShape result = input;
  result.extents[divided] = input[divided] / factor;
  result.extents[multiplied] = *product;
  return result;
}

namespace {

constexpr const char* wrong_arity = "wrong input arity";

// The shape of operand `index`, or nothing when the operand is missing or has no shape.
const TensorShape* operand_shape(std::span<const ValueId> operands, const ValueShapes& shapes,
                                 std::size_t index) {
  if (index >= operands.size()) return nullptr;
  const auto found = shapes.find(operands[index]);
  return found == shapes.end() ? nullptr : &found->second;
}

std::span<const std::uint32_t> batch_extents(const TensorShape& s) {
  return s.view().first(s.rank() - 2);
}

std::string broadcast_message(const BroadcastError& e) {
  return display(e);
}

std::expected<TensorShape, std::string> gemm_shape(const GemmOptions& options, const TensorShape* left,
                                                   const TensorShape* right) {
  if (left == nullptr || right == nullptr) return std::unexpected(wrong_arity);
  if (left->rank() < 2 || right->rank() < 2) {
    return std::unexpected("GEMM inputs must have rank at least two");
  }
  const std::uint32_t left_second_last = (*left)[left->rank() - 2];
  const std::uint32_t left_last = (*left)[left->rank() - 1];
  const std::uint32_t right_second_last = (*right)[right->rank() - 2];
  const std::uint32_t right_last = (*right)[right->rank() - 1];
  const std::uint32_t rows = options.transpose_left ? left_last : left_second_last;
  const std::uint32_t left_inner = options.transpose_left ? left_second_last : left_last;
  const std::uint32_t right_inner = options.transpose_right ? right_last : right_second_last;
  const std::uint32_t columns = options.transpose_right ? right_second_last : right_last;
  if (left_inner != right_inner) return std::unexpected("GEMM inner dimensions do not match");
  auto batch = broadcast_shape(batch_extents(*left), batch_extents(*right));
  if (!batch) return std::unexpected(broadcast_message(batch.error()));
  batch->push_back(rows);
  batch->push_back(columns);
  return TensorShape(std::move(*batch));
}

// A scale or bias must be a vector along the normalised axis: rank at least 1, as many elements as
// the last input extent, and that extent last.
bool is_last_axis_vector(const TensorShape& s, std::uint32_t n) {
  if (s.rank() == 0 || s[s.rank() - 1] != n) return false;
  std::uint64_t product = 1;
  for (const std::uint32_t e : s) product = sat_mul(product, e);
  return product == n;
}

std::expected<TensorShape, std::string> layer_norm_shape(std::span<const ValueId> operands,
                                                         const ValueShapes& shapes) {
  const TensorShape* input = operand_shape(operands, shapes, 0);
  if (input == nullptr) return std::unexpected(wrong_arity);
  if (input->rank() == 0) return std::unexpected("layernorm needs an axis");
  const std::uint32_t n = (*input)[input->rank() - 1];
  constexpr const char* vector_message = "layernorm scale/bias must be last-axis vectors";
  for (std::size_t operand = 1; operand <= 2; ++operand) {
    const TensorShape* vector = operand_shape(operands, shapes, operand);
    if (vector == nullptr) return std::unexpected(wrong_arity);
    if (!is_last_axis_vector(*vector, n)) return std::unexpected(vector_message);
  }
  return *input;
}

bool is_valid_scale(const AttentionScale& scale) {
  const auto* bits = std::get_if<ValueBits>(&scale);
  if (bits == nullptr) return true;
  const float value = std::bit_cast<float>(bits->bits);
  return std::isfinite(value) && value > 0.0F;
}

std::expected<TensorShape, std::string> attention_shape(const AttentionOptions& options,
                                                        std::span<const ValueId> operands,
                                                        const ValueShapes& shapes) {
  const TensorShape* query = operand_shape(operands, shapes, 0);
  const TensorShape* key = operand_shape(operands, shapes, 1);
  const TensorShape* value = operand_shape(operands, shapes, 2);
  if (query == nullptr || key == nullptr || value == nullptr) return std::unexpected(wrong_arity);
  if (query->rank() < 2 || key->rank() < 2 || value->rank() < 2) {
    return std::unexpected("FlashAttention inputs must have rank at least two");
  }
  const auto last = [](const TensorShape& s) { return s[s.rank() - 1]; };
  const auto second_last = [](const TensorShape& s) { return s[s.rank() - 2]; };
  if (last(*query) != last(*key) || second_last(*key) != second_last(*value)) {
    return std::unexpected("FlashAttention head or sequence dimensions do not match");
  }
  if (!is_valid_scale(options.scale)) return std::unexpected("attention scale must be finite and positive");
  auto key_value_batch = broadcast_shape(batch_extents(*key), batch_extents(*value));
  if (!key_value_batch) return std::unexpected(broadcast_message(key_value_batch.error()));
  auto batch = broadcast_shape(batch_extents(*query), *key_value_batch);
  if (!batch) return std::unexpected(broadcast_message(batch.error()));
  batch->push_back(second_last(*query));
  batch->push_back(last(*value));
  return TensorShape(std::move(*batch));
}

}  // namespace

std::expected<TensorShape, std::string> infer_shape(const OperationKind& kind,
                                                    std::span<const ValueId> operands,
                                                    const ValueShapes& shapes) {
  const auto operand = [&](std::size_t index) { return operand_shape(operands, shapes, index); };
  return std::visit(
      Overloaded{
          [&](const op::Gemm& g) { return gemm_shape(g.options, operand(0), operand(1)); },
          [&](const op::Gelu&) -> std::expected<TensorShape, std::string> {
            if (const TensorShape* input = operand(0)) return *input;
            return std::unexpected(wrong_arity);
          },
          [&](const op::LayerNorm&) { return layer_norm_shape(operands, shapes); },
          [&](const op::Add&) -> std::expected<TensorShape, std::string> {
            const TensorShape* left = operand(0);
            const TensorShape* right = operand(1);
            if (left == nullptr || right == nullptr) return std::unexpected(wrong_arity);
            auto result = broadcast_shape(left->view(), right->view());
            if (!result) return std::unexpected(broadcast_message(result.error()));
            return TensorShape(std::move(*result));
          },
          [&](const op::View& v) -> std::expected<TensorShape, std::string> {
            const TensorShape* input = operand(0);
            if (input == nullptr) return std::unexpected(wrong_arity);
            if (auto result = v.view.output_shape(*input)) return *std::move(result);
            return std::unexpected("view axes, factor, or output dimensions are invalid");
          },
          [&](const op::Slice& s) -> std::expected<TensorShape, std::string> {
            const TensorShape* input = operand(0);
            if (input == nullptr) return std::unexpected(wrong_arity);
            if (auto result = s.slice.output_shape(*input)) return *std::move(result);
            return std::unexpected("slice lies outside its input");
          },
          [&](const op::FlashAttention& a) { return attention_shape(a.options, operands, shapes); },
          [&](const op::Repeat&) -> std::expected<TensorShape, std::string> {
            return std::unexpected("repeat result shapes are defined by carried values");
          },
      },
      kind);
}

std::expected<void, GraphError> validate_inputs(const ValueShapes& shapes, std::span<const ValueId> values) {
  for (const ValueId v : values) {
    if (!shapes.contains(v)) return std::unexpected(error::UnknownValue{v});
  }
  return {};
}

}  // namespace ostrand::graph

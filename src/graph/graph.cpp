#include "graph/graph.hpp"

#include <limits>
#include <utility>

#include "util/check.hpp"

namespace ostrand::graph {

namespace {

std::uint32_t take(std::uint32_t& counter) {
  OSTRAND_CHECK(counter != std::numeric_limits<std::uint32_t>::max(), "graph identifiers exhausted");
  return counter++;
}

}  // namespace

std::expected<ValueId, GraphError> ComputeGraph::input(std::string_view name, bool is_parameter,
                                                       TensorShape shape) {
  if (name.empty()) return std::unexpected(error::EmptyName{});
  const ValueId value{take(next_value)};
  value_shapes.insert_or_assign(value, shape);
  inputs.push_back(GraphInput{std::string(name), std::move(shape), value, is_parameter});
  return value;
}

std::expected<ValueId, GraphError> ComputeGraph::parameter(std::string_view name, std::uint32_t rows,
                                                           std::uint32_t columns) {
  return input(name, true, TensorShape{rows, columns});
}

std::expected<ValueId, GraphError> ComputeGraph::layer_norm(ValueId input, ValueId scale, ValueId bias) {
  return inferred_result(op::LayerNorm{}, {input, scale, bias});
}

std::expected<ValueId, GraphError> ComputeGraph::gemm(ValueId left, ValueId right, GemmOptions options) {
  return inferred_result(op::Gemm{options}, {left, right});
}

std::expected<ValueId, GraphError> ComputeGraph::gelu(ValueId input) {
  return inferred_result(op::Gelu{}, {input});
}

std::expected<ValueId, GraphError> ComputeGraph::add(ValueId left, ValueId right) {
  return inferred_result(op::Add{}, {left, right});
}

std::expected<ValueId, GraphError> ComputeGraph::view(ValueId input, AxisFactorView view) {
  return inferred_result(op::View{view}, {input});
}

std::expected<ValueId, GraphError> ComputeGraph::slice(ValueId input, AxisSlice slice) {
  return inferred_result(op::Slice{slice}, {input});
}

std::expected<ValueId, GraphError> ComputeGraph::flash_attention(ValueId query, ValueId key, ValueId value,
                                                                 AttentionOptions options) {
  return inferred_result(op::FlashAttention{options}, {query, key, value});
}

std::expected<ValueSequenceId, GraphError> ComputeGraph::value_sequence(std::string_view name,
                                                                        std::vector<ValueId> values) {
  if (name.empty()) return std::unexpected(error::EmptyName{});
  if (auto known = validate_inputs(value_shapes, values); !known) return std::unexpected(known.error());
  for (std::size_t entry = 1; entry < values.size(); ++entry) {
    if (value_shapes.at(values[entry]) != value_shapes.at(values[0])) {
      return std::unexpected(error::SequenceShape{entry});
    }
  }
  OSTRAND_CHECK(value_sequences.size() < std::numeric_limits<std::uint32_t>::max(),
                "too many value sequences");
  const ValueSequenceId id{static_cast<std::uint32_t>(value_sequences.size())};
  value_sequences.push_back(ValueSequence{std::string(name), std::move(values)});
  return id;
}

std::expected<std::vector<ValueId>, GraphError> ComputeGraph::repeat(std::uint32_t count,
                                                                     std::vector<ValueId> carried,
                                                                     std::vector<ValueId> invariant,
                                                                     std::vector<ValueSequenceId> iterated,
                                                                     Region body) {
  if (count == 0) return std::unexpected(error::EmptyRepeat{});
  std::vector<ValueId> operands = carried;
  operands.insert(operands.end(), invariant.begin(), invariant.end());
  if (auto known = validate_inputs(value_shapes, operands); !known) return std::unexpected(known.error());

  // The shape every body argument must have: the inputs', then each sequence's entries'.
  std::vector<TensorShape> argument_shapes;
  for (const ValueId v : operands) argument_shapes.push_back(value_shapes.at(v));
  for (const ValueSequenceId s : iterated) {
    if (s.number >= value_sequences.size()) return std::unexpected(error::UnknownSequence{s});
    const ValueSequence& sequence = value_sequences[s.number];
    if (sequence.values.size() < count) {
      return std::unexpected(error::ShortSequence{s, sequence.values.size(), count});
    }
    argument_shapes.push_back(value_shapes.at(sequence.values.front()));
  }

  if (body.yields.size() != carried.size()) {
    return std::unexpected(error::YieldArity{carried.size(), body.yields.size()});
  }
  constexpr const char* argument_message = "repeat body arguments do not match its inputs";
  if (body.arguments.size() != argument_shapes.size()) {
    return std::unexpected(error::InvalidShape{argument_message});
  }
  for (std::size_t i = 0; i < body.arguments.size(); ++i) {
    const auto found = body.value_shapes.find(body.arguments[i]);
    if (found == body.value_shapes.end() || found->second != argument_shapes[i]) {
      return std::unexpected(error::InvalidShape{argument_message});
    }
  }
  for (const Operation& operation : body.operations) {
    if (auto known = validate_inputs(body.value_shapes, operation.inputs); !known)
      return std::unexpected(known.error());
  }
  if (auto known = validate_inputs(body.value_shapes, body.yields); !known)
    return std::unexpected(known.error());
  std::vector<TensorShape> result_shapes;
  for (std::size_t i = 0; i < carried.size(); ++i) {
    if (body.value_shapes.at(body.yields[i]) != value_shapes.at(carried[i])) {
      return std::unexpected(error::YieldShape{i});
    }
    result_shapes.push_back(value_shapes.at(carried[i]));
  }

  Repeat loop{count, carried.size(), invariant.size(), std::move(iterated), std::move(body)};
  return append_operation(op::Repeat{std::move(loop)}, std::move(operands), result_shapes);
}

std::expected<void, GraphError> ComputeGraph::set_outputs(std::vector<ValueId> values) {
  if (auto known = validate_inputs(value_shapes, values); !known) return known;
  outputs = std::move(values);
  return {};
}

std::optional<TensorShape> ComputeGraph::value_shape(ValueId value) const {
  const auto found = value_shapes.find(value);
  if (found == value_shapes.end()) return std::nullopt;
  return found->second;
}

std::expected<ValueId, GraphError> ComputeGraph::inferred_result(OperationKind kind,
                                                                 std::vector<ValueId> operands) {
  if (auto known = validate_inputs(value_shapes, operands); !known) return std::unexpected(known.error());
  auto shape = infer_shape(kind, operands, value_shapes);
  if (!shape) return std::unexpected(error::InvalidShape{std::move(shape).error()});
  auto results = append_operation(std::move(kind), std::move(operands), std::span(&*shape, 1));
  if (!results) return std::unexpected(std::move(results).error());
  return results->front();
}

std::expected<std::vector<ValueId>, GraphError> ComputeGraph::append_operation(
    OperationKind kind, std::vector<ValueId> operands, std::span<const TensorShape> result_shapes) {
  if (auto known = validate_inputs(value_shapes, operands); !known) return std::unexpected(known.error());
  OSTRAND_CHECK(result_shapes.size() <= std::numeric_limits<std::uint32_t>::max() - next_value,
                "graph identifiers exhausted");
  const OperationId id{take(next_operation)};
  std::vector<ValueId> results;
  results.reserve(result_shapes.size());
  for (const TensorShape& shape : result_shapes) {
    const ValueId value{take(next_value)};
    value_shapes.insert_or_assign(value, shape);
    results.push_back(value);
  }
  operations.push_back(Operation{id, std::move(operands), results, std::move(kind)});
  return results;
}

std::vector<ValueId> ComputeGraph::operation_inputs(const Operation& operation) const {
  std::vector<ValueId> all = operation.inputs;
  if (const auto* loop = std::get_if<op::Repeat>(&operation.kind)) {
    for (const ValueSequenceId s : loop->repeat.iterated_inputs) {
      OSTRAND_CHECK(s.number < value_sequences.size(), "repeat iterates an unknown sequence");
      const auto& members = value_sequences[s.number].values;
      const std::size_t n = std::min<std::size_t>(loop->repeat.count, members.size());
      all.insert(all.end(), members.begin(), members.begin() + static_cast<std::ptrdiff_t>(n));
    }
  }
  return all;
}

Region ComputeGraph::as_region() const {
  Region region;
  for (const GraphInput& in : inputs) region.arguments.push_back(in.value);
  region.operations = operations;
  region.yields = outputs;
  region.value_shapes = value_shapes;
  return region;
}

void debug_write(DebugWriter& w, const GraphInput& v) {
  w.record("GraphInput")
      .field("name", v.name)
      .field("shape", v.shape)
      .field("value", v.value)
      .field("is_parameter", v.is_parameter);
}

void debug_write(DebugWriter& w, const ValueSequence& v) {
  w.record("ValueSequence").field("name", v.name).field("values", v.values);
}

void debug_write(DebugWriter& w, const ComputeGraph& v) {
  w.record("ComputeGraph")
      .field("inputs", v.inputs)
      .field("value_sequences", v.value_sequences)
      .field("operations", v.operations)
      .field("outputs", v.outputs)
      .field("value_shapes", v.value_shapes)
      .field("next_operation", v.next_operation)
      .field("next_value", v.next_value);
}

}  // namespace ostrand::graph

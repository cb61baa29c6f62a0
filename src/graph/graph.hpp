#pragma once
// The compute graph and its builder. Every builder call checks its operands and infers the result
// shape; a failing call returns a GraphError and leaves the graph as it was (no identifier used).

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/error.hpp"
#include "graph/ids.hpp"
#include "graph/operation.hpp"
#include "graph/shape.hpp"

namespace ostrand::graph {

// An input or parameter of the graph. Parameters (weights, normalisation scale and bias) carry the
// flag.
struct GraphInput {
  std::string name;
  TensorShape shape;
  ValueId value;
  bool is_parameter = false;

  bool operator==(const GraphInput&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const GraphInput& v) {
    return H::combine(std::move(h), v.name, v.shape, v.value, v.is_parameter);
  }
};

// A named, ordered list of values; a repeat consumes one entry per iteration.
struct ValueSequence {
  std::string name;
  std::vector<ValueId> values;

  bool operator==(const ValueSequence&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ValueSequence& v) {
    return H::combine(std::move(h), v.name, v.values);
  }
};

struct ComputeGraph {
  std::vector<GraphInput> inputs;
  std::vector<ValueSequence> value_sequences;
  std::vector<Operation> operations;
  std::vector<ValueId> outputs;
  ValueShapes value_shapes;
  std::uint32_t next_operation = 0;
  std::uint32_t next_value = 0;

  bool operator==(const ComputeGraph&) const = default;

  // A new input with the given shape (the shape is not checked); fails with EmptyName.
  [[nodiscard]] std::expected<ValueId, GraphError> input(std::string_view name, bool is_parameter,
                                                         TensorShape shape);
  // A parameter input of shape [rows, columns].
  [[nodiscard]] std::expected<ValueId, GraphError> parameter(std::string_view name, std::uint32_t rows,
                                                             std::uint32_t columns);

  [[nodiscard]] std::expected<ValueId, GraphError> layer_norm(ValueId input, ValueId scale, ValueId bias);
  [[nodiscard]] std::expected<ValueId, GraphError> gemm(ValueId left, ValueId right,
                                                        GemmOptions options = {});
  [[nodiscard]] std::expected<ValueId, GraphError> gelu(ValueId input);
  [[nodiscard]] std::expected<ValueId, GraphError> add(ValueId left, ValueId right);
  [[nodiscard]] std::expected<ValueId, GraphError> view(ValueId input, AxisFactorView view);
  [[nodiscard]] std::expected<ValueId, GraphError> slice(ValueId input, AxisSlice slice);
  [[nodiscard]] std::expected<ValueId, GraphError> flash_attention(ValueId query, ValueId key, ValueId value,
                                                                   AttentionOptions options);

  // A new value sequence. Fails with EmptyName, with UnknownValue for the first unknown member, or
  // with SequenceShape for the first member whose shape differs from the first member's.
  [[nodiscard]] std::expected<ValueSequenceId, GraphError> value_sequence(std::string_view name,
                                                                          std::vector<ValueId> values);

  // A counted loop over `body`. The body's arguments are the carried inputs, then the invariant
  // inputs, then one value per iterated sequence; it yields the next carried values, and the results
  // are the final carried values. Checks, in order: EmptyRepeat; UnknownValue for the inputs;
  // UnknownSequence and ShortSequence for the iterated sequences; YieldArity; InvalidShape when the
  // body's arguments do not match its inputs; UnknownValue for a body value without a shape;
  // YieldShape.
  [[nodiscard]] std::expected<std::vector<ValueId>, GraphError> repeat(std::uint32_t count,
                                                                       std::vector<ValueId> carried,
                                                                       std::vector<ValueId> invariant,
                                                                       std::vector<ValueSequenceId> iterated,
                                                                       Region body);

  // Replaces the outputs; fails with UnknownValue for the first unknown value, keeping the old ones.
  [[nodiscard]] std::expected<void, GraphError> set_outputs(std::vector<ValueId> values);

  [[nodiscard]] std::optional<TensorShape> value_shape(ValueId value) const;

  // One-result operation whose shape follows from `infer_shape`.
  [[nodiscard]] std::expected<ValueId, GraphError> inferred_result(OperationKind kind,
                                                                   std::vector<ValueId> operands);

  // Appends an operation with one fresh value per result shape and returns the result ids.
  [[nodiscard]] std::expected<std::vector<ValueId>, GraphError> append_operation(
      OperationKind kind, std::vector<ValueId> operands, std::span<const TensorShape> result_shapes);

  // The operation's direct inputs, then for a repeat the first `count` members of each iterated
  // sequence, sequence by sequence.
  [[nodiscard]] std::vector<ValueId> operation_inputs(const Operation& operation) const;

  // This graph as the body of a repeat: inputs become arguments and outputs become yields.
  [[nodiscard]] Region as_region() const;
};

void debug_write(DebugWriter& w, const GraphInput& v);
void debug_write(DebugWriter& w, const ValueSequence& v);
void debug_write(DebugWriter& w, const ComputeGraph& v);

}  // namespace ostrand::graph

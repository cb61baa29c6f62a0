#include "graph/graph.hpp"

#include <string>
#include <vector>

#include <absl/hash/hash_testing.h>
#include <gtest/gtest.h>

#include "support/print.hpp"

namespace ostrand::graph {
namespace {

GraphError unknown(std::uint32_t v) {
  return error::UnknownValue{ValueId{v}};
}

TEST(GraphBuilder, InputsAndResultsShareTheValueCounter) {
  ComputeGraph g;
  std::vector<ValueId> inputs;
  for (const char* name : {"a", "b", "c", "d", "e"}) inputs.push_back(*g.input(name, false, {8, 8}));
  EXPECT_EQ(inputs.front(), ValueId{0});
  const auto result = g.gemm(inputs[0], inputs[1]);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, ValueId{5});
  EXPECT_EQ(g.operations.back().id, OperationId{0});
  EXPECT_EQ(g.operations.back().inputs, (std::vector<ValueId>{ValueId{0}, ValueId{1}}));
  EXPECT_EQ(g.operations.back().results, (std::vector<ValueId>{ValueId{5}}));
  EXPECT_EQ(g.value_shape(*result), (TensorShape{8, 8}));
  EXPECT_EQ(g.value_shape(ValueId{6}), std::nullopt);
  EXPECT_EQ(g.next_value, 6u);
  EXPECT_EQ(g.next_operation, 1u);
}

TEST(GraphBuilder, ParameterIsAFlaggedTwoDimensionalInput) {
  ComputeGraph g;
  ASSERT_TRUE(g.parameter("w", 128, 64).has_value());
  EXPECT_EQ(g.inputs, (std::vector<GraphInput>{{"w", TensorShape{128, 64}, ValueId{0}, true}}));
}

TEST(GraphBuilder, FailuresConsumeNoIdentifiers) {
  ComputeGraph g;
  EXPECT_EQ(g.input("", false, {1}), std::unexpected(GraphError(error::EmptyName{})));
  const ValueId a = *g.input("a", false, {8, 128});
  EXPECT_EQ(a, ValueId{0});
  const ValueId b = *g.input("b", false, {64, 32});
  const ComputeGraph before = g;

  EXPECT_EQ(g.gemm(ValueId{9}, ValueId{8}), std::unexpected(unknown(9)));  // the left operand is named first
  EXPECT_EQ(g.gemm(a, ValueId{8}), std::unexpected(unknown(8)));
  EXPECT_EQ(g.gemm(a, b),
            std::unexpected(GraphError(error::InvalidShape{"GEMM inner dimensions do not match"})));
  EXPECT_EQ(g.layer_norm(a, a, ValueId{4}), std::unexpected(unknown(4)));
  EXPECT_EQ(g, before);

  // The next successful operation takes the next unused numbers.
  EXPECT_EQ(g.gelu(a), ValueId{2});
  EXPECT_EQ(g.operations.back().id, OperationId{0});
}

TEST(GraphBuilder, SetOutputsKeepsThePreviousOutputsOnFailure) {
  ComputeGraph g;
  const ValueId a = *g.input("a", false, {4});
  const ValueId b = *g.input("b", false, {4});
  ASSERT_TRUE(g.set_outputs({b, a}).has_value());
  EXPECT_EQ(g.outputs, (std::vector<ValueId>{b, a}));
  EXPECT_EQ(g.set_outputs({a, ValueId{5}, ValueId{6}}), std::unexpected(unknown(5)));
  EXPECT_EQ(g.outputs, (std::vector<ValueId>{b, a}));
}

TEST(GraphBuilder, EveryOperationKind) {
  ComputeGraph g;
  const ValueId x = *g.input("x", false, {2, 16, 64});
  const ValueId k = *g.input("k", false, {2, 32, 64});
  const ValueId v = *g.input("v", false, {2, 32, 64});
  const ValueId bias = *g.input("bias", true, {64});
  EXPECT_EQ(g.value_shape(*g.add(x, bias)), (TensorShape{2, 16, 64}));
  EXPECT_EQ(g.value_shape(*g.gelu(x)), (TensorShape{2, 16, 64}));
  EXPECT_EQ(g.value_shape(*g.view(x, {1, 2, 4, false})), (TensorShape{2, 4, 256}));
  EXPECT_EQ(g.value_shape(*g.slice(x, {1, 4, 8})), (TensorShape{2, 8, 64}));
  EXPECT_EQ(g.value_shape(*g.flash_attention(x, k, v, {false, InverseSqrtQueryWidth{}})),
            (TensorShape{2, 16, 64}));
  EXPECT_EQ(g.value_shape(*g.gemm(x, k, {false, true})), (TensorShape{2, 16, 32}));
  EXPECT_EQ(g.operations.size(), 6u);
  EXPECT_EQ(debug(g.operations[2].kind),
            "View(AxisFactorView { split_axis: 1, merge_axis: 2, factor: 4, reversed: false })");
  EXPECT_EQ(debug(g.operations[4].kind),
            "FlashAttention(AttentionOptions { causal: false, scale: InverseSqrtQueryWidth })");
  EXPECT_EQ(debug(g.operations[5]),
            "Operation { id: OperationId(5), inputs: [ValueId(0), ValueId(1)], results: [ValueId(9)], kind: "
            "Gemm(GemmOptions { transpose_left: false, transpose_right: true }) }");
}

TEST(GraphBuilder, EqualOperationsFromDifferentGraphsCompareEqual) {
  ComputeGraph first, second;
  for (ComputeGraph* g : {&first, &second}) {
    const ValueId a = *g->input("a", false, {8, 8});
    const ValueId b = *g->input(g == &first ? "b" : "other name", true, {8, 8});
    ASSERT_TRUE(g->gemm(a, b).has_value());
  }
  EXPECT_EQ(first.operations, second.operations);
  EXPECT_NE(first.inputs, second.inputs);
}

TEST(GraphBuilder, HashingFollowsEquality) {
  Region body;
  body.arguments = {ValueId{0}};
  body.yields = {ValueId{0}};
  body.value_shapes = {{ValueId{0}, TensorShape{4}}};
  Region other_body = body;
  other_body.value_shapes[ValueId{0}] = TensorShape{5};
  const auto repeat = [](Region r) { return op::Repeat{Repeat{3, 1, 0, {}, std::move(r)}}; };
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({
      OperationKind(op::Gemm{}),
      OperationKind(op::Gemm{{true, false}}),
      OperationKind(op::Gelu{}),
      OperationKind(op::LayerNorm{}),
      OperationKind(op::Add{}),
      OperationKind(op::View{{0, 1, 2, false}}),
      OperationKind(op::View{{0, 1, 2, true}}),
      OperationKind(op::Slice{{0, 1, 2}}),
      OperationKind(op::FlashAttention{{false, InverseSqrtQueryWidth{}}}),
      OperationKind(op::FlashAttention{{false, ValueBits{0x3f800000}}}),
      OperationKind(op::FlashAttention{{true, ValueBits{0x3f800000}}}),
      OperationKind(repeat(body)),
      OperationKind(repeat(other_body)),
  }));
}

// A graph with a value sequence and a loop whose body adds the iterated entry to the carried value.
class RepeatBuilder : public ::testing::Test {
 protected:
  void SetUp() override {
    state = *g.input("state", false, {4, 8});
    scale = *g.input("scale", true, {8});
    for (const char* name : {"w0", "w1", "w2"}) weights.push_back(*g.input(name, true, {8}));
    sequence = *g.value_sequence("weights", weights);
    // Body: arguments (carried state, invariant scale, iterated weight); yields state + weight.
    ComputeGraph b;
    const ValueId s = *b.input("state", false, {4, 8});
    const ValueId invariant = *b.input("scale", true, {8});
    const ValueId w = *b.input("weight", true, {8});
    const ValueId next = *b.add(s, w);
    (void)invariant;
    EXPECT_TRUE(b.set_outputs({next}).has_value());
    body = b.as_region();
  }

  std::expected<std::vector<ValueId>, GraphError> repeat(std::uint32_t count, Region r) {
    return g.repeat(count, {state}, {scale}, {sequence}, std::move(r));
  }

  ComputeGraph g;
  ValueId state, scale;
  std::vector<ValueId> weights;
  ValueSequenceId sequence;
  Region body;
};

TEST_F(RepeatBuilder, BuildsALoopOverTheSequence) {
  const auto results = repeat(2, body);
  ASSERT_TRUE(results.has_value());
  EXPECT_EQ(*results, (std::vector<ValueId>{ValueId{5}}));
  EXPECT_EQ(g.value_shape(ValueId{5}), (TensorShape{4, 8}));
  const Operation& loop = g.operations.back();
  EXPECT_EQ(loop.inputs, (std::vector<ValueId>{state, scale}));
  // The direct inputs, then the first `count` entries of the iterated sequence.
  EXPECT_EQ(g.operation_inputs(loop), (std::vector<ValueId>{state, scale, weights[0], weights[1]}));
  const auto* kind = std::get_if<op::Repeat>(&loop.kind);
  ASSERT_NE(kind, nullptr);
  EXPECT_EQ(kind->repeat.count, 2u);
  EXPECT_EQ(kind->repeat.carried_inputs, 1u);
  EXPECT_EQ(kind->repeat.invariant_inputs, 1u);
  EXPECT_EQ(*kind->repeat.body, body);
}

TEST_F(RepeatBuilder, OperationInputsOfOtherKindsAreTheirInputs) {
  const ValueId sum = *g.add(state, scale);
  (void)sum;
  EXPECT_EQ(g.operation_inputs(g.operations.back()), g.operations.back().inputs);
}

TEST_F(RepeatBuilder, ErrorsInTheOrderTheyAreChecked) {
  Region no_yield = body;
  no_yield.yields.clear();
  Region wrong_yield_shape = body;
  wrong_yield_shape.yields = {ValueId{1}};  // the [8] scale argument instead of the [4, 8] state
  Region missing_argument = body;
  missing_argument.arguments.pop_back();
  Region unknown_inside = body;
  unknown_inside.operations.front().inputs.push_back(ValueId{42});
  const ComputeGraph before = g;

  EXPECT_EQ(repeat(0, body), std::unexpected(GraphError(error::EmptyRepeat{})));
  EXPECT_EQ(g.repeat(2, {ValueId{77}}, {scale}, {sequence}, body), std::unexpected(unknown(77)));
  EXPECT_EQ(g.repeat(2, {state}, {scale}, {ValueSequenceId{3}}, body),
            std::unexpected(GraphError(error::UnknownSequence{ValueSequenceId{3}})));
  EXPECT_EQ(repeat(4, body), std::unexpected(GraphError(error::ShortSequence{sequence, 3, 4})));
  EXPECT_EQ(repeat(2, no_yield), std::unexpected(GraphError(error::YieldArity{1, 0})));
  EXPECT_EQ(
      repeat(2, missing_argument),
      std::unexpected(GraphError(error::InvalidShape{"repeat body arguments do not match its inputs"})));
  EXPECT_EQ(repeat(2, unknown_inside), std::unexpected(unknown(42)));
  EXPECT_EQ(repeat(2, wrong_yield_shape), std::unexpected(GraphError(error::YieldShape{0})));
  EXPECT_EQ(g, before);
}

TEST(ValueSequences, EntriesMustExistAndShareTheFirstShape) {
  ComputeGraph g;
  const ValueId a = *g.input("a", false, {4});
  const ValueId b = *g.input("b", false, {4});
  const ValueId c = *g.input("c", false, {5});
  EXPECT_EQ(g.value_sequence("", {a}), std::unexpected(GraphError(error::EmptyName{})));
  EXPECT_EQ(g.value_sequence("s", {a, ValueId{9}}), std::unexpected(unknown(9)));
  EXPECT_EQ(g.value_sequence("s", {a, b, c}), std::unexpected(GraphError(error::SequenceShape{2})));
  EXPECT_TRUE(g.value_sequences.empty());
  EXPECT_EQ(g.value_sequence("s", {a, b}), ValueSequenceId{0});
  EXPECT_EQ(g.value_sequence("t", {c}), ValueSequenceId{1});
  EXPECT_EQ(g.value_sequences[0], (ValueSequence{"s", {a, b}}));
}

}  // namespace
}  // namespace ostrand::graph

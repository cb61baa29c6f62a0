#include "graph/shape.hpp"

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/print.hpp"

namespace ostrand::graph {
namespace {

TEST(BroadcastShape, AlignsAtTheLastExtent) {
  struct Case {
    std::vector<std::uint32_t> left, right;
    std::expected<Extents, BroadcastError> expected;
  };
  const Case cases[] = {
      {{8, 1, 128}, {4, 128}, Extents{8, 4, 128}},
      {{4, 128}, {8, 1, 128}, Extents{8, 4, 128}},
      {{3}, {4}, std::unexpected(BroadcastError{3, 4})},
      {{}, {5, 6}, Extents{5, 6}},
      {{}, {}, Extents{}},
      {{2, 3}, {4, 3}, std::unexpected(BroadcastError{2, 4})},
      {{0}, {1}, Extents{0}},                                         // a 1 yields the other extent, even 0
      {{2, 5, 1}, {3, 1, 1, 7}, Extents{3, 2, 5, 7}},                 // aligned: (1,3) (2,1) (5,1) (1,7)
      {{2, 5, 3}, {4, 6, 1}, std::unexpected(BroadcastError{2, 4})},  // the outermost clash is reported
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(debug(c.left) + " with " + debug(c.right));
    EXPECT_EQ(broadcast_shape(c.left, c.right), c.expected);
  }
  EXPECT_EQ(display(BroadcastError{3, 4}), "dimensions 3 and 4 cannot be broadcast");
}

// A small graph of named shapes to infer against.
class InferShape : public ::testing::Test {
 protected:
  ValueId shape(std::vector<std::uint32_t> extents) {
    const ValueId id{static_cast<std::uint32_t>(shapes.size())};
    shapes.emplace(id, TensorShape(Extents(extents.begin(), extents.end())));
    return id;
  }
  std::expected<TensorShape, std::string> infer(const OperationKind& kind, std::vector<ValueId> operands) {
    return infer_shape(kind, operands, shapes);
  }
  ValueShapes shapes;
};

using Result = std::expected<TensorShape, std::string>;
Result fails(const char* message) {
  return std::unexpected(std::string(message));
}

TEST_F(InferShape, Gemm) {
  const ValueId x = shape({1, 8, 128}), w = shape({128, 128}), a = shape({8, 128}), b = shape({64, 32}),
                c = shape({32, 128}), vec = shape({128}), batched = shape({4, 1, 8, 128}),
                w3 = shape({3, 128, 16}), w5 = shape({5, 128, 16});
  const op::Gemm plain{}, right_t{{false, true}}, left_t{{true, false}};
  EXPECT_EQ(infer(plain, {x, w}), (TensorShape{1, 8, 128}));
  EXPECT_EQ(infer(plain, {a, b}), fails("GEMM inner dimensions do not match"));
  EXPECT_EQ(infer(right_t, {a, c}), (TensorShape{8, 32}));
  EXPECT_EQ(infer(left_t, {w, a}), fails("GEMM inner dimensions do not match"));  // [128, 128]^T x [8, 128]
  EXPECT_EQ(infer(left_t, {c, c}), (TensorShape{128, 128}));                      // [32, 128]^T x [32, 128]
  // A rank-1 operand is rejected even though its extent would match the inner dimension.
  EXPECT_EQ(infer(plain, {a, vec}), fails("GEMM inputs must have rank at least two"));
  EXPECT_EQ(infer(plain, {vec, w}), fails("GEMM inputs must have rank at least two"));
  // Batch extents broadcast: [4, 1] with [3] gives [4, 3]; [4, 1] with [5] too, [1] against 5 is fine.
  EXPECT_EQ(infer(plain, {batched, w3}), (TensorShape{4, 3, 8, 16}));
  EXPECT_EQ(infer(plain, {x, w3}), (TensorShape{3, 8, 16}));
  EXPECT_EQ(infer(plain, {shape({2, 8, 128}), w5}), fails("dimensions 2 and 5 cannot be broadcast"));
  // Missing operands are an arity error before any rank check.
  EXPECT_EQ(infer(plain, {vec}), fails("wrong input arity"));
  EXPECT_EQ(infer(plain, {vec, ValueId{999}}), fails("wrong input arity"));
}

TEST_F(InferShape, LayerNorm) {
  const ValueId x = shape({1, 8, 128}), v = shape({1, 1, 128}), flat = shape({128}), split = shape({2, 64}),
                scalar = shape({}), wrong = shape({64});
  const op::LayerNorm ln{};
  EXPECT_EQ(infer(ln, {x, v, v}), (TensorShape{1, 8, 128}));
  EXPECT_EQ(infer(ln, {x, flat, v}), (TensorShape{1, 8, 128}));
  const char* vectors = "layernorm scale/bias must be last-axis vectors";
  EXPECT_EQ(infer(ln, {x, split, v}), fails(vectors));  // 128 elements, but the last extent is 64
  EXPECT_EQ(infer(ln, {x, scalar, v}), fails(vectors));
  EXPECT_EQ(infer(ln, {x, v, wrong}), fails(vectors));  // the bias is checked like the scale
  EXPECT_EQ(infer(ln, {scalar, v, v}), fails("layernorm needs an axis"));
  EXPECT_EQ(infer(ln, {x}), fails("wrong input arity"));
  EXPECT_EQ(infer(ln, {x, v}), fails("wrong input arity"));
  EXPECT_EQ(infer(ln, {x, split}), fails(vectors));  // the scale is checked before the missing bias
  EXPECT_EQ(infer(ln, {}), fails("wrong input arity"));
}

TEST_F(InferShape, ElementwiseViewAndSlice) {
  const ValueId x = shape({1, 8, 128}), row = shape({128}), other = shape({3, 128}), m = shape({4, 6});
  EXPECT_EQ(infer(op::Gelu{}, {x}), (TensorShape{1, 8, 128}));
  EXPECT_EQ(infer(op::Gelu{}, {}), fails("wrong input arity"));
  EXPECT_EQ(infer(op::Add{}, {x, row}), (TensorShape{1, 8, 128}));
  EXPECT_EQ(infer(op::Add{}, {x, other}), fails("dimensions 8 and 3 cannot be broadcast"));
  EXPECT_EQ(infer(op::Add{}, {x}), fails("wrong input arity"));

  const char* bad_view = "view axes, factor, or output dimensions are invalid";
  EXPECT_EQ(infer(op::View{{0, 1, 1, false}}, {m}), (TensorShape{4, 6}));  // factor 1 changes nothing
  EXPECT_EQ(infer(op::View{{0, 1, 2, false}}, {m}), (TensorShape{2, 12}));
  EXPECT_EQ(infer(op::View{{0, 1, 3, true}}, {m}), (TensorShape{12, 2}));  // reversed: axis 1 is divided
  EXPECT_EQ(infer(op::View{{0, 1, 3, false}}, {m}), fails(bad_view));      // 4 is not a multiple of 3
  EXPECT_EQ(infer(op::View{{0, 0, 2, false}}, {m}), fails(bad_view));
  EXPECT_EQ(infer(op::View{{0, 1, 0, false}}, {m}), fails(bad_view));
  EXPECT_EQ(infer(op::View{{0, 2, 2, false}}, {m}), fails(bad_view));
  const ValueId huge = shape({2, 4294967295u});
  EXPECT_EQ(infer(op::View{{0, 1, 2, false}}, {huge}), fails(bad_view));  // the product leaves 32 bits
  EXPECT_EQ(infer(op::View{{0, 1, 2, false}}, {}), fails("wrong input arity"));

  const char* bad_slice = "slice lies outside its input";
  EXPECT_EQ(infer(op::Slice{{1, 5, 3}}, {x}), (TensorShape{1, 3, 128}));
  EXPECT_EQ(infer(op::Slice{{1, 3, 3}}, {m}), (TensorShape{4, 3}));  // ends exactly at the extent
  EXPECT_EQ(infer(op::Slice{{1, 2, 0}}, {m}), fails(bad_slice));     // empty even though start is inside
  EXPECT_EQ(infer(op::Slice{{1, 4, 3}}, {m}), fails(bad_slice));
  EXPECT_EQ(infer(op::Slice{{2, 0, 1}}, {m}), fails(bad_slice));
  EXPECT_EQ(infer(op::Slice{{1, 4294967295u, 2}}, {m}), fails(bad_slice));  // start + length overflows
  EXPECT_EQ(infer(op::Slice{{0, 0, 1}}, {}), fails("wrong input arity"));
}

TEST_F(InferShape, FlashAttention) {
  const ValueId q = shape({2, 16, 64}), k = shape({2, 32, 64}), v = shape({2, 32, 48}),
                k1 = shape({1, 32, 64}), v3 = shape({3, 32, 48}), q3 = shape({3, 16, 64}), flat = shape({64}),
                narrow = shape({2, 32, 32}), v_short = shape({2, 16, 48});
  const auto bits = [](float f) { return AttentionScale{ValueBits{std::bit_cast<std::uint32_t>(f)}}; };
  const auto attention = [](AttentionScale s) { return op::FlashAttention{{false, s}}; };
  const op::FlashAttention plain = attention(InverseSqrtQueryWidth{});
  EXPECT_EQ(infer(plain, {q, k, v}), (TensorShape{2, 16, 48}));
  EXPECT_EQ(infer(plain, {q3, k1, v3}), (TensorShape{3, 16, 48}));
  EXPECT_EQ(infer(plain, {q, k1, v3}), fails("dimensions 2 and 3 cannot be broadcast"));  // query against [3]
  EXPECT_EQ(infer(plain, {q, k, v3}), fails("dimensions 2 and 3 cannot be broadcast"));   // key against value
  EXPECT_EQ(infer(plain, {q, narrow, v}), fails("FlashAttention head or sequence dimensions do not match"));
  EXPECT_EQ(infer(plain, {q, k, v_short}), fails("FlashAttention head or sequence dimensions do not match"));
  EXPECT_EQ(infer(plain, {q, flat, v}), fails("FlashAttention inputs must have rank at least two"));
  EXPECT_EQ(infer(plain, {q, k}), fails("wrong input arity"));

  const char* bad_scale = "attention scale must be finite and positive";
  const float smallest_subnormal = std::numeric_limits<float>::denorm_min();
  EXPECT_EQ(infer(attention(bits(0.125F)), {q, k, v}), (TensorShape{2, 16, 48}));
  EXPECT_EQ(infer(attention(bits(smallest_subnormal)), {q, k, v}), (TensorShape{2, 16, 48}));
  for (const float scale : {0.0F, -0.0F, -0.5F, std::numeric_limits<float>::infinity(),
                            std::numeric_limits<float>::quiet_NaN()}) {
    SCOPED_TRACE(scale);
    EXPECT_EQ(infer(attention(bits(scale)), {q, k, v}), fails(bad_scale));
  }
}

TEST_F(InferShape, RepeatResultsComeFromCarriedValues) {
  EXPECT_EQ(infer(op::Repeat{}, {shape({2})}), fails("repeat result shapes are defined by carried values"));
}

TEST(ValidateInputs, NamesTheFirstUnknownValue) {
  const ValueShapes shapes{{ValueId{0}, TensorShape{1}}, {ValueId{2}, TensorShape{2}}};
  EXPECT_TRUE(validate_inputs(shapes, std::vector<ValueId>{ValueId{2}, ValueId{0}}).has_value());
  EXPECT_TRUE(validate_inputs(shapes, std::vector<ValueId>{}).has_value());
  const auto result = validate_inputs(shapes, std::vector<ValueId>{ValueId{0}, ValueId{3}, ValueId{1}});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), GraphError(error::UnknownValue{ValueId{3}}));
}

}  // namespace
}  // namespace ostrand::graph

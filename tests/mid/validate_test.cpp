#include "mid/validate.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ostrand::mid {
namespace {

using graph::OperationId;
using graph::TensorShape;
using tensor::F16;
using tensor::F32;
using tensor::F8F143;
using tensor::FromEnd;
using tensor::FromStart;
using tensor::Linear;
using tensor::Precision;

constexpr std::uint16_t device_tiles = 4;

tensor::TensorType tensor_of(TensorShape shape, Precision precision = F16{},
                             std::uint16_t tiles = device_tiles) {
  tensor::Layout layout = tensor::Layout::row_sharded(tiles);
  layout.tiling.tile_count = tiles;
  return {std::move(shape), {precision, layout}};
}

MidValueId id(std::uint32_t n) {
  return MidValueId{n};
}

MidOperation op(std::vector<MidValueId> inputs, std::vector<MidValueId> outputs, MidOperationKind kind,
                std::optional<OperationId> source = std::nullopt,
                std::optional<LocalSite> site = std::nullopt) {
  return MidOperation{std::move(inputs), std::move(outputs), std::move(site), std::move(kind), source};
}

// A program with the given values; `inputs` are program inputs, the operations' last output is the
// program's output.
MidProgram program_of(std::vector<tensor::TensorType> values, std::vector<std::uint32_t> inputs,
                      std::vector<MidOperation> operations) {
  MidProgram p;
  p.device_tiles = device_tiles;
  for (auto& v : values) p.add_value(std::move(v));
  for (const std::uint32_t i : inputs) p.inputs.push_back(MidInput{"", id(i), false});
  if (!operations.empty() && !operations.back().outputs.empty())
    p.outputs.push_back(operations.back().outputs[0]);
  p.operations = std::move(operations);
  return p;
}

// v0 -> v1 through one rearrangement; v1 is the output.
MidProgram copy_program() {
  return program_of({tensor_of({4, 8}), tensor_of({4, 8})}, {0}, {op({id(0)}, {id(1)}, Rearrange{})});
}

Compute kernel(TileKernelSpec spec, std::vector<OperandIndexing> operands, Aliases aliases = {}) {
  return Kernel{std::move(operands), std::move(aliases), std::move(spec)};
}

Product product(tensor::TensorAxis left = FromEnd{1}, tensor::TensorAxis right = FromEnd{2},
                tensor::TensorAxis output = FromEnd{1}) {
  Product p;
  p.left_axis = left;
  p.right_axis = right;
  p.output_axis = output;
  p.inner_block = 16;
  p.output_column_block = 16;
  return p;
}

// A repeat over v0 (carried) and v1 (invariant) with one iterated input [v2, v3]; the body's
// arguments are v4 (carried), v5 (invariant), v6 (iterated); it adds them into v7, which it yields;
// the final carried value is v8.
struct RepeatFixture {
  std::vector<tensor::TensorType> values = std::vector<tensor::TensorType>(9, tensor_of({4, 8}));
  Repeat repeat;
  RepeatFixture() {
    repeat.carried = 1;
    repeat.invariant = 1;
    repeat.count = 2;
    repeat.iterated = {{id(2), id(3)}};
    repeat.body = MidRegion{{id(4), id(5), id(6)},
                            {op({id(4), id(6)}, {id(7)}, kernel(kernels::Add{}, {}), OperationId{7})},
                            {id(7)}};
  }
  [[nodiscard]] MidProgram program() const {
    return program_of(values, {0, 1, 2, 3}, {op({id(0), id(1)}, {id(8)}, repeat, OperationId{7})});
  }
};

std::string failure(const MidProgram& p) {
  const auto result = validate(p);
  return result ? "valid" : display(result.error());
}

TEST(Validate, AcceptsWellFormedPrograms) {
  struct Case {
    std::string name;
    MidProgram program;
  };
  const TensorShape matrix{4, 8};
  std::vector<Case> cases;
  cases.push_back({"empty program", MidProgram{}});
  cases.push_back({"one operation from input to output", copy_program()});
  cases.push_back({"operations without a source never clash",
                   program_of({tensor_of(matrix), tensor_of(matrix), tensor_of(matrix)}, {0},
                              {op({id(0)}, {id(1)}, Rearrange{}, std::nullopt, LocalSite("x")),
                               op({id(1)}, {id(2)}, Rearrange{}, std::nullopt, LocalSite("x"))})});
  cases.push_back({"equal sites of different sources",
                   program_of({tensor_of(matrix), tensor_of(matrix), tensor_of(matrix)}, {0},
                              {op({id(0)}, {id(1)}, Rearrange{}, OperationId{1}, LocalSite("x")),
                               op({id(1)}, {id(2)}, Rearrange{}, OperationId{2}, LocalSite("x"))})});
  cases.push_back({"repeat", RepeatFixture().program()});
  cases.push_back(
      {"broadcast, windowed and cast kernels",
       program_of({tensor_of(matrix), tensor_of({8}), tensor_of({1, 8}), tensor_of(matrix), tensor_of(matrix),
                   tensor_of(matrix, F8F143{-1})},
                  {0, 1, 2},
                  {op({id(0), id(1), id(2)}, {id(3)},
                      kernel(kernels::Add{}, {indexing::Windowed{{{AxisRange{1, 0, 8}}}},
                                              indexing::Broadcast{0}, indexing::Broadcast{0}})),
                   op({id(3)}, {id(4)}, kernel(kernels::Gelu{}, {}, {{0, 0}})),
                   op({id(4)}, {id(5)}, kernel(kernels::Cast{F16{}, F8F143{-1}}, {indexing::Windowed{}}))})});
  cases.push_back(
      {"product and reduce",
       program_of({tensor_of({4, 16}), tensor_of({16, 8}), tensor_of({4, 8}), tensor_of({8})}, {0, 1},
                  {op({id(0), id(1)}, {id(2)}, Compute(product())),
                   op({id(2)}, {id(3)}, Compute(Reduce{Streamed{}, 0}))})});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failure(c.program), "valid");
  }
}

// One case per message; each mutates a valid program.
TEST(Validate, ReportsTheFirstFaultWithItsMessage) {
  struct Case {
    std::string name;
    std::function<MidProgram()> build;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"value whose id is not its position",
       [] {
         auto p = copy_program();
         p.values[1].id = id(5);
         return p;
       },
       "invalid or multiply defined value MidValueId(5)"},
      {"canonical value out of range",
       [] {
         auto p = copy_program();
         p.values[1].canonical = id(2);
         return p;
       },
       "invalid or multiply defined value MidValueId(1)"},
      {"layout without tiles",
       [] {
         auto p = copy_program();
         p.values[0].tensor.format.layout.tiling.tile_count = 0;
         return p;
       },
       "layout has an empty tile group"},
      {"value needing more tiles than the program has, read by nothing",
       [] {
         auto p = copy_program();
         p.add_value(tensor_of({4, 8}, F16{}, 8));
         return p;
       },
       "layout requires 8 tiles but the graph has 4"},
      {"owner embedding with a repeated tile",
       [] {
         auto p = copy_program();
         p.values[1].owners.embedding =
             std::make_shared<const std::vector<std::uint16_t>>(std::vector<std::uint16_t>{0, 1, 1, 3});
         return p;
       },
       "invalid owner embedding for 4 logical owners on 4 device tiles"},
      {"bad values are reported before bad operations",
       [] {
         auto p = copy_program();
         p.operations[0].inputs = {id(1)};
         p.values[1].owners.offset = 9;
         return p;
       },
       "invalid owner embedding for 4 logical owners on 4 device tiles"},
      {"program input out of range",
       [] {
         auto p = copy_program();
         p.inputs.push_back(MidInput{"", id(9), false});
         return p;
       },
       "invalid or multiply defined value MidValueId(9)"},
      {"operation output that is also a program input",
       [] {
         auto p = copy_program();
         p.inputs.push_back(MidInput{"", id(1), false});
         return p;
       },
       "invalid or multiply defined value MidValueId(1)"},
      {"operation output out of range",
       [] {
         auto p = copy_program();
         p.operations[0].outputs = {id(3)};
         return p;
       },
       "invalid or multiply defined value MidValueId(3)"},
      {"read of a value defined by a later operation, without source",
       [] {
         auto p = program_of({tensor_of({4, 8}), tensor_of({4, 8}), tensor_of({4, 8})}, {0},
                             {op({id(2)}, {id(1)}, Rearrange{}), op({id(0)}, {id(2)}, Rearrange{})});
         return p;
       },
       "operation None reads unavailable value MidValueId(2)"},
      {"read of a value that nothing defines, with source",
       [] {
         auto p = copy_program();
         p.add_value(tensor_of({4, 8}));
         p.operations[0].inputs = {id(2)};
         p.operations[0].source = OperationId{3};
         return p;
       },
       "operation Some(OperationId(3)) reads unavailable value MidValueId(2)"},
      {"repeat body reading a value of the enclosing region",
       [] {
         RepeatFixture f;
         f.repeat.body->operations[0].inputs = {id(0), id(6)};
         return f.program();
       },
       "operation Some(OperationId(7)) reads unavailable value MidValueId(0)"},
      {"repeat iterating over an unavailable value",
       [] {
         RepeatFixture f;
         f.repeat.iterated = {{id(2), id(8)}};
         return f.program();
       },
       "operation Some(OperationId(7)) reads unavailable value MidValueId(8)"},
      {"two operations at the same work site",
       [] {
         auto p = program_of({tensor_of({4, 8}), tensor_of({4, 8}), tensor_of({4, 8})}, {0},
                             {op({id(0)}, {id(1)}, Rearrange{}, OperationId{1}, LocalSite("pv").at(0)),
                              op({id(1)}, {id(2)}, Rearrange{}, OperationId{1}, LocalSite("pv").at(0))});
         return p;
       },
       "ambiguous work site WorkSite { source: OperationId(1), local: LocalSite { role: \"pv\", coordinates: "
       "[0] } "
       "}"},
      {"work sites are unique across nested regions",
       [] {
         RepeatFixture f;
         f.repeat.body->operations[0].site = LocalSite("loop");
         auto p = f.program();
         p.operations[0].site = LocalSite("loop");
         return p;
       },
       "ambiguous work site WorkSite { source: OperationId(7), local: LocalSite { role: \"loop\", "
       "coordinates: [] } "
       "}"},
      {"invalid kind rule",
       [] {
         auto p = copy_program();
         p.values[1].tensor.format.precision = F32{};
         p.operations[0].source = OperationId{2};
         return p;
       },
       "invalid executable operation Some(OperationId(2))"},
      {"repeat body errors are returned unchanged",
       [] {
         RepeatFixture f;
         f.repeat.body->operations[0].outputs = {id(7), id(0)};
         return f.program();
       },
       "invalid or multiply defined value MidValueId(0)"},
      {"region yielding an unavailable value",
       [] {
         auto p = copy_program();
         p.outputs = {id(1), id(0), id(5)};
         return p;
       },
       "region yields unavailable value MidValueId(5)"},
      {"repeat body yielding an unavailable value",
       [] {
         RepeatFixture f;
         f.repeat.body->yields = {id(8)};
         return f.program();
       },
       "region yields unavailable value MidValueId(8)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failure(c.build()), c.message);
  }
}

TEST(Validate, ErrorVariantsKeepTheirPayload) {
  auto p = copy_program();
  p.values[0].tensor.format.layout.tiling.tile_count = 6;
  const auto result = validate(p);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(),
            MidValidationError(validation_error::Layout{tensor::layout_error::TileCountExceedsGraph{6, 4}}));
  EXPECT_EQ(debug(result.error()), "Layout(TileCountExceedsGraph(6, 4))");
  p = copy_program();
  p.outputs = {id(7)};
  EXPECT_EQ(debug(validate(p).error()), "Invalid(\"region yields unavailable value MidValueId(7)\")");
  EXPECT_EQ(p.validate(), validate(p));
}

// Every arity, shape and precision rule of the operation kinds; each case breaks one rule of an
// otherwise valid single-operation program.
TEST(Validate, KindRulesRejectMalformedOperations) {
  struct Case {
    std::string name;
    std::vector<tensor::TensorType> values;  // the last values are the outputs
    std::vector<std::uint32_t> inputs;
    std::vector<std::uint32_t> outputs;
    MidOperationKind kind;
  };
  const TensorShape m{4, 8};
  const auto t = [](TensorShape s, Precision p = F16{}) { return tensor_of(std::move(s), p); };
  const auto product_with = [](auto change) {
    Product p = product();
    change(p);
    return Compute(p);
  };
  const auto repeat_with = [](auto change) {
    RepeatFixture f;
    change(f.repeat);
    return f.repeat;
  };
  const std::vector<Case> cases = {
      {"rearrange of two inputs", {t(m), t(m), t(m)}, {0, 1}, {2}, Rearrange{}},
      {"rearrange changing precision", {t(m), t(m, F8F143{0})}, {0}, {1}, Rearrange{}},
      {"rearrange changing the 8-bit exponent", {t(m, F8F143{1}), t(m, F8F143{2})}, {0}, {1}, Rearrange{}},
      {"product of one input", {t({4, 16}), t(m)}, {0}, {1}, Compute(product())},
      {"product of two outputs", {t({4, 16}), t({16, 8}), t(m), t(m)}, {0, 1}, {2, 3}, Compute(product())},
      {"product with a zero inner block",
       {t({4, 16}), t({16, 8}), t(m)},
       {0, 1},
       {2},
       product_with([](Product& p) { p.inner_block = 0; })},
      {"product with a zero column block",
       {t({4, 16}), t({16, 8}), t(m)},
       {0, 1},
       {2},
       product_with([](Product& p) { p.output_column_block = 0; })},
      {"product with a linear left axis",
       {t({4, 16}), t({16, 8}), t(m)},
       {0, 1},
       {2},
       product_with([](Product& p) { p.left_axis = Linear{}; })},
      {"product with a right axis beyond the rank",
       {t({4, 16}), t({16, 8}), t(m)},
       {0, 1},
       {2},
       product_with([](Product& p) { p.right_axis = FromStart{2}; })},
      {"product with output axis FromEnd(0)",
       {t({4, 16}), t({16, 8}), t(m)},
       {0, 1},
       {2},
       product_with([](Product& p) { p.output_axis = FromEnd{0}; })},
      {"product with output axis FromEnd(rank + 1)",
       {t({4, 16}), t({16, 8}), t(m)},
       {0, 1},
       {2},
       product_with([](Product& p) { p.output_axis = FromEnd{3}; })},
      {"product alias naming a missing input",
       {t({4, 16}), t({16, 8}), t(m)},
       {0, 1},
       {2},
       product_with([](Product& p) {
         p.aliases = {{0, 2}};
       })},
      {"product alias naming a missing output",
       {t({4, 16}), t({16, 8}), t(m)},
       {0, 1},
       {2},
       product_with([](Product& p) {
         p.aliases = {{1, 0}};
       })},
      {"kernel without outputs", {t(m)}, {0}, {}, kernel(kernels::Gelu{}, {})},
      {"kernel with more operands than inputs",
       {t(m), t(m)},
       {0},
       {1},
       kernel(kernels::Add{}, {indexing::Windowed{}, indexing::Windowed{}})},
      {"broadcast to a missing output",
       {t(m), t(m)},
       {0},
       {1},
       kernel(kernels::Add{}, {indexing::Broadcast{1}})},
      {"broadcast of a higher rank",
       {t({1, 4, 8}), t(m)},
       {0},
       {1},
       kernel(kernels::Add{}, {indexing::Broadcast{0}})},
      {"broadcast with a mismatched extent",
       {t({2, 8}), t(m)},
       {0},
       {1},
       kernel(kernels::Add{}, {indexing::Broadcast{0}})},
      {"window on a missing axis",
       {t(m), t(m)},
       {0},
       {1},
       kernel(kernels::Add{}, {indexing::Windowed{{{AxisRange{2, 0, 1}}}}})},
      {"empty window range",
       {t(m), t(m)},
       {0},
       {1},
       kernel(kernels::Add{}, {indexing::Windowed{{{AxisRange{1, 3, 3}}}}})},
      {"kernel alias out of range", {t(m), t(m)}, {0}, {1}, kernel(kernels::Gelu{}, {}, {{0, 1}})},
      {"packed gemm kernel", {t(m), t(m)}, {0}, {1}, kernel(kernels::PackedGemm{}, {})},
      {"cast from the wrong precision",
       {t(m, F32{}), t(m, F8F143{0})},
       {0},
       {1},
       kernel(kernels::Cast{F16{}, F8F143{0}}, {indexing::Windowed{}})},
      {"cast to the wrong precision",
       {t(m), t(m, F8F143{1})},
       {0},
       {1},
       kernel(kernels::Cast{F16{}, F8F143{0}}, {indexing::Windowed{}})},
      {"cast changing the shape",
       {t(m), t({8, 4}, F32{})},
       {0},
       {1},
       kernel(kernels::Cast{F16{}, F32{}}, {indexing::Windowed{}})},
      {"cast without its operand", {t(m), t(m, F32{})}, {0}, {1}, kernel(kernels::Cast{F16{}, F32{}}, {})},
      {"cast with two outputs",
       {t(m), t(m, F32{}), t(m, F32{})},
       {0},
       {1, 2},
       kernel(kernels::Cast{F16{}, F32{}}, {indexing::Windowed{}})},
      {"reduce of two inputs", {t(m), t(m), t({8})}, {0, 1}, {2}, Compute(Reduce{Complete{}, 0})},
      {"reduce over a missing axis", {t(m), t({4})}, {0}, {1}, Compute(Reduce{Complete{}, 2})},
      {"reduce changing precision", {t(m), t({8}, F32{})}, {0}, {1}, Compute(Reduce{Complete{}, 0})},
      {"reduce keeping the wrong axis", {t(m), t({4})}, {0}, {1}, Compute(Reduce{Complete{}, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<MidValueId> outputs;
    for (const std::uint32_t o : c.outputs) outputs.push_back(id(o));
    std::vector<MidValueId> inputs;
    for (const std::uint32_t i : c.inputs) inputs.push_back(id(i));
    const MidProgram p = program_of(c.values, c.inputs, {op(inputs, outputs, c.kind, OperationId{5})});
    EXPECT_EQ(failure(p), "invalid executable operation Some(OperationId(5))");
  }

  struct RepeatCase {
    std::string name;
    std::function<void(Repeat&)> change;
  };
  const std::vector<RepeatCase> repeat_cases = {
      {"zero count",
       [](Repeat& r) {
         r.count = 0;
         r.iterated = {{}};
       }},
      {"outputs differ from the carried count",
       [](Repeat& r) {
         r.carried = 2;
         r.invariant = 0;
       }},
      {"inputs differ from carried plus invariant", [](Repeat& r) { r.invariant = 2; }},
      {"carried plus invariant overflowing",
       [](Repeat& r) { r.invariant = std::numeric_limits<std::size_t>::max(); }},
      {"more yields than outputs",
       [](Repeat& r) {
         r.body->yields = {id(7), id(7)};
       }},
      {"arguments missing the iterated input",
       [](Repeat& r) {
         r.body->arguments = {id(4), id(5)};
         r.body->operations[0].inputs = {id(4), id(5)};
       }},
      {"iterated list shorter than the count", [](Repeat& r) { r.iterated = {{id(2)}}; }},
  };
  for (const RepeatCase& c : repeat_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(failure(program_of(RepeatFixture().values, {0, 1, 2, 3},
                                 {op({id(0), id(1)}, {id(8)}, repeat_with(c.change), OperationId{7})})),
              "invalid executable operation Some(OperationId(7))");
  }
}

}  // namespace
}  // namespace ostrand::mid

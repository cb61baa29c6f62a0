#include "mid/program.hpp"

#include <set>
#include <string>
#include <vector>

#include <absl/hash/hash_testing.h>
#include <gtest/gtest.h>

namespace ostrand::mid {
namespace {

using tensor::F16;
using tensor::F32;
using tensor::F8F143;

tensor::TensorType tensor_of(graph::TensorShape shape, tensor::Precision precision = F16{}) {
  return {std::move(shape), {precision, tensor::Layout::row_sharded(4)}};
}

TEST(LocalSite, ChildJoinsRolesAndKeepsCoordinates) {
  const LocalSite pv = LocalSite("pv").at(3).at(5);
  const LocalSite product = pv.child("product");
  EXPECT_EQ(product.role, "pv/product");
  EXPECT_EQ(product.coordinates, (std::vector<std::uint32_t>{3, 5}));
  EXPECT_EQ(pv.role, "pv");  // the parent is unchanged
}

TEST(LocalSite, AtAppendsToTheEnd) {
  const LocalSite base("qk", {1, 2});
  EXPECT_EQ(base.at(9).coordinates, (std::vector<std::uint32_t>{1, 2, 9}));
  EXPECT_EQ(base.coordinates, (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(LocalSite("x").at(0).at(7), LocalSite("x", {0, 7}));
}

TEST(WorkSite, OrdersBySourceThenSite) {
  const WorkSite a{graph::OperationId{1}, LocalSite("z")};
  const WorkSite b{graph::OperationId{2}, LocalSite("a")};
  const WorkSite c{graph::OperationId{2}, LocalSite("a", {0})};
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  const std::set<WorkSite> sites = {c, a, b, a};
  EXPECT_EQ(std::vector<WorkSite>(sites.begin(), sites.end()), (std::vector<WorkSite>{a, b, c}));
  EXPECT_LT(MidValueId{2}, MidValueId{10});
}

TEST(MidDebugText, IdsSitesAndOptionalSources) {
  EXPECT_EQ(debug(MidValueId{3}), "MidValueId(3)");
  EXPECT_EQ(debug(LocalSite("pv/product", {1, 0})),
            "LocalSite { role: \"pv/product\", coordinates: [1, 0] }");
  EXPECT_EQ(debug(WorkSite{graph::OperationId{4}, LocalSite("ln")}),
            "WorkSite { source: OperationId(4), local: LocalSite { role: \"ln\", coordinates: [] } }");
  EXPECT_EQ(debug(std::optional<graph::OperationId>{}), "None");
  EXPECT_EQ(debug(std::optional(graph::OperationId{3})), "Some(OperationId(3))");
  EXPECT_EQ(debug(OperandIndexing(indexing::Broadcast{1})), "Broadcast(1)");
  EXPECT_EQ(debug(OperandIndexing(indexing::Windowed{{{AxisRange{0, 2, 4}}}})),
            "Windowed(OperandWindow([AxisRange { axis: 0, start: 2, end: 4 }]))");
  EXPECT_EQ(debug(MidOperationKind(Compute(Reduce{Batched{3}, 1}))),
            "Compute(Reduce { staging: Batched(3), axis: 1 })");
  EXPECT_EQ(debug(MemoryPeaks{1, 2, 3, 4, 5}),
            "MemoryPeaks { standard: 1, interleaved: 2, total: 3, exchange_rows: 4, "
            "maximum_standard_allocation: 5 }");
}

TEST(OperandIndexing, BroadcastEqualityFollowsTheOutputIndex) {
  EXPECT_EQ(OperandIndexing(indexing::Broadcast{1}), OperandIndexing(indexing::Broadcast{1}));
  EXPECT_NE(OperandIndexing(indexing::Broadcast{1}), OperandIndexing(indexing::Broadcast{2}));
  // A broadcast never equals a window, not even the whole-operand window.
  EXPECT_NE(OperandIndexing(indexing::Broadcast{0}), OperandIndexing(indexing::Windowed{}));
}

TEST(Precision, F16EqualsF16AndF8ComparesItsExponent) {
  EXPECT_EQ(tensor::Precision(F16{}), tensor::Precision(F16{}));
  EXPECT_NE(tensor::Precision(F8F143{1}), tensor::Precision(F8F143{2}));
  EXPECT_NE(tensor::Precision(F16{}), tensor::Precision(F32{}));
}

MidOperation repeat_of(std::uint32_t count, MidRegion body) {
  Repeat r;
  r.body = std::move(body);
  r.carried = 1;
  r.count = count;
  return MidOperation{
      {MidValueId{0}}, {MidValueId{2}}, std::nullopt, MidOperationKind(std::move(r)), std::nullopt};
}

TEST(MidProgram, CopiesAreIndependentValues) {
  MidProgram program;
  program.device_tiles = 4;
  program.add_value(tensor_of({4, 8}));
  program.add_value(tensor_of({4, 8}));
  program.add_value(tensor_of({4, 8}));
  program.operations.push_back(repeat_of(2, MidRegion{{MidValueId{1}}, {}, {MidValueId{1}}}));
  MidProgram copy = program;
  EXPECT_EQ(copy, program);
  // Changing the copy's nested body leaves the original alone.
  std::get<Repeat>(copy.operations[0].kind).body->yields.clear();
  EXPECT_NE(copy, program);
  EXPECT_EQ(std::get<Repeat>(program.operations[0].kind).body->yields.size(), 1U);
}

TEST(MidProgram, AddValueNumbersValuesByPosition) {
  MidProgram program;
  EXPECT_EQ(program.add_value(tensor_of({2})), MidValueId{0});
  EXPECT_EQ(program.add_value(tensor_of({3}), {}, 7), MidValueId{1});
  EXPECT_EQ(program.value(MidValueId{1}).id, MidValueId{1});
  EXPECT_EQ(program.value(MidValueId{1}).canonical, MidValueId{1});
  EXPECT_EQ(program.value(MidValueId{1}).graph_value, 7U);
}

TEST(MidProgram, HashAgreesWithEquality) {
  const auto op = [](MidOperationKind kind, std::optional<graph::OperationId> source = std::nullopt) {
    return MidOperation{{MidValueId{0}}, {MidValueId{1}}, LocalSite("s"), std::move(kind), source};
  };
  Product product;
  product.inner_block = 16;
  Product limited = product;
  limited.inner_limit = 3;
  Kernel kernel{{indexing::Broadcast{0}}, {{0, 0}}, kernels::Cast{F16{}, F8F143{0}}};
  Kernel other_kernel = kernel;
  other_kernel.aliases.clear();
  Rearrange alias;
  alias.alias = true;
  Rearrange reserved;
  reserved.reserved = true;
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly({
      op(Rearrange{}),
      op(alias),
      op(reserved),
      op(Rearrange{}, graph::OperationId{1}),
      op(Compute(product)),
      op(Compute(limited)),
      op(Compute(kernel)),
      op(Compute(other_kernel)),
      op(Compute(Reduce{Complete{}, 0})),
      op(Compute(Reduce{Batched{2}, 0})),
      repeat_of(2, MidRegion{}),
      repeat_of(3, MidRegion{}),
      repeat_of(3, MidRegion{{MidValueId{1}}, {}, {}}),
  }));
}

}  // namespace
}  // namespace ostrand::mid

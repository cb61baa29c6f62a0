#include "driver.hpp"

#include <unistd.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/print.hpp"

namespace ostrand::examples {
namespace {

using graph::OperationId;
using graph::TensorShape;
using graph::ValueId;

TEST(ExampleGraph, ValuesAndOperationsInTableOrder) {
  const auto example = build_example_graph();
  ASSERT_TRUE(example.has_value()) << debug(example.error());
  const ExampleValues& v = example->values;
  const std::vector<ValueId> in_order = {v.x, v.scale, v.bias, v.normalised, v.w0, v.w1, v.h0, v.h1};
  for (std::uint32_t i = 0; i < in_order.size(); ++i) EXPECT_EQ(in_order[i], ValueId{i});

  const graph::ComputeGraph& g = example->graph;
  ASSERT_EQ(g.operations.size(), 3u);
  for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(g.operations[i].id, OperationId{i});
  EXPECT_EQ(g.operations[0].inputs, (std::vector<ValueId>{v.x, v.scale, v.bias}));
  EXPECT_EQ(g.operations[1].inputs, (std::vector<ValueId>{v.normalised, v.w0}));
  EXPECT_EQ(g.operations[2].inputs, (std::vector<ValueId>{v.normalised, v.w1}));
  EXPECT_EQ(g.outputs, (std::vector<ValueId>{v.h0, v.h1}));

  std::vector<std::string> inputs;
  for (const auto& input : g.inputs) inputs.push_back(fmt::format("{}:{}", input.name, input.is_parameter));
  EXPECT_EQ(inputs, (std::vector<std::string>{"x:false", "scale:true", "bias:true", "w0:true", "w1:true"}));
  for (const ValueId result : {v.normalised, v.h0, v.h1})
    EXPECT_EQ(g.value_shape(result), (TensorShape{1, 8, 128}));
  EXPECT_EQ(g.value_shape(v.w1), (TensorShape{128, 128}));
}

// The example with one product whose inner dimensions do not match.
std::expected<ExampleGraph, graph::GraphError> broken_graph() {
  ExampleGraph example;
  OSTRAND_TRY(example.values.x, example.graph.input("x", false, {1, 8, 128}));
  OSTRAND_TRY(example.values.w0, example.graph.parameter("w0", 64, 128));
  OSTRAND_TRY(example.values.h0, example.graph.gemm(example.values.x, example.values.w0));
  return example;
}

TEST(ExitProtocol, ABuilderErrorIsReportedOnStandardErrorOnly) {
  std::ostringstream out, err;
  const auto result = run(broken_graph, {}, out);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(exit_status(result, err), 1);
  EXPECT_EQ(err.str(), "Error: InvalidShape(\"GEMM inner dimensions do not match\")\n");
  EXPECT_EQ(out.str(), "");
}

TEST(ExitProtocol, SuccessPrintsNoError) {
  std::ostringstream out, err;
  EXPECT_EQ(main_entry({}, out, err), 0);
  EXPECT_EQ(err.str(), "");
}

// Runs the real planner executable with the given arguments.
struct ProcessResult {
  int status = -1;
  std::string out, err;
};

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ProcessResult run_planner(const std::string& arguments) {
  const auto dir = std::filesystem::temp_directory_path() / fmt::format("ostrand-driver-{}", ::getpid());
  std::filesystem::create_directories(dir);
  const auto out = dir / "out", err = dir / "err";
  const std::string command =
      fmt::format("'{}' {} >'{}' 2>'{}'", OSTRAND_PLAN_EXECUTABLE, arguments, out.string(), err.string());
  const int raw = std::system(command.c_str());
  ProcessResult result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(out), read_file(err)};
  std::filesystem::remove_all(dir);
  return result;
}

TEST(PlannerProcess, BuildsTheExampleAndExitsCleanly) {
  const ProcessResult result = run_planner("");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace ostrand::examples

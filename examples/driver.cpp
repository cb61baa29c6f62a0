#include "driver.hpp"

#include <ostream>

namespace ostrand::examples {

std::expected<ExampleGraph, graph::GraphError> build_example_graph() {
  ExampleGraph example;
  graph::ComputeGraph& g = example.graph;
  ExampleValues& v = example.values;
  // The builder calls in table order; the first failure ends the build.
  OSTRAND_TRY(v.x, g.input("x", false, {1, 8, 128}));
  OSTRAND_TRY(v.scale, g.input("scale", true, {1, 1, 128}));
  OSTRAND_TRY(v.bias, g.input("bias", true, {1, 1, 128}));
  OSTRAND_TRY(v.normalised, g.layer_norm(v.x, v.scale, v.bias));
  OSTRAND_TRY(v.w0, g.parameter("w0", 128, 128));
  OSTRAND_TRY(v.w1, g.parameter("w1", 128, 128));
  OSTRAND_TRY(v.h0, g.gemm(v.normalised, v.w0));
  OSTRAND_TRY(v.h1, g.gemm(v.normalised, v.w1));
  if (auto outputs = g.set_outputs({v.h0, v.h1}); !outputs) return std::unexpected(outputs.error());
  return example;
}

std::expected<void, ProgramError> run(const GraphSource& source, std::span<const std::string> /*arguments*/,
                                      std::ostream& /*out*/) {
  auto example = source();
  if (!example) return std::unexpected(ProgramError::from(example.error()));
  return {};
}

int exit_status(const std::expected<void, ProgramError>& result, std::ostream& err) {
  if (result) return 0;
  err << "Error: " << result.error().debug_text << '\n';
  err.flush();
  return 1;
}

int main_entry(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  return exit_status(run(build_example_graph, arguments, out), err);
}

}  // namespace ostrand::examples

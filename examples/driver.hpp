#pragma once
// The planning driver: builds the example graph (a layer normalisation feeding two matrix
// products), then plans it, and owns the exit protocol: any failure prints "Error: " and the
// error's debug text on standard error and ends the program with status 1.

#include <expected>
#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>

#include "graph/graph.hpp"
#include "util/check.hpp"
#include "util/debug.hpp"

namespace ostrand::examples {

// The values of the example graph, in creation order (value identifiers 0 to 7).
struct ExampleValues {
  graph::ValueId x, scale, bias, normalised, w0, w1, h0, h1;
};

struct ExampleGraph {
  graph::ComputeGraph graph;
  ExampleValues values;
};

// Builds the example graph in table order and sets its outputs to [h0, h1].
[[nodiscard]] std::expected<ExampleGraph, graph::GraphError> build_example_graph();

// Any error that ends the program, kept as the debug text it is reported with.
struct ProgramError {
  std::string debug_text;

  template <class E>
  [[nodiscard]] static ProgramError from(const E& error) {
    return ProgramError{debug(error)};
  }
};

using GraphSource = std::function<std::expected<ExampleGraph, graph::GraphError>()>;

// The whole run: builds the graph from `source`, then plans it, writing the report on `out`.
// `arguments` are the command-line arguments after the program name.
[[nodiscard]] std::expected<void, ProgramError> run(const GraphSource& source,
                                                    std::span<const std::string> arguments,
                                                    std::ostream& out);

// The exit protocol: 0 on success; otherwise "Error: {debug text}\n" on `err` and 1.
[[nodiscard]] int exit_status(const std::expected<void, ProgramError>& result, std::ostream& err);

// The program entry: runs on the example graph and returns the process exit status.
[[nodiscard]] int main_entry(std::span<const std::string> arguments, std::ostream& out, std::ostream& err);

}  // namespace ostrand::examples

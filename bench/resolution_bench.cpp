// Layout resolution over the operator catalogue of a 64-tile target, on the shapes of the example
// graph ([1, 8, 128] activations, [128, 128] weights, [1, 1, 128] normalisation vectors): the
// resolution of every operand and output requirement, the support check of every entry, and building
// the configuration itself.

#include <benchmark/benchmark.h>

#include <utility>
#include <vector>

#include "compile/config.hpp"
#include "planner/catalogue.hpp"
#include "planner/operator.hpp"
#include "tensor/resolved.hpp"

namespace {

using namespace ostrand;

const tensor::TensorShape activations{1, 8, 128};
const tensor::TensorShape weights{128, 128};
const tensor::TensorShape vectors{1, 1, 128};

// The example operation a catalogue plan would serve: its input shapes by family.
std::vector<tensor::TensorShape> example_inputs(const planner::OperatorPlan& plan) {
  if (std::holds_alternative<planner::family::Gemm>(plan.family)) return {activations, weights};
  if (std::holds_alternative<planner::family::LayerNorm>(plan.family)) return {activations, vectors, vectors};
  return std::vector<tensor::TensorShape>(plan.operands.size(), activations);
}

std::vector<planner::ConcreteOperatorCandidate> catalogue_64() {
  std::vector<planner::ConcreteOperatorCandidate> entries;
  for (const planner::OperatorCandidate& c : compile::PipelineConfig::create(64).operator_candidates) {
    if (const auto* concrete = std::get_if<planner::ConcreteOperatorCandidate>(&c))
      entries.push_back(*concrete);
  }
  return entries;
}

// Every (layout, shape) pair of the catalogue: each operand requirement against its example input,
// and the output against the example result.
std::vector<std::pair<tensor::Layout, tensor::TensorShape>> requirement_layouts() {
  std::vector<std::pair<tensor::Layout, tensor::TensorShape>> pairs;
  for (const planner::ConcreteOperatorCandidate& entry : catalogue_64()) {
    const auto shapes = example_inputs(entry.plan);
    for (std::size_t i = 0; i < entry.plan.operands.size(); ++i) {
      pairs.emplace_back(entry.plan.operands[i].format.layout, shapes[i]);
    }
    pairs.emplace_back(entry.plan.output.layout, activations);
  }
  return pairs;
}

void BM_ResolveCatalogueLayouts(benchmark::State& state) {
  const auto pairs = requirement_layouts();
  std::int64_t resolved = 0;
  for (auto _ : state) {
    resolved = 0;
    for (const auto& [layout, shape] : pairs) {
      auto r = layout.resolve(shape);
      resolved += r.has_value() ? 1 : 0;
      benchmark::DoNotOptimize(r);
    }
  }
  state.counters["layouts"] = static_cast<double>(pairs.size());
  state.counters["resolving"] = static_cast<double>(resolved);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(pairs.size()));
}
BENCHMARK(BM_ResolveCatalogueLayouts);

void BM_SupportsCatalogue(benchmark::State& state) {
  const auto entries = catalogue_64();
  std::vector<std::vector<tensor::TensorType>> inputs;
  for (const planner::ConcreteOperatorCandidate& entry : entries) {
    std::vector<tensor::TensorType> types;
    for (const tensor::TensorShape& shape : example_inputs(entry.plan)) types.push_back({shape, {}});
    inputs.push_back(std::move(types));
  }
  std::int64_t supported = 0;
  for (auto _ : state) {
    supported = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      supported += entries[i].plan.supports(inputs[i], activations) ? 1 : 0;
    }
    benchmark::DoNotOptimize(supported);
  }
  state.counters["plans"] = static_cast<double>(entries.size());
  state.counters["supported"] = static_cast<double>(supported);
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(entries.size()));
}
BENCHMARK(BM_SupportsCatalogue);

void BM_CreatePipelineConfig64(benchmark::State& state) {
  for (auto _ : state) {
    auto config = compile::PipelineConfig::create(64);
    benchmark::DoNotOptimize(config);
  }
}
BENCHMARK(BM_CreatePipelineConfig64);

}  // namespace

// Lowering and estimating every plan of the 64-tile catalogue that implements an operation of the
// example graph (its layer normalisation and its GEMMs) through a fresh fragment cache: the work a
// region search does once per distinct plan.

#include <benchmark/benchmark.h>

#include <variant>
#include <vector>

#include <tbb/parallel_for.h>

#include "compile/config.hpp"
#include "planner/cache.hpp"
#include "planner/catalogue.hpp"

namespace {

using namespace ostrand;
using namespace ostrand::planner;
using tensor::TensorShape;
using tensor::TensorType;

struct Request {
  OperatorPlan plan;
  std::vector<TensorType> inputs;
  TensorType output;
};

std::vector<Request> example_requests() {
  const TensorShape activations{1, 8, 128};
  const auto shapes_of = [](std::initializer_list<TensorShape> shapes) {
    std::vector<TensorType> types;
    for (const TensorShape& s : shapes)
      types.push_back(TensorType{s, {tensor::F16{}, tensor::Layout::row_sharded(1)}});
    return types;
  };
  std::vector<Request> requests;
  const compile::PipelineConfig config = compile::PipelineConfig::create(64);
  for (const OperatorCandidate& candidate : config.operator_candidates) {
    const auto* concrete = std::get_if<ConcreteOperatorCandidate>(&candidate);
    if (concrete == nullptr) continue;
    std::vector<TensorType> inputs;
    if (std::holds_alternative<family::LayerNorm>(concrete->plan.family)) {
      inputs = shapes_of({activations, {1, 1, 128}, {1, 1, 128}});
    } else if (std::holds_alternative<family::Gemm>(concrete->plan.family)) {
      inputs = shapes_of({activations, {128, 128}});
    } else {
      continue;
    }
    PlanTensorTypes types = concrete->plan.tensor_types(inputs, activations);
    requests.push_back({concrete->plan, std::move(types.inputs), std::move(types.output)});
  }
  return requests;
}

const std::vector<Request>& requests() {
  static const std::vector<Request> list = example_requests();
  return list;
}

void report(benchmark::State& state, std::size_t lowered) {
  state.counters["plans"] = static_cast<double>(requests().size());
  state.counters["lowered"] = static_cast<double>(lowered);
  state.counters["per_plan"] =
      benchmark::Counter(static_cast<double>(requests().size()),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_LowerExampleCatalogue(benchmark::State& state) {
  std::size_t lowered = 0;
  for (auto _ : state) {
    const FragmentCache cache;
    lowered = 0;
    for (const Request& r : requests()) lowered += cache.get(r.plan, r.inputs, r.output).has_value() ? 1 : 0;
  }
  report(state, lowered);
}
BENCHMARK(BM_LowerExampleCatalogue)->Unit(benchmark::kMillisecond);

void BM_LowerExampleCatalogueParallel(benchmark::State& state) {
  std::size_t lowered = 0;
  for (auto _ : state) {
    const FragmentCache cache;
    std::vector<char> present(requests().size(), 0);
    tbb::parallel_for(std::size_t{0}, requests().size(), [&](std::size_t i) {
      const Request& r = requests()[i];
      present[i] = cache.get(r.plan, r.inputs, r.output).has_value() ? 1 : 0;
    });
    lowered = 0;
    for (const char p : present) lowered += static_cast<std::size_t>(p);
  }
  report(state, lowered);
}
BENCHMARK(BM_LowerExampleCatalogueParallel)->Unit(benchmark::kMillisecond)->UseRealTime();

// Every request hits: the cost of the key copy, the locked probe and the shared pointer.
void BM_CachedLookups(benchmark::State& state) {
  const FragmentCache cache;
  for (const Request& r : requests()) (void)cache.get(r.plan, r.inputs, r.output);
  std::size_t lowered = 0;
  for (auto _ : state) {
    lowered = 0;
    for (const Request& r : requests()) lowered += cache.get(r.plan, r.inputs, r.output).has_value() ? 1 : 0;
  }
  report(state, lowered);
}
BENCHMARK(BM_CachedLookups)->Unit(benchmark::kMicrosecond);

}  // namespace

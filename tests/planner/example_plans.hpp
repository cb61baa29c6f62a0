#pragma once
// The concrete plans of the 64-tile configuration that implement an operation of the example graph:
// its layer normalisation and its GEMMs, each with the real shapes and the formats the plan requires.

#include <variant>
#include <vector>

#include "compile/config.hpp"
#include "planner/catalogue.hpp"
#include "planner/operator.hpp"
#include "planner/plan_fixtures.hpp"
#include "tensor/layout.hpp"

namespace ostrand::planner::fixtures {

struct PlanRequest {
  OperatorPlan plan;
  std::vector<tensor::TensorType> inputs;
  tensor::TensorType output;
};

inline std::vector<PlanRequest> example_plan_requests() {
  std::vector<PlanRequest> requests;
  const compile::PipelineConfig config = compile::PipelineConfig::create(64);
  for (const OperatorCandidate& candidate : config.operator_candidates) {
    const auto* concrete = std::get_if<ConcreteOperatorCandidate>(&candidate);
    if (concrete == nullptr) continue;
    const OperatorPlan& plan = concrete->plan;
    std::vector<tensor::TensorType> shapes;
    if (std::holds_alternative<family::LayerNorm>(plan.family)) {
      shapes = inputs_of({activations, vectors, vectors});
    } else if (std::holds_alternative<family::Gemm>(plan.family)) {
      shapes = inputs_of({activations, weights});
    } else {
      continue;
    }
    PlanTensorTypes types = plan.tensor_types(shapes, activations);
    requests.push_back(PlanRequest{plan, std::move(types.inputs), std::move(types.output)});
  }
  return requests;
}

}  // namespace ostrand::planner::fixtures

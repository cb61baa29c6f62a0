#pragma once
// The plans of the 64-tile catalogue that implement an operation of the example graph: its layer
// normalisation and its GEMMs, each with the real shapes and the formats the plan requires.

#include <variant>
#include <vector>

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
  for (const std::uint16_t tiles : candidate_active_tile_counts(64)) {
    for (const OperatorCandidate& candidate : operator_candidates_for_tile_count(tiles)) {
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
  }
  return requests;
}

}  // namespace ostrand::planner::fixtures

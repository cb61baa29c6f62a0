#pragma once
// Small builders shared by the planner tests: the example graph's tensor shapes and F16 formats.

#include <vector>

#include "planner/catalogue.hpp"
#include "planner/operator.hpp"
#include "support/print.hpp"
#include "tensor/layout.hpp"

namespace ostrand::planner::fixtures {

inline const tensor::TensorShape activations{1, 8, 128};
inline const tensor::TensorShape weights{128, 128};
inline const tensor::TensorShape vectors{1, 1, 128};

inline tensor::TensorFormat f16(tensor::Layout layout) {
  return tensor::TensorFormat{tensor::F16{}, std::move(layout)};
}

// Input types carry only their shapes into plan checks; the format is a placeholder.
inline std::vector<tensor::TensorType> inputs_of(std::initializer_list<tensor::TensorShape> shapes) {
  std::vector<tensor::TensorType> types;
  for (const tensor::TensorShape& shape : shapes) {
    types.push_back(tensor::TensorType{shape, f16(tensor::Layout::row_sharded(1))});
  }
  return types;
}

}  // namespace ostrand::planner::fixtures

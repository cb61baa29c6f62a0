#pragma once
// Small builders shared by the planner tests: the example graph's tensor shapes, F16 formats and
// printers so that failing expectations show debug texts.

#include <ostream>
#include <vector>

#include "planner/catalogue.hpp"
#include "planner/operator.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"

namespace ostrand::planner {
inline void PrintTo(const OperatorPlan& v, std::ostream* os) {
  *os << debug(v);
}
inline void PrintTo(const OperandRequirement& v, std::ostream* os) {
  *os << debug(v);
}
inline void PrintTo(const OperatorFamily& v, std::ostream* os) {
  *os << debug(v);
}
inline void PrintTo(const OperatorDispatch& v, std::ostream* os) {
  *os << debug(v);
}
inline void PrintTo(const OutputPolicy& v, std::ostream* os) {
  *os << debug(v);
}
inline void PrintTo(const ConcreteOperatorCandidate& v, std::ostream* os) {
  *os << debug(v);
}
inline void PrintTo(const OperatorCandidate& v, std::ostream* os) {
  *os << debug(v);
}
}  // namespace ostrand::planner

namespace ostrand::tensor {
inline void PrintTo(const TensorType& v, std::ostream* os) {
  *os << debug(v);
}
inline void PrintTo(const Layout& v, std::ostream* os) {
  *os << debug(v);
}
inline void PrintTo(const TensorFormat& v, std::ostream* os) {
  *os << debug(v);
}
}  // namespace ostrand::tensor

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

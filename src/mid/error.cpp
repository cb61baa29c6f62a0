#include "mid/error.hpp"

#include "util/overloaded.hpp"

namespace ostrand::mid {

std::string display(const MidValidationError& e) {
  return std::visit(Overloaded{
                        [](const validation_error::Invalid& v) { return v.message; },
                        [](const validation_error::Layout& v) { return tensor::display(v.error); },
                    },
                    e);
}

void debug_write(DebugWriter& w, const MidValidationError& e) {
  std::visit(Overloaded{
                 [&](const validation_error::Invalid& v) { w.tuple("Invalid", v.message); },
                 [&](const validation_error::Layout& v) { w.tuple("Layout", v.error); },
             },
             e);
}

}  // namespace ostrand::mid

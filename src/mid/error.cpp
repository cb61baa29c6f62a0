#include "mid/error.hpp"

namespace ostrand::mid {

std::string display(const MidValidationError& e) {
  if (const auto* invalid = std::get_if<validation_error::Invalid>(&e)) return invalid->message;
  return tensor::display(std::get<validation_error::Layout>(e).error);
}

void debug_write(DebugWriter& w, const MidValidationError& e) {
  if (const auto* invalid = std::get_if<validation_error::Invalid>(&e)) {
    w.tuple("Invalid", invalid->message);
  } else {
    w.tuple("Layout", std::get<validation_error::Layout>(e).error);
  }
}

}  // namespace ostrand::mid

#pragma once
// The error of mid-level program validation: a malformed program, or a value whose tile placement
// does not fit the program's device.

#include <string>
#include <utility>
#include <variant>

#include "tensor/error.hpp"
#include "util/debug.hpp"

namespace ostrand::mid {

namespace validation_error {
// A structural fault, with its full message.
struct Invalid {
  std::string message;
  bool operator==(const Invalid&) const = default;
};
// A value's layout or owner map does not fit the device.
struct Layout {
  tensor::LayoutError error;
  bool operator==(const Layout&) const = default;
};
}  // namespace validation_error

struct MidValidationError : std::variant<validation_error::Invalid, validation_error::Layout> {
  using variant::variant;
};

// The display message: the structural message, or the layout error's message.
[[nodiscard]] std::string display(const MidValidationError& e);

// Invalid("message") or Layout(<layout error debug text>).
void debug_write(DebugWriter& w, const MidValidationError& e);

}  // namespace ostrand::mid

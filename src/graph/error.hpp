#pragma once
// Errors of the graph builder.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "graph/ids.hpp"
#include "util/debug.hpp"

namespace ostrand::graph {

namespace error {
struct EmptyName {
  bool operator==(const EmptyName&) const = default;
};
struct UnknownValue {
  ValueId value;
  bool operator==(const UnknownValue&) const = default;
};
struct UnknownSequence {
  ValueSequenceId sequence;
  bool operator==(const UnknownSequence&) const = default;
};
struct EmptyRepeat {
  bool operator==(const EmptyRepeat&) const = default;
};
struct ShortSequence {
  ValueSequenceId sequence;
  std::size_t available = 0;
  std::uint32_t required = 0;
  bool operator==(const ShortSequence&) const = default;
};
struct YieldArity {
  std::size_t expected = 0;
  std::size_t actual = 0;
  bool operator==(const YieldArity&) const = default;
};
struct InvalidShape {
  std::string message;
  bool operator==(const InvalidShape&) const = default;
};
struct SequenceShape {
  std::size_t entry = 0;
  bool operator==(const SequenceShape&) const = default;
};
struct YieldShape {
  std::size_t index = 0;
  bool operator==(const YieldShape&) const = default;
};
}  // namespace error

struct GraphError : std::variant<error::EmptyName, error::UnknownValue, error::UnknownSequence,
                                 error::EmptyRepeat, error::ShortSequence, error::YieldArity,
                                 error::InvalidShape, error::SequenceShape, error::YieldShape> {
  using variant::variant;
};

// The display message, for example "value ValueId(3) is not available in this operation list".
[[nodiscard]] std::string display(const GraphError& e);

// The debug text, for example UnknownValue(ValueId(3)) or YieldArity { expected: 2, actual: 1 }.
void debug_write(DebugWriter& w, const GraphError& e);

}  // namespace ostrand::graph

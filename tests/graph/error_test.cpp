#include "graph/error.hpp"

#include <string>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/print.hpp"

namespace ostrand::graph {
namespace {

TEST(GraphError, MessagesAndDebugTexts) {
  struct Case {
    GraphError error;
    std::string display;
    std::string debug;
  };
  const Case cases[] = {
      {error::EmptyName{}, "graph name must not be empty", "EmptyName"},
      {error::UnknownValue{ValueId{7}}, "value ValueId(7) is not available in this operation list",
       "UnknownValue(ValueId(7))"},
      {error::UnknownSequence{ValueSequenceId{1}}, "value sequence ValueSequenceId(1) does not exist",
       "UnknownSequence(ValueSequenceId(1))"},
      {error::EmptyRepeat{}, "repeat count must be nonzero", "EmptyRepeat"},
      {error::ShortSequence{ValueSequenceId{2}, 3, 4},
       "value sequence ValueSequenceId(2) has 3 entries for 4 iterations",
       "ShortSequence { sequence: ValueSequenceId(2), available: 3, required: 4 }"},
      {error::YieldArity{2, 1}, "repeat body yielded 1 values for 2 carried values",
       "YieldArity { expected: 2, actual: 1 }"},
      {error::InvalidShape{"GEMM inner dimensions do not match"},
       "operation has invalid shapes: GEMM inner dimensions do not match",
       R"(InvalidShape("GEMM inner dimensions do not match"))"},
      {error::InvalidShape{"a \"quoted\"\nline"}, "operation has invalid shapes: a \"quoted\"\nline",
       R"(InvalidShape("a \"quoted\"\nline"))"},
      {error::SequenceShape{3}, "value sequence entry 3 has a different shape from its first entry",
       "SequenceShape { entry: 3 }"},
      {error::YieldShape{1}, "repeat yield 1 does not have the shape of carried value 1",
       "YieldShape { index: 1 }"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.debug);
    EXPECT_EQ(display(c.error), c.display);
    EXPECT_EQ(debug(c.error), c.debug);
    EXPECT_EQ(fmt::format("{}", c.error), c.debug);
  }
}

}  // namespace
}  // namespace ostrand::graph

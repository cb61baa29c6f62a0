#include "graph/error.hpp"

#include <fmt/format.h>

#include "util/overloaded.hpp"

namespace ostrand::graph {

std::string display(const GraphError& e) {
  return std::visit(
      Overloaded{
          [](const error::EmptyName&) -> std::string { return "graph name must not be empty"; },
          [](const error::UnknownValue& v) {
            return fmt::format("value {} is not available in this operation list", v.value);
          },
          [](const error::UnknownSequence& v) {
            return fmt::format("value sequence {} does not exist", v.sequence);
          },
          [](const error::EmptyRepeat&) -> std::string { return "repeat count must be nonzero"; },
          [](const error::ShortSequence& v) {
            return fmt::format("value sequence {} has {} entries for {} iterations", v.sequence, v.available,
                               v.required);
          },
          [](const error::YieldArity& v) {
            return fmt::format("repeat body yielded {} values for {} carried values", v.actual, v.expected);
          },
          [](const error::InvalidShape& v) {
            return fmt::format("operation has invalid shapes: {}", v.message);
          },
          [](const error::SequenceShape& v) {
            return fmt::format("value sequence entry {} has a different shape from its first entry", v.entry);
          },
          [](const error::YieldShape& v) {
            return fmt::format("repeat yield {} does not have the shape of carried value {}", v.index,
                               v.index);
          },
      },
      e);
}

void debug_write(DebugWriter& w, const GraphError& e) {
  std::visit(Overloaded{
                 [&](const error::EmptyName&) { w.raw("EmptyName"); },
                 [&](const error::UnknownValue& v) { w.tuple("UnknownValue", v.value); },
                 [&](const error::UnknownSequence& v) { w.tuple("UnknownSequence", v.sequence); },
                 [&](const error::EmptyRepeat&) { w.raw("EmptyRepeat"); },
                 [&](const error::ShortSequence& v) {
                   w.record("ShortSequence")
                       .field("sequence", v.sequence)
                       .field("available", v.available)
                       .field("required", v.required);
                 },
                 [&](const error::YieldArity& v) {
                   w.record("YieldArity").field("expected", v.expected).field("actual", v.actual);
                 },
                 [&](const error::InvalidShape& v) { w.tuple("InvalidShape", v.message); },
                 [&](const error::SequenceShape& v) { w.record("SequenceShape").field("entry", v.entry); },
                 [&](const error::YieldShape& v) { w.record("YieldShape").field("index", v.index); },
             },
             e);
}

}  // namespace ostrand::graph

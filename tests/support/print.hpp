#pragma once
// GoogleTest prints values of the system with their debug text. PrintTo is found by argument-
// dependent lookup, so it is declared in every namespace whose types tests compare; a std::expected
// or std::optional of such a type finds it through its template arguments.

#include <ostream>

#include "util/debug.hpp"

#define OSTRAND_TEST_PRINTER                                         \
  template <class T>                                                 \
  requires ::ostrand::HasDebugWrite<T>                               \
  void PrintTo(const T& value, std::ostream* os) {                   \
    *os << ::ostrand::debug(value);                                  \
  }                                                                  \
  template <class T, class E>                                        \
  void PrintTo(const std::expected<T, E>& value, std::ostream* os) { \
    *os << ::ostrand::debug(value);                                  \
  }                                                                  \
  template <class T>                                                 \
  requires ::ostrand::HasDebugWrite<T>                               \
  void PrintTo(const std::optional<T>& value, std::ostream* os) {    \
    *os << ::ostrand::debug(value);                                  \
  }

namespace ostrand {
OSTRAND_TEST_PRINTER
}
namespace ostrand::graph {
OSTRAND_TEST_PRINTER
}
namespace ostrand::tensor {
OSTRAND_TEST_PRINTER
}
namespace ostrand::storage {
OSTRAND_TEST_PRINTER
}
namespace ostrand::mid {
OSTRAND_TEST_PRINTER
}
namespace ostrand::kernel {
OSTRAND_TEST_PRINTER
}
namespace ostrand::estimate {
OSTRAND_TEST_PRINTER
}
namespace ostrand::planner {
OSTRAND_TEST_PRINTER
}
namespace ostrand::compile {
OSTRAND_TEST_PRINTER
}

#undef OSTRAND_TEST_PRINTER

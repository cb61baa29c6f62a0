#include "util/check.hpp"

#include <cstdio>
#include <cstdlib>

namespace ostrand::detail {

void check_failed(const char* condition, const char* message, const char* file, int line) {
  std::fprintf(stderr, "ostrand: invariant violated at %s:%d: %s (%s)\n", file, line, message, condition);
  std::fflush(stderr);
  std::abort();
}

}  // namespace ostrand::detail

#pragma once
// Broken invariants of our own are program faults: they abort in every build type.

namespace ostrand::detail {
[[noreturn]] void check_failed(const char* condition, const char* message, const char* file, int line);
}  // namespace ostrand::detail

#define OSTRAND_CHECK(condition, message)                                         \
  do {                                                                            \
    if (!(condition)) [[unlikely]]                                                \
      ::ostrand::detail::check_failed(#condition, (message), __FILE__, __LINE__); \
  } while (false)

// Propagates the error of a std::expected: `OSTRAND_TRY(auto x, make_x());`
#define OSTRAND_TRY(declaration, expression) \
  OSTRAND_TRY_IMPL(OSTRAND_TRY_CONCAT(ostrand_try_, __LINE__), declaration, expression)
#define OSTRAND_TRY_CONCAT_INNER(a, b) a##b
#define OSTRAND_TRY_CONCAT(a, b) OSTRAND_TRY_CONCAT_INNER(a, b)
#define OSTRAND_TRY_IMPL(tmp, declaration, expression)        \
  auto tmp = (expression);                                    \
  if (!tmp) return ::std::unexpected(std::move(tmp).error()); \
  declaration = std::move(*tmp)

#pragma once
// Saturating and checked arithmetic. Cycle and byte counts are 64-bit and saturate at the largest
// value, which also stands for "does not resolve" or "cannot be estimated"; narrower counts (tile
// numbers, extents) use the checked forms and report overflow as an empty optional.

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>

namespace ostrand {

inline constexpr std::uint64_t saturated = std::numeric_limits<std::uint64_t>::max();

[[nodiscard]] constexpr std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_add_overflow(a, b, &r) ? saturated : r;
}

[[nodiscard]] constexpr std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t r = 0;
  return __builtin_mul_overflow(a, b, &r) ? saturated : r;
}

// Subtraction that stops at zero.
[[nodiscard]] constexpr std::uint64_t sat_sub(std::uint64_t a, std::uint64_t b) {
  return a > b ? a - b : 0;
}

// Ceiling division; a zero divisor does not divide anything and gives the saturated value.
[[nodiscard]] constexpr std::uint64_t ceil_div(std::uint64_t a, std::uint64_t b) {
  if (b == 0) return saturated;
  return a / b + (a % b != 0 ? 1 : 0);
}

// `a` rounded up to a multiple of `m`, saturating; a zero multiple leaves `a` unchanged.
[[nodiscard]] constexpr std::uint64_t round_up(std::uint64_t a, std::uint64_t m) {
  if (m == 0) return a;
  return sat_mul(ceil_div(a, m), m);
}

// Saturating product narrowed to an unsigned type T (for example a 16-bit tile count).
template <std::unsigned_integral T>
[[nodiscard]] constexpr T sat_mul_as(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t r = sat_mul(a, b);
  return r > std::numeric_limits<T>::max() ? std::numeric_limits<T>::max() : static_cast<T>(r);
}

// Checked arithmetic in the width of T: an empty optional on overflow.
template <std::unsigned_integral T>
[[nodiscard]] constexpr std::optional<T> checked_mul(std::uint64_t a, std::uint64_t b) {
  T r = 0;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

template <std::unsigned_integral T>
[[nodiscard]] constexpr std::optional<T> checked_add(std::uint64_t a, std::uint64_t b) {
  T r = 0;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

// A 64-bit value narrowed to T when it fits.
template <std::unsigned_integral T>
[[nodiscard]] constexpr std::optional<T> narrow(std::uint64_t a) {
  if (a > std::numeric_limits<T>::max()) return std::nullopt;
  return static_cast<T>(a);
}

}  // namespace ostrand

#pragma once
// The hashing idiom: every value type hashes exactly the fields its equality compares, with
//   template <class H> friend H AbslHashValue(H h, const T& v) { return H::combine(std::move(h), ...); }
// Nested lists, optionals and variants hash structurally through Abseil.

#include <cstddef>
#include <optional>
#include <variant>

#include <absl/hash/hash.h>

namespace ostrand {

template <class T>
[[nodiscard]] std::size_t hash_of(const T& v) {
  return absl::Hash<T>{}(v);
}

// Hashes the active alternative of a std::variant (or of a type derived from one), its index first.
// The installed Abseil hashes only its own variant type, so every variant-based value type hashes
// through this helper.
template <class H, class... Ts>
H hash_variant(H h, const std::variant<Ts...>& v) {
  const std::size_t index = v.index();
  return std::visit(
      [&h, index](const auto& alternative) { return H::combine(std::move(h), index, alternative); }, v);
}

// The installed Abseil hashes a std::optional only through std::hash, so an optional of one of our
// types is hashed through this view: H::combine(std::move(h), v.a, hashed(v.maybe_b), v.c).
template <class T>
struct HashedOptional {
  const std::optional<T>& value;
  template <class H>
  friend H AbslHashValue(H h, const HashedOptional& v) {
    if (v.value.has_value()) return H::combine(std::move(h), true, *v.value);
    return H::combine(std::move(h), false);
  }
};

template <class T>
[[nodiscard]] HashedOptional<T> hashed(const std::optional<T>& v) {
  return {v};
}

}  // namespace ostrand

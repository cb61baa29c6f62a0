#pragma once
// The hashing idiom: every value type hashes exactly the fields its equality compares, with
//   template <class H> friend H AbslHashValue(H h, const T& v) { return H::combine(std::move(h), ...); }
// Nested lists hash structurally through Abseil. The Abseil build at hand hashes neither
// std::variant nor std::optional (it uses its own types), so std::variant-based types hash through
// hash_variant and optional fields of our own types through hashable_optional, below.

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
// Abseil hashes only its own variant type, so every std::variant-based value type hashes through
// this helper: `return hash_variant(std::move(h), v);`.
template <class H, class... Ts>
H hash_variant(H h, const std::variant<Ts...>& v) {
  h = H::combine(std::move(h), v.index());
  return std::visit([&h](const auto& alternative) { return H::combine(std::move(h), alternative); }, v);
}

// An optional field as an argument of H::combine: `H::combine(std::move(h), hashable_optional(v.x))`.
// An absent value and a present one never hash alike.
template <class T>
struct HashableOptional {
  const std::optional<T>& value;

  template <class H>
  friend H AbslHashValue(H h, const HashableOptional& v) {
    if (!v.value) return H::combine(std::move(h), false);
    return H::combine(std::move(h), *v.value, true);
  }
};

template <class T>
[[nodiscard]] HashableOptional<T> hashable_optional(const std::optional<T>& value) {
  return HashableOptional<T>{value};
}

}  // namespace ostrand

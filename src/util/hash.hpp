#pragma once
// The hashing idiom: every value type hashes exactly the fields its equality compares, with
//   template <class H> friend H AbslHashValue(H h, const T& v) { return H::combine(std::move(h), ...); }
// Nested lists and maps hash structurally through Abseil. The installed Abseil hashes only its own
// optional and variant types, so std::optional fields go through `hashed(...)` and types derived from
// std::variant hash through `hash_variant`.

#include <cstddef>
#include <optional>
#include <utility>
#include <variant>

#include <absl/hash/hash.h>

namespace ostrand {

template <class T>
[[nodiscard]] std::size_t hash_of(const T& v) {
  return absl::Hash<T>{}(v);
}

// Hashes the active alternative of a std::variant (or of a type derived from one), then its index.
template <class H, class... Ts>
H hash_variant(H h, const std::variant<Ts...>& v) {
  h = std::visit([&h](const auto& alternative) { return H::combine(std::move(h), alternative); }, v);
  return H::combine(std::move(h), v.index());
}

// A std::optional as a hashable field: the value when present, then whether it is present.
template <class T>
struct HashedOptional {
  const std::optional<T>& value;
  template <class H>
  friend H AbslHashValue(H h, const HashedOptional& o) {
    if (o.value) h = H::combine(std::move(h), *o.value);
    return H::combine(std::move(h), o.value.has_value());
  }
};

template <class T>
[[nodiscard]] HashedOptional<T> hashed(const std::optional<T>& value) {
  return {value};
}

}  // namespace ostrand

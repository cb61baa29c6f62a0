#pragma once
// The owner map of a mid-level value: which device tile holds each logical owner of its layout.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <vector>

#include "tensor/error.hpp"
#include "util/debug.hpp"

namespace ostrand::tensor {

struct OwnerMap {
  // Device tile numbers indexed by logical owner; absent means the identity.
  std::shared_ptr<const std::vector<std::uint16_t>> embedding;
  // A rotation applied to owner numbers.
  std::uint16_t offset = 0;

  // The device tile of `owner`, or nothing when the owner, the offset or the embedded tile is out of
  // range for `device_tiles`. Owners wrap around modulo the owner count after the rotation.
  [[nodiscard]] std::optional<std::uint16_t> tile(std::uint32_t owner, std::uint16_t device_tiles) const;

  // Whether the map embeds `logical_owners` owners into `device_tiles` distinct device tiles.
  [[nodiscard]] std::expected<void, LayoutError> validate(std::uint16_t logical_owners,
                                                          std::uint16_t device_tiles) const;

  // Compares and hashes the embedded tile list, not the pointer.
  friend bool operator==(const OwnerMap& a, const OwnerMap& b);
  // The presence flag comes last (as for an optional), so that no map's hash input is a suffix of
  // another's.
  template <class H>
  friend H AbslHashValue(H h, const OwnerMap& v) {
    h = H::combine(std::move(h), v.offset);
    if (v.embedding) return H::combine(std::move(h), *v.embedding, true);
    return H::combine(std::move(h), false);
  }
};

void debug_write(DebugWriter& w, const OwnerMap& v);

}  // namespace ostrand::tensor

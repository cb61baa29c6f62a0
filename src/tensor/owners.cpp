#include "tensor/owners.hpp"

#include <limits>

namespace ostrand::tensor {

namespace {
constexpr std::size_t max_embedding = std::numeric_limits<std::uint16_t>::max();
}

std::optional<std::uint16_t> OwnerMap::tile(std::uint32_t owner, std::uint16_t device_tiles) const {
  if (embedding && embedding->size() > max_embedding) return std::nullopt;
  const std::size_t n = embedding ? embedding->size() : device_tiles;
  if (owner >= n || offset >= n) return std::nullopt;
  const std::size_t h = (owner + offset) % n;
  const std::size_t tile = embedding ? (*embedding)[h] : h;
  if (tile >= device_tiles) return std::nullopt;
  return static_cast<std::uint16_t>(tile);
}

std::expected<void, LayoutError> OwnerMap::validate(std::uint16_t logical_owners,
                                                    std::uint16_t device_tiles) const {
  const auto invalid = std::unexpected(layout_error::InvalidOwnerEmbedding{logical_owners, device_tiles});
  if (embedding && embedding->size() > max_embedding) return invalid;
  const std::size_t n = embedding ? embedding->size() : device_tiles;
  if (logical_owners == 0 || device_tiles == 0 || device_tiles < logical_owners || n < logical_owners ||
      offset >= n) {
    return invalid;
  }
  if (embedding) {
    std::vector<bool> used(device_tiles, false);
    for (const std::uint16_t t : *embedding) {
      if (t >= device_tiles || used[t]) return invalid;
      used[t] = true;
    }
  }
  return {};
}

bool operator==(const OwnerMap& a, const OwnerMap& b) {
  if (a.offset != b.offset || (a.embedding == nullptr) != (b.embedding == nullptr)) return false;
  return a.embedding == nullptr || a.embedding == b.embedding || *a.embedding == *b.embedding;
}

void debug_write(DebugWriter& w, const OwnerMap& v) {
  auto record = w.record("OwnerMap");
  if (v.embedding) {
    record.field("embedding", std::optional(*v.embedding));
  } else {
    record.field("embedding", std::optional<std::vector<std::uint16_t>>());
  }
  record.field("offset", v.offset);
}

}  // namespace ostrand::tensor

#pragma once
// Errors of layout resolution and mid-level tile placement.

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "tensor/format.hpp"
#include "util/debug.hpp"

namespace ostrand::tensor {

namespace layout_error {
struct NonBijectiveTileMapping {
  std::uint16_t active_tiles = 0;
  bool operator==(const NonBijectiveTileMapping&) const = default;
};
struct InvalidOwnerEmbedding {
  std::uint16_t logical_owners = 0;
  std::uint16_t device_tiles = 0;
  bool operator==(const InvalidOwnerEmbedding&) const = default;
};
struct TileCountExceedsGraph {
  std::uint16_t required_tiles = 0;
  std::uint16_t available_tiles = 0;
  bool operator==(const TileCountExceedsGraph&) const = default;
};
struct EmptyTileGroup {
  bool operator==(const EmptyTileGroup&) const = default;
};
struct InvalidAxisTiling {
  bool operator==(const InvalidAxisTiling&) const = default;
};
struct TileCountOverflow {
  bool operator==(const TileCountOverflow&) const = default;
};
struct AxisOutsideRank {
  TensorAxis axis;
  std::size_t rank = 0;
  bool operator==(const AxisOutsideRank&) const = default;
};
struct AxisTiledTwice {
  std::size_t axis = 0;
  bool operator==(const AxisTiledTwice&) const = default;
};
struct ExtentNotDivisible {
  std::size_t axis = 0;
  std::uint32_t extent = 0;
  std::uint32_t block_size = 0;
  bool operator==(const ExtentNotDivisible&) const = default;
};
struct ShardNotDivisible {
  std::uint32_t shard_size = 0;
  std::uint32_t multiple = 0;
  bool operator==(const ShardNotDivisible&) const = default;
};
struct IndivisibleAxisExtent {
  std::uint16_t padding_groups = 0;
  std::uint16_t partitions = 0;
  std::uint32_t extent = 0;
  bool operator==(const IndivisibleAxisExtent&) const = default;
};
struct PaddedExtentOverflow {
  std::size_t axis = 0;
  bool operator==(const PaddedExtentOverflow&) const = default;
};
struct TileCountMismatch {
  std::uint16_t declared = 0;
  std::uint32_t implied = 0;
  bool operator==(const TileCountMismatch&) const = default;
};
struct InconsistentTileStrides {
  bool operator==(const InconsistentTileStrides&) const = default;
};
}  // namespace layout_error

struct LayoutError : std::variant<layout_error::NonBijectiveTileMapping, layout_error::InvalidOwnerEmbedding,
                                  layout_error::TileCountExceedsGraph, layout_error::EmptyTileGroup,
                                  layout_error::InvalidAxisTiling, layout_error::TileCountOverflow,
                                  layout_error::AxisOutsideRank, layout_error::AxisTiledTwice,
                                  layout_error::ExtentNotDivisible, layout_error::ShardNotDivisible,
                                  layout_error::IndivisibleAxisExtent, layout_error::PaddedExtentOverflow,
                                  layout_error::TileCountMismatch, layout_error::InconsistentTileStrides> {
  using variant::variant;
};

// The display message, for example "axis 1 is tiled more than once".
[[nodiscard]] std::string display(const LayoutError& e);

// The debug text: the variant name and its fields as a tuple, for example AxisTiledTwice(1).
void debug_write(DebugWriter& w, const LayoutError& e);

}  // namespace ostrand::tensor

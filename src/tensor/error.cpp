#include "tensor/error.hpp"

#include <fmt/format.h>

#include "util/overloaded.hpp"

namespace ostrand::tensor {

using namespace layout_error;

std::string display(const LayoutError& e) {
  return std::visit(
      Overloaded{
          [](const NonBijectiveTileMapping& v) {
            return fmt::format("tile mapping must be a bijection over {} active tiles", v.active_tiles);
          },
          [](const InvalidOwnerEmbedding& v) {
            return fmt::format("invalid owner embedding for {} logical owners on {} device tiles",
                               v.logical_owners, v.device_tiles);
          },
          [](const TileCountExceedsGraph& v) {
            return fmt::format("layout requires {} tiles but the graph has {}", v.required_tiles,
                               v.available_tiles);
          },
          [](const EmptyTileGroup&) -> std::string { return "layout has an empty tile group"; },
          [](const InvalidAxisTiling&) -> std::string {
            return "axis tiling must have nonzero partitions and block size";
          },
          [](const TileCountOverflow&) -> std::string { return "tile count calculation overflowed"; },
          [](const AxisOutsideRank& v) { return fmt::format("axis {} is outside rank {}", v.axis, v.rank); },
          [](const AxisTiledTwice& v) { return fmt::format("axis {} is tiled more than once", v.axis); },
          [](const ExtentNotDivisible& v) {
            return fmt::format("axis {} extent {} is not divisible by block size {}", v.axis, v.extent,
                               v.block_size);
          },
          [](const ShardNotDivisible& v) {
            return fmt::format("shard extent {} is not divisible by block size {}", v.shard_size, v.multiple);
          },
          [](const IndivisibleAxisExtent& v) {
            return fmt::format("axis extent {} cannot be divided into {} padding groups and {} partitions",
                               v.extent, v.padding_groups, v.partitions);
          },
          [](const PaddedExtentOverflow& v) {
            return fmt::format("padded extent for axis {} overflowed", v.axis);
          },
          [](const TileCountMismatch& v) {
            return fmt::format("layout declares {} tiles but its tiling implies {}", v.declared, v.implied);
          },
          [](const InconsistentTileStrides&) -> std::string {
            return "tile strides do not form the declared partition and replica mapping";
          },
      },
      e);
}

void debug_write(DebugWriter& w, const LayoutError& e) {
  std::visit(
      Overloaded{
          [&](const NonBijectiveTileMapping& v) { w.tuple("NonBijectiveTileMapping", v.active_tiles); },
          [&](const InvalidOwnerEmbedding& v) {
            w.tuple("InvalidOwnerEmbedding", v.logical_owners, v.device_tiles);
          },
          [&](const TileCountExceedsGraph& v) {
            w.tuple("TileCountExceedsGraph", v.required_tiles, v.available_tiles);
          },
          [&](const EmptyTileGroup&) { w.raw("EmptyTileGroup"); },
          [&](const InvalidAxisTiling&) { w.raw("InvalidAxisTiling"); },
          [&](const TileCountOverflow&) { w.raw("TileCountOverflow"); },
          [&](const AxisOutsideRank& v) { w.tuple("AxisOutsideRank", v.axis, v.rank); },
          [&](const AxisTiledTwice& v) { w.tuple("AxisTiledTwice", v.axis); },
          [&](const ExtentNotDivisible& v) { w.tuple("ExtentNotDivisible", v.axis, v.extent, v.block_size); },
          [&](const ShardNotDivisible& v) { w.tuple("ShardNotDivisible", v.shard_size, v.multiple); },
          [&](const IndivisibleAxisExtent& v) {
            w.tuple("IndivisibleAxisExtent", v.padding_groups, v.partitions, v.extent);
          },
          [&](const PaddedExtentOverflow& v) { w.tuple("PaddedExtentOverflow", v.axis); },
          [&](const TileCountMismatch& v) { w.tuple("TileCountMismatch", v.declared, v.implied); },
          [&](const InconsistentTileStrides&) { w.raw("InconsistentTileStrides"); },
      },
      e);
}

}  // namespace ostrand::tensor

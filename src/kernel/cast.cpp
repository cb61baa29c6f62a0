#include "kernel/cast.hpp"

#include <algorithm>
#include <variant>

#include "util/saturating.hpp"

namespace ostrand::kernel {

std::uint64_t cast_cycles(const tensor::Precision& from, const tensor::Precision& to, std::uint64_t elements,
                          std::uint64_t group) {
  const std::uint64_t e = elements;
  if (std::holds_alternative<tensor::F32>(from) && std::holds_alternative<tensor::F16>(to)) {
    return sat_add(330, sat_mul(48, ceil_div(e, 12)));
  }
  if (std::holds_alternative<tensor::F16>(from) && std::holds_alternative<tensor::F8F143>(to)) {
    if (group == 0) return sat_add(330, sat_mul(24, ceil_div(e, 48)));
    // Units of 32 groups. With groups of at most 32 elements and at least six units, the units are
    // spread over the six workers; otherwise every unit is paid in full.
    const std::uint64_t units = ceil_div(e, sat_mul(32, group));
    if (group > 32 || units < 6) {
      return sat_add(330, sat_mul(units, sat_add(120, sat_mul(72, ceil_div(group, 6)))));
    }
    return sat_add(330, sat_mul(ceil_div(units, 6), sat_add(120, sat_mul(72, group))));
  }
  // A plain move: read the source bytes and write the target bytes, 8 bytes per cycle.
  const std::uint64_t bytes_per_element = tensor::element_bytes(to) + tensor::element_bytes(from);
  return sat_add(11, ceil_div(sat_mul(e, bytes_per_element), 8));
}

std::optional<CastChunks> CastChunks::create(const tensor::ElementOrder& order,
                                             const graph::TensorShape& shape) {
  // The chunk axis, the elements per unit along it, and the bytes of one unit.
  std::size_t axis = 0;
  std::uint32_t unit_width = 0;
  std::uint64_t unit_bytes = 0;
  if (std::holds_alternative<tensor::RowMajor>(order) && shape.rank() == 1) {
    if (shape[0] % 8 != 0) return std::nullopt;
    unit_width = 8;
    unit_bytes = 16;
  } else if (std::holds_alternative<tensor::RowMajor>(order) && shape.rank() == 2) {
    if (shape[1] % 8 != 0 || shape[1] >= (std::uint32_t{1} << 31)) return std::nullopt;
    unit_width = 1;
    unit_bytes = 2 * std::uint64_t{shape[1]};
  } else if (const auto* amp = std::get_if<tensor::Amp>(&order);
             amp != nullptr && amp->order == tensor::AmpOrder::Left && shape.rank() == 2) {
    if (shape[1] % 32 != 0 || shape[0] > 0x3FFFFFF) return std::nullopt;
    axis = 1;
    unit_width = 32;
    unit_bytes = 64 * std::uint64_t{shape[0]};
  } else {
    return std::nullopt;
  }
  if (unit_bytes == 0 || unit_bytes > 32768) return std::nullopt;

  const std::uint32_t units = shape[axis] / unit_width;
  if (units == 0 || !checked_mul<std::uint32_t>(units, unit_bytes)) return std::nullopt;

  // The room for the next chunk grows with the bytes already cast: at byte offset o it is
  // (o rounded down to 32 KiB) - o / 2 + 32 KiB, and the chunk takes the units that fit in twice it.
  CastChunks chunks{{}, axis};
  std::uint32_t done = 0;
  while (done < units) {
    const std::optional<std::uint32_t> offset = checked_mul<std::uint32_t>(unit_bytes, done);
    if (!offset || *offset > 0xFFFF7FFF) return std::nullopt;
    const std::int64_t room = std::int64_t{*offset / 32768 * 32768} - std::int64_t{*offset / 2} + 32768;
    if (room < 0 || room > std::int64_t{0x7FFFFFFF}) return std::nullopt;
    const std::uint32_t take =
        std::min<std::uint64_t>(units - done, static_cast<std::uint64_t>(2 * room) / unit_bytes);
    if (take == 0) return std::nullopt;
    chunks.ranges.emplace_back(unit_width * done, unit_width * (done + take));
    done += take;
  }
  return chunks;
}

void debug_write(DebugWriter& w, const CastChunks& v) {
  w.record("CastChunks").field("ranges", v.ranges).field("axis", v.axis);
}

}  // namespace ostrand::kernel

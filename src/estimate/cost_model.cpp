#include "estimate/cost_model.hpp"

#include <algorithm>
#include <optional>
#include <variant>

#include "estimate/tensor.hpp"
#include "estimate/traffic.hpp"
#include "kernel/cast.hpp"
#include "tensor/resolved.hpp"
#include "util/saturating.hpp"

namespace ostrand::estimate {
namespace {

// Calibration of the IPU21 data-movement model.
constexpr std::uint64_t exchange_bytes_per_cycle = 4;
constexpr std::uint64_t exchange_fixed_cycles = 600;
constexpr std::uint64_t copy_bytes_per_cycle = 8;
constexpr std::uint64_t copy_cycles_per_piece = 288;
constexpr std::uint64_t exchange_cycles_per_fragment = 3;

bool is_row_major(const tensor::ElementOrder& order) {
  return std::holds_alternative<tensor::RowMajor>(order);
}

// The policy actually priced, or nothing when the move cannot be estimated: Automatic keeps equal
// orders (same variant and content) as they are and otherwise goes through row-major, which needs
// one side to be row-major.
std::optional<CopyPolicy> settle_policy(CopyPolicy policy, const tensor::ElementOrder& source,
                                        const tensor::ElementOrder& target) {
  if (policy == CopyPolicy::Automatic) {
    policy = source == target ? CopyPolicy::SameOrder : CopyPolicy::ThroughRowMajor;
  }
  if (policy == CopyPolicy::ThroughRowMajor && !is_row_major(source) && !is_row_major(target)) {
    return std::nullopt;
  }
  return policy;
}

// The largest per-tile handling cost of the exchange: a tile's send and receive cycles together.
std::uint64_t busiest_endpoint_cycles(const ExchangeEndpointTraffic& endpoints) {
  const std::size_t tiles = std::max(endpoints.sources.size(), endpoints.destinations.size());
  std::uint64_t busiest = 0;
  for (std::size_t u = 0; u < tiles; ++u) {
    const std::uint64_t sent = u < endpoints.sources.size() ? endpoints.sources[u].cycles : 0;
    const std::uint64_t received = u < endpoints.destinations.size() ? endpoints.destinations[u].cycles : 0;
    busiest = std::max(busiest, sat_add(sent, received));
  }
  return busiest;
}

std::uint64_t exchange_cycles(CopyPolicy policy, const tensor::TensorShape& shape,
                              const tensor::Precision& precision, const tensor::Layout& source,
                              const tensor::Layout& target, const ExchangeEndpointTraffic& endpoints) {
  const std::uint64_t payload = endpoints.maximum_payload_bytes();
  if (payload == 0) return 0;
  const std::uint64_t streaming = ceil_div(payload, exchange_bytes_per_cycle);
  std::uint64_t handling = busiest_endpoint_cycles(endpoints);
  if (policy == CopyPolicy::SameOrder) {
    // An order-keeping move sends contiguous fragments; their count replaces the per-piece handling
    // when it is known.
    const std::optional<std::uint64_t> fragments = grid_fragments(
        tensor::TensorType{shape, {precision, source}}, tensor::TensorType{shape, {precision, target}});
    if (fragments) handling = sat_mul(exchange_cycles_per_fragment, std::max<std::uint64_t>(*fragments, 1));
  }
  return sat_add(std::max(streaming, handling), exchange_fixed_cycles);
}

std::uint64_t local_cycles(CopyPolicy policy, const ConversionTraffic& traffic) {
  // Keeping the order copies only what is already in place; any other copy stages the whole
  // destination shard, reading and writing it.
  const bool in_place = policy == CopyPolicy::SameOrder;
  const std::uint64_t bytes =
      in_place ? traffic.local_tile_bytes : sat_mul(2, traffic.destination_shard_bytes);
  const std::uint64_t pieces = in_place ? traffic.local_tile_pieces : traffic.destination_shard_pieces;
  return sat_add(ceil_div(bytes, copy_bytes_per_cycle), sat_mul(copy_cycles_per_piece, pieces));
}

// The padded size of the largest shard of the innermost axis, or `elements` when the layout does
// not resolve, is linear or has no axes; at least 1.
std::uint64_t row_width(const tensor::TensorType& tensor, std::uint64_t elements) {
  std::uint64_t width = elements;
  const auto resolved = tensor.format.layout.resolve(tensor.shape);
  if (resolved && !resolved->linear_block && !resolved->axes.empty()) {
    width = resolved->axes.back().maximum_extent();
  }
  return std::max<std::uint64_t>(width, 1);
}

// The run of elements sharing one scale when `order` stores 8-bit values, for a shard of
// `elements` elements in rows of `width` (0 for none).
std::uint64_t scale_group(const tensor::ElementOrder& order, std::uint64_t elements, std::uint64_t width) {
  if (std::holds_alternative<tensor::RowMajor>(order)) return 0;
  if (const auto* block = std::get_if<tensor::BlockMajor>(&order)) return block->order.column_block;
  switch (std::get<tensor::Amp>(order).order) {
    case tensor::AmpOrder::Left: {
      // A single row whose width is a multiple of the 32-element vector needs no grouping.
      const std::uint64_t rows = elements / width;
      return rows == 1 && width % 32 == 0 ? 0 : rows;
    }
    case tensor::AmpOrder::TransposedLeft:
      return width;
    case tensor::AmpOrder::TransposedRight:
      return 16;
    case tensor::AmpOrder::Output:
    case tensor::AmpOrder::TransposedOutput:
      return 0;
  }
  return 0;
}

}  // namespace

std::uint64_t CostModel::cast_format_cycles(const tensor::TensorType& source,
                                            const tensor::TensorFormat& target) const {
  const tensor::TensorType on_target{source.shape, {source.format.precision, target.layout}};
  return cast_cycles(on_target, target.precision);
}

RearrangementCost Ipu21CostModel::rearrangement_cost(const tensor::TensorShape& shape,
                                                     const tensor::Precision& precision, CopyPolicy policy,
                                                     const tensor::Layout& source,
                                                     const tensor::Layout& target) const {
  const std::optional<CopyPolicy> settled = settle_policy(policy, source.order, target.order);
  if (!settled) return RearrangementCost::no_estimate();
  const auto traffic = conversion_traffic(shape, precision, source, target);
  if (!traffic) return RearrangementCost::no_estimate();
  const std::uint64_t exchange =
      exchange_cycles(*settled, shape, precision, source, target, traffic->endpoints);
  return {sat_add(local_cycles(*settled, *traffic), exchange), exchange};
}

std::uint64_t Ipu21CostModel::cast_cycles(const tensor::TensorType& tensor,
                                          const tensor::Precision& target) const {
  const tensor::Precision& precision = tensor.format.precision;
  // An unresolvable layout has the saturated shard size, which the kernel formula carries through.
  const std::uint64_t elements = ceil_div(maximum_shard_bytes(tensor), tensor::element_bytes(precision));
  const std::uint64_t width = row_width(tensor, elements);
  const std::uint64_t group = scale_group(tensor.format.layout.order, elements, width);
  return kernel::cast_cycles(precision, target, elements, group);
}

void debug_write(DebugWriter& w, CopyPolicy v) {
  switch (v) {
    case CopyPolicy::Automatic:
      w.raw("Automatic");
      return;
    case CopyPolicy::Reorder:
      w.raw("Reorder");
      return;
    case CopyPolicy::SameOrder:
      w.raw("SameOrder");
      return;
    case CopyPolicy::ThroughRowMajor:
      w.raw("ThroughRowMajor");
      return;
  }
}

void debug_write(DebugWriter& w, const RearrangementCost& v) {
  w.record("RearrangementCost").field("cycles", v.cycles).field("exchange_cycles", v.exchange_cycles);
}

void debug_write(DebugWriter& w, const RearrangementKey& v) {
  w.record("RearrangementKey")
      .field("shape", v.shape)
      .field("precision", v.precision)
      .field("policy", v.policy)
      .field("source", v.source)
      .field("target", v.target);
}

}  // namespace ostrand::estimate

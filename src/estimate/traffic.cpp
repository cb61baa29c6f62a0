#include "estimate/traffic.hpp"

#include <algorithm>
#include <cstddef>
#include <variant>

#include <absl/container/flat_hash_map.h>

#include "tensor/resolved.hpp"
#include "util/check.hpp"
#include "util/saturating.hpp"

namespace ostrand::estimate {
namespace {

// One distinct box (its real data, without padding) and the tiles that hold it, in ascending order.
struct BoxGroup {
  RangeBox key;
  std::vector<std::uint16_t> tiles;
};

bool holds_nothing(const RangeBox& box) {
  return std::ranges::any_of(box, [](const Range& r) { return r.first >= r.second; });
}

// Groups the boxes of a layout by their real extent, so that replicas are handled once.
std::vector<BoxGroup> group_boxes(const TileBoxes& boxes) {
  std::vector<BoxGroup> groups;
  absl::flat_hash_map<RangeBox, std::size_t> index;  // looked up, never iterated
  for (const auto& [tile, box] : boxes) {
    RangeBox key;
    for (const tensor::ShardExtent& extent : box) key.emplace_back(extent.start, extent.end);
    const auto [it, inserted] = index.try_emplace(key, groups.size());
    if (inserted) groups.push_back({std::move(key), {}});
    groups[it->second].tiles.push_back(tile);
  }
  for (BoxGroup& group : groups) {
    std::ranges::sort(group.tiles);
    const auto duplicates = std::ranges::unique(group.tiles);
    group.tiles.erase(duplicates.begin(), duplicates.end());
  }
  return groups;
}

// The first index in [lo, hi) for which `pred` is false, for a predicate that holds on a prefix.
template <class Pred>
std::size_t first_false(std::size_t lo, std::size_t hi, Pred pred) {
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (pred(mid)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// The source boxes holding data, sorted by rank and then lexicographically by their ranges. Boxes
// that share their ranges on the first k axes form one contiguous run, so the boxes meeting a
// destination box are found axis by axis, narrowing the run with binary searches: the cost follows
// the number of pieces, not the number of source boxes.
class SourceIndex {
 public:
  explicit SourceIndex(const std::vector<BoxGroup>& groups) : groups_(groups) {
    for (std::size_t g = 0; g < groups.size(); ++g) {
      const RangeBox& key = groups[g].key;
      if (holds_nothing(key)) continue;
      order_.push_back(g);
      if (longest_.size() < key.size()) longest_.resize(key.size(), 0);
      for (std::size_t axis = 0; axis < key.size(); ++axis) {
        longest_[axis] = std::max(longest_[axis], key[axis].second - key[axis].first);
      }
    }
    std::ranges::stable_sort(order_, [&](std::size_t a, std::size_t b) {
      const RangeBox& x = groups_[a].key;
      const RangeBox& y = groups_[b].key;
      if (x.size() != y.size()) return x.size() < y.size();
      return std::ranges::lexicographical_compare(x, y);
    });
  }

  // Calls `meet(group)` for every source group whose box overlaps `box` on every axis.
  template <class Meet>
  void visit(const RangeBox& box, Meet&& meet) const {
    const std::size_t rank = box.size();
    const std::size_t lo = first_false(0, order_.size(), [&](std::size_t i) { return key(i).size() < rank; });
    const std::size_t hi =
        first_false(lo, order_.size(), [&](std::size_t i) { return key(i).size() == rank; });
    visit_axis(box, 0, lo, hi, meet);
  }

 private:
  const RangeBox& key(std::size_t i) const { return groups_[order_[i]].key; }

  // The run [lo, hi) shares its ranges on the axes before `axis`.
  template <class Meet>
  void visit_axis(const RangeBox& box, std::size_t axis, std::size_t lo, std::size_t hi, Meet& meet) const {
    if (axis == box.size()) {
      for (std::size_t i = lo; i < hi; ++i) meet(order_[i]);
      return;
    }
    const auto [start, end] = box[axis];
    if (start >= end) return;  // an empty range meets nothing
    const auto range = [&](std::size_t i) { return key(i)[axis]; };
    // A range that starts at least its axis's longest range before `start` ends by `start`.
    std::size_t i = first_false(
        lo, hi, [&](std::size_t j) { return std::uint64_t{range(j).first} + longest_[axis] <= start; });
    const std::size_t stop = first_false(i, hi, [&](std::size_t j) { return range(j).first < end; });
    while (i < stop) {
      const Range current = range(i);
      const std::size_t next = first_false(i, stop, [&](std::size_t j) { return range(j) <= current; });
      if (current.second > start) visit_axis(box, axis + 1, i, next, meet);
      i = next;
    }
  }

  const std::vector<BoxGroup>& groups_;
  std::vector<std::size_t> order_;
  std::vector<std::uint32_t> longest_;  // per axis, the longest range of any source box
};

ExchangeEndpointLoad& load_of(std::vector<ExchangeEndpointLoad>& loads, std::uint16_t tile) {
  if (loads.size() <= tile) loads.resize(std::size_t{tile} + 1);
  return loads[tile];
}

void add(ExchangeEndpointLoad& load, std::uint64_t bytes, std::uint64_t pieces, std::uint64_t cycles) {
  load.bytes = sat_add(load.bytes, bytes);
  load.pieces = sat_add(load.pieces, pieces);
  load.cycles = sat_add(load.cycles, cycles);
}

std::uint64_t box_elements(const RangeBox& box) {
  std::uint64_t elements = 1;
  for (const auto& [lo, hi] : box) elements = sat_mul(elements, hi - lo);
  return elements;
}

struct Piece {
  std::uint64_t bytes = 0;
  std::size_t source = 0;  // the source group it is cut from
  bool sent = false;
};

// --- Fragments -------------------------------------------------------------------------------

std::uint64_t longest_segment(const std::vector<Range>& segments) {
  std::uint64_t longest = 0;
  for (const auto& [start, end] : segments) longest = std::max<std::uint64_t>(longest, sat_sub(end, start));
  return longest;
}

// The product of the longest segments of the axes first, ..., last - 1.
std::uint64_t longest_product(const SegmentLists& lists, std::size_t first, std::size_t last) {
  std::uint64_t product = 1;
  for (std::size_t axis = first; axis < last; ++axis)
    product = sat_mul(product, longest_segment(lists[axis]));
  return product;
}

SegmentLists segment_lists(const tensor::ResolvedLayout& resolved) {
  SegmentLists lists;
  lists.reserve(resolved.axes.size());
  for (const tensor::ResolvedAxis& axis : resolved.axes) {
    std::vector<Range>& segments = lists.emplace_back();
    segments.reserve(axis.shards.size());
    for (const tensor::ShardExtent& shard : axis.shards) segments.emplace_back(shard.start, shard.padded_end);
  }
  return lists;
}

// AMP orders keep groups of `group` consecutive last-axis elements together: the group index
// becomes the outermost axis and each group one innermost run. Nothing when a last-axis segment
// does not start and end on a group boundary (or there is no last axis).
std::optional<SegmentLists> regroup(const SegmentLists& lists, std::uint32_t group) {
  if (lists.empty() || group == 0) return std::nullopt;
  const std::vector<Range>& last = lists.back();
  SegmentLists result;
  result.reserve(lists.size() + 1);
  std::vector<Range>& groups = result.emplace_back();
  for (const auto& [start, end] : last) {
    if (start % group != 0 || end % group != 0) return std::nullopt;
    groups.emplace_back(start / group, end / group);
  }
  result.insert(result.end(), lists.begin(), lists.end() - 1);
  result.push_back({{0, group}});
  return result;
}

}  // namespace

std::uint64_t ExchangeEndpointTraffic::maximum_payload_bytes() const {
  std::uint64_t largest = 0;
  for (const ExchangeEndpointLoad& load : sources) largest = std::max(largest, load.bytes);
  for (const ExchangeEndpointLoad& load : destinations) largest = std::max(largest, load.bytes);
  return largest;
}

std::optional<RangeBox> intersect_ranges(std::span<const Range> a, std::span<const Range> b) {
  if (a.size() != b.size()) return std::nullopt;
  RangeBox result;
  for (std::size_t axis = 0; axis < a.size(); ++axis) {
    const std::uint32_t lo = std::max(a[axis].first, b[axis].first);
    const std::uint32_t hi = std::min(a[axis].second, b[axis].second);
    if (lo >= hi) return std::nullopt;
    result.emplace_back(lo, hi);
  }
  return result;
}

ConversionTraffic shard_traffic(const TileBoxes& source, const TileBoxes& target,
                                std::uint64_t bytes_per_element) {
  const std::vector<BoxGroup> sources = group_boxes(source);
  const std::vector<BoxGroup> destinations = group_boxes(target);
  const SourceIndex index(sources);

  ConversionTraffic result;
  // What each destination tile finds on itself, over all the boxes it holds.
  std::size_t target_tiles = 0;
  for (const auto& [tile, box] : target) target_tiles = std::max(target_tiles, std::size_t{tile} + 1);
  std::vector<std::uint64_t> local_bytes(target_tiles, 0);
  std::vector<std::uint64_t> local_pieces(target_tiles, 0);
  std::vector<Piece> pieces;
  for (const BoxGroup& destination : destinations) {
    pieces.clear();
    index.visit(destination.key, [&](std::size_t g) {
      const std::optional<RangeBox> ranges = intersect_ranges(sources[g].key, destination.key);
      OSTRAND_CHECK(ranges.has_value(), "the source index yielded a box that does not overlap");
      pieces.push_back({sat_mul(box_elements(*ranges), bytes_per_element), g, false});
    });

    std::uint64_t shard_bytes = 0;
    for (const Piece& piece : pieces) shard_bytes = sat_add(shard_bytes, piece.bytes);
    result.destination_shard_bytes = std::max(result.destination_shard_bytes, shard_bytes);
    result.destination_shard_pieces = std::max<std::uint64_t>(result.destination_shard_pieces, pieces.size());

    for (const std::uint16_t tile : destination.tiles) {
      std::uint64_t received_bytes = 0;
      std::uint64_t received_pieces = 0;
      for (Piece& piece : pieces) {
        const std::vector<std::uint16_t>& holders = sources[piece.source].tiles;
        if (std::ranges::binary_search(holders, tile)) {
          local_bytes[tile] = sat_add(local_bytes[tile], piece.bytes);
          local_pieces[tile] = sat_add(local_pieces[tile], 1);
          continue;
        }
        received_bytes = sat_add(received_bytes, piece.bytes);
        received_pieces = sat_add(received_pieces, 1);
        // A piece several tiles lack travels once, from the lowest-numbered holder. The boxes of a
        // layout never share real data, so no other destination box asks for the same piece.
        if (!piece.sent) {
          piece.sent = true;
          add(load_of(result.endpoints.sources, holders.front()), piece.bytes, 1, 2);
        }
      }
      if (received_pieces > 0) {
        add(load_of(result.endpoints.destinations, tile), received_bytes, received_pieces,
            sat_mul(3, received_pieces));
      }
    }
  }
  for (std::size_t tile = 0; tile < target_tiles; ++tile) {
    result.local_tile_bytes = std::max(result.local_tile_bytes, local_bytes[tile]);
    result.local_tile_pieces = std::max(result.local_tile_pieces, local_pieces[tile]);
  }
  return result;
}

std::expected<ConversionTraffic, tensor::LayoutError> conversion_traffic(const tensor::TensorShape& shape,
                                                                         const tensor::Precision& precision,
                                                                         const tensor::Layout& source,
                                                                         const tensor::Layout& target) {
  OSTRAND_TRY(const TileBoxes source_boxes, source.shard_extents(shape));
  OSTRAND_TRY(const TileBoxes target_boxes, target.shard_extents(shape));
  return shard_traffic(source_boxes, target_boxes, tensor::element_bytes(precision));
}

std::optional<std::uint64_t> grid_fragments(const tensor::TensorType& source,
                                            const tensor::TensorType& target) {
  const tensor::TensorFormat& a = source.format;
  const tensor::TensorFormat& b = target.format;
  if (source.shape != target.shape || a.precision != b.precision || a.layout.order != b.layout.order) {
    return std::nullopt;
  }
  const auto resolved_a = a.layout.resolve(source.shape);
  const auto resolved_b = b.layout.resolve(target.shape);
  if (!resolved_a || !resolved_b || resolved_a->linear_block || resolved_b->linear_block) return std::nullopt;

  const SegmentLists segments_a = segment_lists(*resolved_a);
  const SegmentLists segments_b = segment_lists(*resolved_b);
  const std::uint32_t bytes = tensor::element_bytes(a.precision);
  if (segments_a == segments_b) return endpoint_fragments(segments_a, segments_b, bytes);

  const auto both_ways = [bytes](const SegmentLists& x, const SegmentLists& y) {
    return std::max(endpoint_fragments(x, y, bytes), endpoint_fragments(y, x, bytes));
  };
  if (std::holds_alternative<tensor::RowMajor>(a.layout.order)) return both_ways(segments_a, segments_b);
  const auto* amp = std::get_if<tensor::Amp>(&a.layout.order);
  if (amp == nullptr) return std::nullopt;
  std::uint32_t group = 0;
  if (amp->order == tensor::AmpOrder::Left) {
    group = 32 / bytes;  // one 32-byte vector of the row
  } else if (amp->order == tensor::AmpOrder::Output) {
    group = 16;
  } else {
    return std::nullopt;
  }
  const std::optional<SegmentLists> grouped_a = regroup(segments_a, group);
  if (!grouped_a) return std::nullopt;
  const std::optional<SegmentLists> grouped_b = regroup(segments_b, group);
  if (!grouped_b) return std::nullopt;
  return both_ways(*grouped_a, *grouped_b);
}

std::uint64_t endpoint_fragments(const SegmentLists& a, const SegmentLists& b,
                                 std::uint64_t bytes_per_element) {
  // The innermost axis on which the two cuts differ.
  std::optional<std::size_t> differing;
  for (std::size_t axis = std::min(a.size(), b.size()); axis-- > 0;) {
    if (a[axis] != b[axis]) {
      differing = axis;
      break;
    }
  }
  if (!differing)
    return ceil_div(sat_mul(bytes_per_element, longest_product(a, 0, a.size())), fragment_bytes);

  const std::size_t k = *differing;
  // The contiguous bytes behind one position of axis k.
  const std::uint64_t inner = sat_mul(bytes_per_element, longest_product(a, k + 1, a.size()));
  const std::vector<Range>& cut = b[k];
  std::uint64_t best = 0;
  std::size_t cursor = 0;
  for (const auto& [start, end] : a[k]) {
    while (cursor < cut.size() && cut[cursor].second <= start) ++cursor;
    if (cursor == cut.size()) continue;
    std::uint64_t fragments = 0;
    for (std::size_t j = cursor; j < cut.size() && cut[j].first < end; ++j) {
      const std::uint32_t lo = std::max(cut[j].first, start);
      const std::uint32_t hi = std::min(cut[j].second, end);
      const std::uint64_t overlap = hi > lo ? hi - lo : 0;
      fragments = sat_add(fragments, ceil_div(sat_mul(inner, overlap), fragment_bytes));
    }
    best = std::max(best, fragments);
  }
  return sat_mul(best, longest_product(a, 0, k));
}

void debug_write(DebugWriter& w, const ExchangeEndpointLoad& v) {
  w.record("ExchangeEndpointLoad")
      .field("bytes", v.bytes)
      .field("pieces", v.pieces)
      .field("cycles", v.cycles);
}

void debug_write(DebugWriter& w, const ExchangeEndpointTraffic& v) {
  w.record("ExchangeEndpointTraffic").field("sources", v.sources).field("destinations", v.destinations);
}

void debug_write(DebugWriter& w, const ConversionTraffic& v) {
  w.record("ConversionTraffic")
      .field("endpoints", v.endpoints)
      .field("destination_shard_bytes", v.destination_shard_bytes)
      .field("local_tile_bytes", v.local_tile_bytes)
      .field("destination_shard_pieces", v.destination_shard_pieces)
      .field("local_tile_pieces", v.local_tile_pieces);
}

}  // namespace ostrand::estimate

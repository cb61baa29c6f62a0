// Exchange traffic of layout changes and the fragment counts of same-order moves.

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "estimate/traffic.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"

namespace ostrand::estimate {
namespace {

using tensor::AxisTiling;
using tensor::ElementOrder;
using tensor::F16;
using tensor::F32;
using tensor::F8F143;
using tensor::FromStart;
using tensor::Layout;
using tensor::Padding;
using tensor::Precision;
using tensor::TensorShape;
using tensor::TensorType;

using Load = ExchangeEndpointLoad;

AxisTiling tiled(std::uint16_t axis, std::uint16_t partitions,
                 std::optional<std::uint16_t> stride = std::nullopt, std::uint32_t padding_multiple = 1,
                 Padding padding = Padding::Reject) {
  return AxisTiling::simple(FromStart{axis}, partitions, 1, padding_multiple, padding, stride);
}

Layout layout_of(std::uint16_t tiles, std::uint16_t replicas, const tensor::AxisTilings& axes) {
  Layout layout;
  layout.tiling.tile_count = tiles;
  layout.tiling.replicas = replicas;
  layout.tiling.axes = axes;
  return layout;
}

Layout linear(std::uint16_t tiles, std::uint32_t block) {
  return layout_of(tiles, 1, {AxisTiling::simple(tensor::Linear{}, 1, block, 1, Padding::Reject)});
}

// A box of real ranges with equal padded ends, one extent per axis.
tensor::ShardBox box_of(std::initializer_list<Range> ranges) {
  tensor::ShardBox box;
  std::uint16_t axis = 0;
  for (const auto& [start, end] : ranges) box.push_back({start, end, end, axis++});
  return box;
}

ConversionTraffic traffic(const TensorShape& shape, const Precision& precision, const Layout& source,
                          const Layout& target) {
  auto result = conversion_traffic(shape, precision, source, target);
  EXPECT_TRUE(result.has_value()) << tensor::display(result.error());
  return result.value_or(ConversionTraffic{});
}

TEST(ConversionTraffic, IdenticalLayoutsStayLocal) {
  // 4 tiles of 2 rows x 16 F16 elements: one local piece of 64 bytes each, nothing exchanged.
  const Layout rows = Layout::row_sharded(4);
  EXPECT_EQ(traffic({8, 16}, F16{}, rows, rows), (ConversionTraffic{{}, 64, 64, 1, 1}));
}

TEST(ConversionTraffic, ReplicatedSourceSendsFromItsLowestTile) {
  // Rows of [4, 8] F16 (16 bytes each): source tile t holds row t mod 4, so row 3 sits on tiles 3
  // and 7. Destination tiles 0 to 4 hold their own rows; tile 5 needs row 3.
  TileBoxes source;
  for (std::uint16_t t = 0; t < 8; ++t) source.emplace_back(t, box_of({{t % 4u, t % 4u + 1}, {0, 8}}));
  TileBoxes target;
  for (std::uint16_t t = 0; t < 5; ++t) target.emplace_back(t, box_of({{t % 4u, t % 4u + 1}, {0, 8}}));
  target.emplace_back(5, box_of({{3, 4}, {0, 8}}));

  const ConversionTraffic result = shard_traffic(source, target, 2);
  EXPECT_EQ(result.endpoints.sources, (std::vector<Load>{{}, {}, {}, {16, 1, 2}}));
  EXPECT_EQ(result.endpoints.destinations, (std::vector<Load>{{}, {}, {}, {}, {}, {16, 1, 3}}));
  EXPECT_EQ(result.destination_shard_bytes, 16u);
  EXPECT_EQ(result.local_tile_bytes, 16u);
}

TEST(ConversionTraffic, OnePieceNeededByTwoTilesIsSentOnce) {
  // 8 F32 elements on tile 0, wanted whole on tiles 0, 1 and 2.
  const Layout single = layout_of(1, 1, {});
  const Layout everywhere = layout_of(3, 3, {});
  EXPECT_EQ(traffic({8}, F32{}, single, everywhere),
            (ConversionTraffic{{{{32, 1, 2}}, {{}, {32, 1, 3}, {32, 1, 3}}}, 32, 32, 1, 1}));
}

TEST(ConversionTraffic, ReplicasRegroupedBetweenTiles) {
  // [4, 8] F16, rows of 16 bytes. Source tile t holds row t mod 4; target tile t holds row
  // (t / 2) mod 4. Target tiles 0 and 7 already hold their rows; tiles 2 and 3 both need row 1,
  // which tile 1 sends once (tile 5 holds it too), and likewise tile 2 sends row 2 to tiles 4 and 5.
  const Layout source = layout_of(8, 2, {tiled(0, 4, 1)});
  const Layout target = layout_of(8, 2, {tiled(0, 4)});
  const Load piece_sent{16, 1, 2};
  const Load piece_received{16, 1, 3};
  EXPECT_EQ(traffic({4, 8}, F16{}, source, target),
            (ConversionTraffic{{{piece_sent, piece_sent, piece_sent, piece_sent},
                                {{},
                                 piece_received,
                                 piece_received,
                                 piece_received,
                                 piece_received,
                                 piece_received,
                                 piece_received}},
                               16,
                               16,
                               1,
                               1}));
}

TEST(ConversionTraffic, PaddingIsNeverMoved) {
  // [6] F16. One tile holding [0, 6) padded to 8, against two shards [0, 4) and [4, 6) padded to 8.
  const Layout whole = layout_of(1, 1, {tiled(0, 1, std::nullopt, 8, Padding::Zero)});
  const Layout halves = layout_of(2, 1, {tiled(0, 2, std::nullopt, 4, Padding::Zero)});
  // Tile 1 receives 2 real elements (4 bytes), not the 4 padded ones.
  EXPECT_EQ(traffic({6}, F16{}, whole, halves),
            (ConversionTraffic{{{{4, 1, 2}}, {{}, {4, 1, 3}}}, 8, 8, 1, 1}));
  // The whole shard is 6 real elements, 12 bytes in two pieces; 8 of them are on tile 0 already.
  EXPECT_EQ(traffic({6}, F16{}, halves, whole),
            (ConversionTraffic{{{{}, {4, 1, 2}}, {{4, 1, 3}}}, 12, 8, 2, 1}));
}

TEST(ConversionTraffic, LinearLayoutsCutAtRows) {
  // [2, 4] F16 over 3 tiles of 3, 3 and 2 elements: tile 1 holds the end of row 0 and the start of
  // row 1. Each row-sharded tile takes its row in two pieces.
  EXPECT_EQ(traffic({2, 4}, F16{}, linear(3, 1), Layout::row_sharded(2)),
            (ConversionTraffic{{{{}, {2, 1, 2}, {4, 1, 2}}, {{2, 1, 3}, {4, 1, 3}}}, 8, 6, 2, 1}));
}

TEST(ConversionTraffic, LocalCountsAddUpOverTheBoxesOfOneTile) {
  // [3, 4] F16 in two runs of 6 elements: tile 0 holds row 0 and half of row 1, two boxes. The
  // largest destination shard is one 8-byte row, but tile 0 finds 12 bytes in 2 pieces on itself.
  EXPECT_EQ(traffic({3, 4}, F16{}, linear(2, 1), linear(2, 1)), (ConversionTraffic{{}, 8, 12, 1, 2}));
}

TEST(ConversionTraffic, FailsWhenALayoutCannotBeCut) {
  const TensorShape shape{4, 8};
  const Layout mismatched = layout_of(3, 1, {tiled(0, 2)});                    // declares 3 tiles, implies 2
  const Layout indivisible = layout_of(2, 1, {tiled(0, 2, std::nullopt, 3)});  // 4 rows are no multiple of 3
  const Layout fine = Layout::row_sharded(2);
  EXPECT_EQ(conversion_traffic(shape, F16{}, mismatched, fine).error(),
            mismatched.shard_extents(shape).error());
  EXPECT_EQ(conversion_traffic(shape, F16{}, fine, indivisible).error(),
            indivisible.shard_extents(shape).error());
  // The source is cut first.
  EXPECT_EQ(conversion_traffic(shape, F16{}, mismatched, indivisible).error(),
            mismatched.shard_extents(shape).error());
}

// The traffic computed directly from its definition: every source box against every destination
// box, sends de-duplicated by (lowest holder, ranges) over the whole conversion.
ConversionTraffic reference_traffic(const TileBoxes& source, const TileBoxes& target, std::uint64_t bytes) {
  using Key = std::vector<Range>;
  const auto group = [](const TileBoxes& boxes) {
    std::map<Key, std::vector<std::uint16_t>> map;
    for (const auto& [tile, box] : boxes) {
      Key key;
      for (const tensor::ShardExtent& e : box) key.emplace_back(e.start, e.end);
      map[key].push_back(tile);
    }
    for (auto& [key, tiles] : map) std::ranges::sort(tiles);
    return map;
  };
  const auto sources = group(source);
  const auto destinations = group(target);
  ConversionTraffic result;
  std::set<std::pair<std::uint16_t, Key>> sent;
  std::map<std::uint16_t, std::pair<std::uint64_t, std::uint64_t>> local;
  for (const auto& [d_key, d_tiles] : destinations) {
    std::vector<std::tuple<Key, std::uint64_t, const std::vector<std::uint16_t>*>> pieces;
    std::uint64_t total = 0;
    for (const auto& [s_key, s_tiles] : sources) {
      if (s_key.size() != d_key.size()) continue;
      const std::optional<RangeBox> r = intersect_ranges(s_key, d_key);
      if (!r) continue;
      std::uint64_t elements = 1;
      for (const auto& [lo, hi] : *r) elements *= hi - lo;
      pieces.emplace_back(Key(r->begin(), r->end()), elements * bytes, &s_tiles);
      total += elements * bytes;
    }
    result.destination_shard_bytes = std::max(result.destination_shard_bytes, total);
    result.destination_shard_pieces = std::max<std::uint64_t>(result.destination_shard_pieces, pieces.size());
    for (const std::uint16_t u : d_tiles) {
      Load received;
      for (const auto& [ranges, piece_bytes, holders] : pieces) {
        if (std::ranges::find(*holders, u) != holders->end()) {
          local[u].first += piece_bytes;
          local[u].second += 1;
          continue;
        }
        received = {received.bytes + piece_bytes, received.pieces + 1, received.cycles + 3};
        if (sent.emplace(holders->front(), ranges).second) {
          if (result.endpoints.sources.size() <= holders->front()) {
            result.endpoints.sources.resize(holders->front() + 1u);
          }
          Load& s = result.endpoints.sources[holders->front()];
          s = {s.bytes + piece_bytes, s.pieces + 1, s.cycles + 2};
        }
      }
      if (received.pieces > 0) {
        if (result.endpoints.destinations.size() <= u) result.endpoints.destinations.resize(u + 1u);
        Load& d = result.endpoints.destinations[u];
        d = {d.bytes + received.bytes, d.pieces + received.pieces, d.cycles + received.cycles};
      }
    }
  }
  for (const auto& [tile, counts] : local) {
    result.local_tile_bytes = std::max(result.local_tile_bytes, counts.first);
    result.local_tile_pieces = std::max(result.local_tile_pieces, counts.second);
  }
  return result;
}

// The axis-by-axis search for overlapping boxes finds exactly the pieces that comparing every
// source box with every destination box finds.
TEST(ConversionTraffic, MatchesTheDirectDefinition) {
  struct Case {
    const char* label;
    TensorShape shape;
    Layout source;
    Layout target;
  };
  const std::vector<Case> cases = {
      {"rows to rows", {12, 10}, Layout::row_sharded(3), Layout::row_sharded(4)},
      {"grid with replicas to strided grid",
       {12, 10},
       layout_of(12, 2, {tiled(0, 3), tiled(1, 2)}),
       layout_of(8, 1, {tiled(1, 2, 4), tiled(0, 4, 1)})},
      {"padded shards",
       {10, 6},
       layout_of(3, 1, {tiled(0, 3, std::nullopt, 4, Padding::Zero)}),
       layout_of(2, 1, {tiled(1, 2, std::nullopt, 4, Padding::Zero)})},
      {"linear to rows", {10, 6}, linear(5, 2), Layout::row_sharded(5)},
      {"rows to linear", {10, 6}, Layout::row_sharded(5), linear(7, 3)},
      {"linear to linear", {10, 6}, linear(7, 3), linear(4, 5)},
      {"empty shards", {1, 4, 6}, Layout::row_sharded(8), layout_of(6, 1, {tiled(2, 3), tiled(1, 2)})},
      {"amp grids",
       {64, 128},
       Layout::amp_output_grid(32, 8, 2, 4, true),
       Layout::amp_left_result_grid(16, 8, 4, 2, false)},
      {"1472 rows to a 46 x 32 grid",
       {1472, 64},
       Layout::row_sharded(1472),
       layout_of(1472, 1, {tiled(0, 46), tiled(1, 32)})},
      {"1472-tile grid to its transpose",
       {1472, 1472},
       layout_of(1472, 1, {tiled(0, 46), tiled(1, 32)}),
       layout_of(1472, 1, {tiled(0, 32), tiled(1, 46)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const auto source = c.source.shard_extents(c.shape);
    const auto target = c.target.shard_extents(c.shape);
    ASSERT_TRUE(source.has_value()) << tensor::display(source.error());
    ASSERT_TRUE(target.has_value()) << tensor::display(target.error());
    EXPECT_EQ(shard_traffic(*source, *target, 2), reference_traffic(*source, *target, 2));
  }
}

TEST(ConversionTraffic, SingleExchangeFigures) {
  // [2, 1472] F16 from rows on 2 tiles to 2 column halves: each tile keeps one quarter (1472 bytes)
  // and receives one (1472 bytes).
  const Layout columns = layout_of(2, 1, {tiled(1, 2)});
  const ConversionTraffic t = traffic({2, 1472}, F16{}, Layout::row_sharded(2), columns);
  EXPECT_EQ(t.endpoints.maximum_payload_bytes(), 1472u);
  EXPECT_EQ(t.destination_shard_bytes, 2944u);
  EXPECT_EQ(t.destination_shard_pieces, 2u);
  EXPECT_EQ(debug(t),
            "ConversionTraffic { endpoints: ExchangeEndpointTraffic { sources: ["
            "ExchangeEndpointLoad { bytes: 1472, pieces: 1, cycles: 2 }, "
            "ExchangeEndpointLoad { bytes: 1472, pieces: 1, cycles: 2 }], destinations: ["
            "ExchangeEndpointLoad { bytes: 1472, pieces: 1, cycles: 3 }, "
            "ExchangeEndpointLoad { bytes: 1472, pieces: 1, cycles: 3 }] }, destination_shard_bytes: 2944, "
            "local_tile_bytes: 1472, destination_shard_pieces: 2, local_tile_pieces: 1 }");
}

TEST(ExchangeEndpointTraffic, MaximumPayloadBytes) {
  EXPECT_EQ(ExchangeEndpointTraffic{}.maximum_payload_bytes(), 0u);
  EXPECT_EQ((ExchangeEndpointTraffic{{{5, 1, 2}, {9, 1, 2}}, {{7, 1, 3}}}.maximum_payload_bytes()), 9u);
  EXPECT_EQ((ExchangeEndpointTraffic{{{5, 1, 2}}, {{}, {}, {11, 2, 6}}}.maximum_payload_bytes()), 11u);
}

TEST(IntersectRanges, Table) {
  struct Case {
    const char* label;
    std::vector<Range> a;
    std::vector<Range> b;
    std::optional<RangeBox> expected;
  };
  const std::vector<Case> cases = {
      {"touching", {{0, 8}}, {{8, 16}}, std::nullopt},
      {"touching on the second axis", {{0, 8}, {0, 4}}, {{4, 12}, {4, 8}}, std::nullopt},
      {"overlapping", {{0, 8}, {0, 4}}, {{4, 12}, {2, 8}}, RangeBox{{4, 8}, {2, 4}}},
      {"contained", {{0, 16}}, {{3, 5}}, RangeBox{{3, 5}}},
      {"empty range", {{4, 4}}, {{0, 8}}, std::nullopt},
      {"no axes", {}, {}, RangeBox{}},
      {"different axis counts", {{0, 8}}, {{0, 8}, {0, 8}}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(intersect_ranges(c.a, c.b), c.expected);
  }
}

TEST(EndpointFragments, Table) {
  struct Case {
    const char* label;
    SegmentLists a;
    SegmentLists b;
    std::uint64_t bytes;
    std::uint64_t expected;
  };
  const std::vector<Range> by_64 = {{0, 64}, {64, 128}};
  const std::vector<Range> by_32 = {{0, 32}, {32, 64}, {64, 96}, {96, 128}};
  const std::uint64_t max = ~std::uint64_t{0};
  const std::vector<Case> cases = {
      // inner = 2 * 32 = 64 bytes; each 64-wide segment meets two 32-wide ones, ceil(2048/16592)
      // fragments each
      {"64 against 32", {by_64, {{0, 32}}}, {by_32, {{0, 32}}}, 2, 2},
      {"with an outer axis", {{{0, 3}}, by_64, {{0, 32}}}, {{{0, 3}}, by_32, {{0, 32}}}, 2, 6},  // 2 * 3
      {"32 against 64", {by_32, {{0, 32}}}, {by_64, {{0, 32}}}, 2, 1},
      // ceil(2 * 100 * 100 / 16592)
      {"same cut", {{{0, 100}}, {{0, 100}}}, {{{0, 100}}, {{0, 100}}}, 2, 2},
      // b has fewer axes: only the first is compared, the product runs over all of a's
      {"extra axes of a", {{{0, 100}}, {{0, 166}}}, {{{0, 100}}}, 1, 2},  // ceil(16600/16592)
      {"axis without segments", {{}, {{0, 8}}}, {{}, {{0, 8}}}, 4, 0},
      // a's second segment lies past all of b's: only the first one counts, ceil(4 * 1024/16592)
      {"segments past the cut", {{{0, 4}, {4, 8}}, {{0, 1024}}}, {{{0, 4}}, {{0, 1024}}}, 1, 1},
      // inner 2^62 bytes times 4 overlapping elements saturates instead of wrapping to 0:
      // 2 * ceil((2^64 - 1)/16592)
      {"saturates", {{{0, 8}}}, {{{0, 4}, {4, 8}}}, std::uint64_t{1} << 62, 2223570886416292u},
      {"saturated outer product",
       {{{0, 0xFFFFFFFF}}, {{0, 8}}, {{0, 1}}},
       {{{0, 0xFFFFFFFF}}, {{0, 4}, {4, 8}}, {{0, 1}}},
       max,
       max},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(endpoint_fragments(c.a, c.b, c.bytes), c.expected);
  }
}

TEST(GridFragments, Table) {
  struct Case {
    const char* label;
    TensorType source;
    TensorType target;
    std::optional<std::uint64_t> expected;
  };
  const auto type = [](TensorShape shape, Precision precision, Layout layout) {
    return TensorType{std::move(shape), {precision, std::move(layout)}};
  };
  const TensorShape rows400{400, 100};
  const Layout amp_halves = Layout::amp_left_parallel_grid(32, 2, 1, 1, 2);    // columns [0, 32), [32, 64)
  const Layout amp_quarters = Layout::amp_left_parallel_grid(16, 4, 1, 1, 4);  // columns by 16
  const Layout amp_at_40 = Layout::amp_left_parallel_grid(40, 2, 1, 1, 2);     // columns [0, 40), [40, 80)
  const Layout amp_by_16 = Layout::amp_left_parallel_grid(16, 5, 1, 1, 5);
  const Layout block_major =
      Layout::block_major_matrix_storage(16, 16, 2, 1, 1, tensor::MemoryClass::Ipu21Standard);
  const std::vector<Case> cases = {
      // equal cuts, largest shard 100 x 100 F16: ceil(20000/16592)
      {"equal row-major", type(rows400, F16{}, Layout::row_sharded(4)),
       type(rows400, F16{}, Layout::row_sharded(4)), 2},
      // rows [0, 4) against [0, 2), [2, 4): inner 4 * 64 bytes, two fragments for each source shard
      {"row-major, finer rows", type({8, 64}, F32{}, Layout::row_sharded(2)),
       type({8, 64}, F32{}, Layout::row_sharded(4)), 2},
      {"orders differ", type({16, 64}, F16{}, Layout::row_sharded(1)), type({16, 64}, F16{}, amp_halves),
       std::nullopt},
      {"shapes differ", type({16, 64}, F16{}, Layout::row_sharded(1)),
       type({16, 32}, F16{}, Layout::row_sharded(1)), std::nullopt},
      {"scale exponents differ", type({16, 64}, F8F143{0}, Layout::row_sharded(1)),
       type({16, 64}, F8F143{1}, Layout::row_sharded(1)), std::nullopt},
      // groups of 16 columns: halves hold group positions [0, 2), [2, 4), each with 1024 x 16
      // elements of 2 bytes behind it: ceil(32768/16592) = 2 fragments per quarter, 4 per half
      {"amp left, regrouped", type({1024, 64}, F16{}, amp_halves), type({1024, 64}, F16{}, amp_quarters), 4},
      {"amp left, boundary at 40", type({16, 80}, F16{}, amp_at_40), type({16, 80}, F16{}, amp_by_16),
       std::nullopt},
      {"amp left, boundary at 40 in the target", type({16, 80}, F16{}, amp_by_16),
       type({16, 80}, F16{}, amp_at_40), std::nullopt},
      // for F32 the group is 8 columns, so 40 is a boundary: halves [0, 5), [5, 10) against fifths
      // [0, 2), ...; 16 x 8 x 4 = 512 bytes per position; the half [0, 5) meets 3 fifths
      {"amp left F32, boundary at 40", type({16, 80}, F32{}, amp_at_40), type({16, 80}, F32{}, amp_by_16), 3},
      // equal cuts need no regrouping, whatever the order
      {"equal block-major", type({16, 32}, F16{}, block_major), type({16, 32}, F16{}, block_major), 1},
      {"different block-major", type({32, 32}, F16{}, block_major),
       type({32, 32}, F16{},
            Layout::block_major_matrix_storage(16, 16, 1, 2, 1, tensor::MemoryClass::Ipu21Standard)),
       std::nullopt},
      {"linear", type({8, 8}, F16{}, linear(2, 1)), type({8, 8}, F16{}, linear(4, 1)), std::nullopt},
      {"unresolvable", type({4, 8}, F16{}, layout_of(2, 1, {tiled(0, 2, std::nullopt, 3)})),
       type({4, 8}, F16{}, Layout::row_sharded(4)), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(grid_fragments(c.source, c.target), c.expected);
  }
}

}  // namespace
}  // namespace ostrand::estimate

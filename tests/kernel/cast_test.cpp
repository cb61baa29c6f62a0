// Cast cycles and the chunking of in-place casts.

#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "kernel/cast.hpp"
#include "tensor/format.hpp"
#include "util/debug.hpp"

namespace ostrand::kernel {
namespace {

using tensor::Amp;
using tensor::AmpOrder;
using tensor::BlockMajor;
using tensor::BlockMajorKind;
using tensor::ElementOrder;
using tensor::F16;
using tensor::F32;
using tensor::F8F143;
using tensor::Precision;
using tensor::RowMajor;

constexpr std::uint64_t max = ~std::uint64_t{0};

TEST(CastCycles, Table) {
  struct Case {
    const char* label;
    Precision from;
    Precision to;
    std::uint64_t elements;
    std::uint64_t group;
    std::uint64_t expected;
  };
  const std::vector<Case> cases = {
      {"widening move", F16{}, F32{}, 100, 0, 86},              // 11 + ceil(100 * 6 / 8)
      {"narrowing to F16", F32{}, F16{}, 100, 0, 762},          // 330 + 48 * ceil(100/12)
      {"to 8 bits, ungrouped", F16{}, F8F143{}, 1000, 0, 834},  // 330 + 24 * ceil(1000/48)
      // u = ceil(1024 / (32 * 16)) = 2 < 6: 330 + 2 * (120 + 72 * ceil(16/6))
      {"to 8 bits, few units", F16{}, F8F143{}, 1024, 16, 1002},
      // u = 16: 330 + ceil(16/6) * (120 + 72 * 16)
      {"to 8 bits, many units", F16{}, F8F143{}, 8192, 16, 4146},
      // q > 32: u = ceil(8192 / 2048) = 4: 330 + 4 * (120 + 72 * 11)
      {"to 8 bits, wide groups", F16{}, F8F143{}, 8192, 64, 3978},
      {"from 8 bits", F8F143{}, F16{}, 100, 0, 49},             // 11 + ceil(300/8)
      {"equal precisions", F16{}, F16{}, 0, 0, 11},             // 11 + 0
      {"rescaling 8 bits", F8F143{3}, F8F143{-1}, 8, 0, 13},    // 11 + ceil(16/8)
      {"F32 to 8 bits is a move", F32{}, F8F143{}, 8, 32, 16},  // 11 + ceil(40/8)
      // saturation: 330 + 48 * ceil(max/12) overflows
      {"narrowing saturates", F32{}, F16{}, max, 0, max},
      {"grouped saturates", F16{}, F8F143{}, max, 1, max},  // u = ceil(max/32), 330 + u * 192
      // 24 cycles per 48 elements stays below the limit: 330 + 24 * ceil(max/48)
      {"ungrouped stays exact", F16{}, F8F143{}, max, 0, 9223372036854776154u},
      // a saturated byte count is divided like any other: ceil((2^64 - 1)/8) + 11 = 2^61 + 11
      {"saturated move", F16{}, F16{}, max, 0, (std::uint64_t{1} << 61) + 11},
      // 32 * q saturates, so there is one unit: 330 + 1 * (120 + 72 * ceil(max/6)) saturates
      {"saturated group", F16{}, F8F143{}, 64, max, max},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(cast_cycles(c.from, c.to, c.elements, c.group), c.expected);
  }
}

using Ranges = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

TEST(CastChunks, Table) {
  struct Case {
    const char* label;
    ElementOrder order;
    graph::TensorShape shape;
    std::optional<CastChunks> expected;
  };
  const ElementOrder row_major = RowMajor{};
  const ElementOrder left = Amp{AmpOrder::Left};
  const std::vector<Case> cases = {
      // 5 units of 8 elements, 16 bytes each; the first window holds 65536 / 16 units
      {"vector", row_major, {40}, CastChunks{Ranges{{0, 40}}, 0}},
      {"vector not a multiple of 8", row_major, {44}, std::nullopt},
      {"empty vector", row_major, {0}, std::nullopt},
      // rows of 32 bytes: the first window takes 65536 / 32 = 2048 rows; at offset 65536 the room
      // is 65536 - 32768 + 32768, another 4096 rows, of which 2048 are left
      {"matrix", row_major, {4096, 16}, CastChunks{Ranges{{0, 2048}, {2048, 4096}}, 0}},
      // one row is the whole 32768-byte window: two rows per chunk
      {"widest rows", row_major, {4, 16384}, CastChunks{Ranges{{0, 2}, {2, 4}}, 0}},
      {"rows too wide", row_major, {4, 16392}, std::nullopt},
      {"rows not a multiple of 8", row_major, {4, 12}, std::nullopt},
      {"empty rows", row_major, {4, 0}, std::nullopt},
      // 2^20 rows of 16384 bytes are 2^34 bytes, beyond 32 bits
      {"too many bytes", row_major, {1u << 20, 8192}, std::nullopt},
      // column panels of 32 columns, 64 * 16 bytes each
      {"amp left", left, {16, 64}, CastChunks{Ranges{{0, 64}}, 1}},
      {"amp left, partial panel", left, {16, 40}, std::nullopt},
      {"amp left, too many rows", left, {513, 64}, std::nullopt},  // 64 * 513 > 32768
      {"amp left, no rows", left, {0, 64}, std::nullopt},
      {"other amp order", ElementOrder{Amp{AmpOrder::TransposedLeft}}, {16, 64}, std::nullopt},
      {"block major", ElementOrder{BlockMajor{{BlockMajorKind::Matrix, 16, 16}}}, {16, 64}, std::nullopt},
      {"rank 3", row_major, {2, 4, 8}, std::nullopt},
      {"rank 0", row_major, {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(CastChunks::create(c.order, c.shape), c.expected);
  }
}

// Windows grow with the offset: a vector of 2^30 elements takes 16 chunks, the last one cut short.
TEST(CastChunks, LargeVectorChunksGrowAndEndExactly) {
  const std::optional<CastChunks> chunks = CastChunks::create(RowMajor{}, {1u << 30});
  ASSERT_TRUE(chunks.has_value());
  ASSERT_EQ(chunks->ranges.size(), 16u);
  EXPECT_EQ(chunks->ranges.front(), (std::pair<std::uint32_t, std::uint32_t>{0, 32768}));
  EXPECT_EQ(chunks->ranges[1], (std::pair<std::uint32_t, std::uint32_t>{32768, 98304}));
  EXPECT_EQ(chunks->ranges.back(), (std::pair<std::uint32_t, std::uint32_t>{1073709056, 1073741824}));
  for (std::size_t i = 1; i < chunks->ranges.size(); ++i) {
    EXPECT_EQ(chunks->ranges[i].first, chunks->ranges[i - 1].second);
  }
}

// Near 4 GiB the staging room no longer fits a signed 32-bit count, and the cast cannot be chunked.
TEST(CastChunks, RoomBeyondSigned32BitsIsAbsent) {
  EXPECT_EQ(CastChunks::create(RowMajor{}, {(1u << 31) - 8}), std::nullopt);
}

TEST(CastChunks, DebugText) {
  EXPECT_EQ(debug(CastChunks{Ranges{{0, 2048}, {2048, 4096}}, 0}),
            "CastChunks { ranges: [(0, 2048), (2048, 4096)], axis: 0 }");
}

}  // namespace
}  // namespace ostrand::kernel

// The IPU21 cost of rearrangements and casts, and the memoizing wrapper.

#include "estimate/cost_model.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <latch>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <absl/hash/hash_testing.h>
#include <gtest/gtest.h>

#include "support/print.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "util/debug.hpp"

namespace ostrand::estimate {
namespace {

using tensor::Amp;
using tensor::AmpOrder;
using tensor::AxisTiling;
using tensor::BlockMajor;
using tensor::BlockMajorKind;
using tensor::ElementOrder;
using tensor::F16;
using tensor::F32;
using tensor::F8F143;
using tensor::FromStart;
using tensor::Layout;
using tensor::Padding;
using tensor::Precision;
using tensor::RowMajor;
using tensor::TensorShape;
using tensor::TensorType;

constexpr std::uint64_t two_to_61 = std::uint64_t{1} << 61;

// `tiles` tiles holding `replicas` copies of the tensor cut along `axes`, in `order`.
Layout layout_of(ElementOrder order, std::uint16_t tiles, std::uint16_t replicas,
                 const tensor::AxisTilings& axes) {
  Layout layout;
  layout.order = order;
  layout.tiling.tile_count = tiles;
  layout.tiling.replicas = replicas;
  layout.tiling.axes = axes;
  return layout;
}

// The whole tensor on tile 0.
Layout single_tile(ElementOrder order = RowMajor{}) {
  return layout_of(order, 1, 1, {});
}

// Axis `axis` cut into `tiles` shards, one per tile.
Layout split(std::uint16_t axis, std::uint16_t tiles, ElementOrder order = RowMajor{}) {
  return layout_of(order, tiles, 1, {AxisTiling::simple(FromStart{axis}, tiles, 1, 1, Padding::Reject)});
}

// The whole tensor as one flat run on tile 0.
Layout linear_single_tile(ElementOrder order) {
  return layout_of(order, 1, 1, {AxisTiling::simple(tensor::Linear{}, 1, 1, 1, Padding::Reject)});
}

// Five tiles for a tiling of four shards: does not resolve on any shape.
Layout unresolvable() {
  return layout_of(RowMajor{}, 5, 1, {AxisTiling::simple(FromStart{0}, 4, 1, 1, Padding::Reject)});
}

ElementOrder block_major(std::uint16_t row_block, std::uint16_t column_block) {
  return BlockMajor{{BlockMajorKind::Matrix, row_block, column_block}};
}

TensorType tensor_of(TensorShape shape, Precision precision, Layout layout) {
  return {std::move(shape), {std::move(precision), std::move(layout)}};
}

const Ipu21CostModel model;

// --- Rearrangements ----------------------------------------------------------------------------

TEST(RearrangementCost, IdenticalRowMajorLayoutsCopyInPlace) {
  // Automatic between equal orders is SameOrder. [8, 16] F16 on 4 tiles of 2 rows: every piece is
  // already on its tile, so there are no loads and no exchange; B = 2 x 16 x 2 = 64 bytes, P = 1.
  const Layout rows = Layout::row_sharded(4);
  EXPECT_EQ(model.rearrangement_cost({8, 16}, F16{}, CopyPolicy::Automatic, rows, rows),
            (RearrangementCost{296, 0}));  // 64/8 + 288 x 1
}

TEST(RearrangementCost, NoEstimate) {
  EXPECT_EQ(no_estimate_cycles, 2305843009213693951u);
  struct Case {
    const char* name;
    CopyPolicy policy;
    Layout source;
    Layout target;
  };
  const Case cases[] = {
      {"block-major orders with other blocks", CopyPolicy::Automatic,
       Layout::block_major_matrix_storage(16, 16, 1, 1, 1, tensor::MemoryClass::Ipu21Standard),
       Layout::block_major_matrix_storage(32, 16, 1, 1, 1, tensor::MemoryClass::Ipu21Standard)},
      {"two amp orders, automatic", CopyPolicy::Automatic, single_tile(Amp{AmpOrder::Left}),
       single_tile(Amp{AmpOrder::TransposedLeft})},
      {"two amp orders through row-major", CopyPolicy::ThroughRowMajor, single_tile(Amp{AmpOrder::Left}),
       single_tile(Amp{AmpOrder::Output})},
      {"source does not resolve", CopyPolicy::Reorder, unresolvable(), single_tile()},
      {"target does not resolve", CopyPolicy::SameOrder, single_tile(), unresolvable()},
      {"neither resolves, automatic", CopyPolicy::Automatic, unresolvable(), unresolvable()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(model.rearrangement_cost({64, 64}, F16{}, c.policy, c.source, c.target),
              (RearrangementCost{no_estimate_cycles, no_estimate_cycles}));
  }
}

TEST(RearrangementCost, OrderChangesThroughRowMajorCostLikeReorder) {
  // [8, 16] F16 on 4 tiles of 2 rows, only the order changes: all pieces local, no exchange. A
  // general copy stages the whole destination shard: B = 2 x 64 bytes, P = 1.
  const RearrangementCost staged{304, 0};  // 128/8 + 288 x 1
  const Layout rows = Layout::row_sharded(4);
  Layout amp_rows = rows;
  amp_rows.order = Amp{AmpOrder::Left};
  struct Case {
    const char* name;
    CopyPolicy policy;
    Layout source;
    Layout target;
    RearrangementCost expected;
  };
  const Case cases[] = {
      {"automatic row-major to amp", CopyPolicy::Automatic, rows, amp_rows, staged},
      {"through row-major from amp", CopyPolicy::ThroughRowMajor, amp_rows, rows, staged},
      {"reorder between amp orders", CopyPolicy::Reorder, amp_rows,
       split(0, 4, Amp{AmpOrder::TransposedLeft}), staged},
      // SameOrder is taken at its word, whatever the orders: only the 64 bytes in place are copied.
      {"same order between amp orders", CopyPolicy::SameOrder, amp_rows,
       split(0, 4, Amp{AmpOrder::TransposedLeft}), RearrangementCost{296, 0}},  // 64/8 + 288
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(model.rearrangement_cost({8, 16}, F16{}, c.policy, c.source, c.target), c.expected);
  }
}

TEST(RearrangementCost, ReorderStagesTheWholeShardWhereSameOrderCopiesWhatIsInPlace) {
  // [8, 16] F16 from 4 tiles of 2 rows (64 bytes) to 2 tiles of 4 rows (128 bytes). Target tile 0
  // finds rows 0-1 on itself and receives rows 2-3 from tile 1; target tile 1 receives rows 4-5 and
  // 6-7 from tiles 2 and 3. Largest payload o = 128 (tile 1 receiving); busiest endpoint f = 8
  // (tile 1: 2 for its send + 2 x 3 for its receipts). Fragments: rows of 32 bytes, each shard of
  // 4 rows is cut at 2 boundaries, g = 2.
  const Layout four = Layout::row_sharded(4);
  const Layout two = Layout::row_sharded(2);
  // X = max(128/4, 8) + 600 = 632; L = 2 x 128/8 + 288 x 2 = 608.
  EXPECT_EQ(model.rearrangement_cost({8, 16}, F16{}, CopyPolicy::Reorder, four, two),
            (RearrangementCost{1240, 632}));
  // X = max(128/4, 3 x 2) + 600 = 632; L = 64/8 + 288 x 1 = 296.
  EXPECT_EQ(model.rearrangement_cost({8, 16}, F16{}, CopyPolicy::SameOrder, four, two),
            (RearrangementCost{928, 632}));
}

TEST(RearrangementCost, SameOrderPricesContiguousFragments) {
  // [4, 8] F8F143 from 2 column shards of 4 (tile 0: columns 0-3, tile 1: 4-7) to 4 column shards
  // of 2. Target tile 0 has its 8 bytes in place; tile 0 sends one piece and tile 1 two, each of
  // 8 bytes. o = 16; f = 7 (tile 1: 2 x 2 sent + 3 received).
  const Layout halves = split(1, 2);
  const Layout quarters = split(1, 4);
  // General exchange: X = max(16/4, 7) + 600 = 607; L = 2 x 8/8 + 288 = 290.
  EXPECT_EQ(model.rearrangement_cost({4, 8}, F8F143{}, CopyPolicy::Reorder, halves, quarters),
            (RearrangementCost{897, 607}));
  // Order kept: every 4-wide column shard is cut into 2 runs on each of its 4 rows, g = 8.
  // X = max(16/4, 3 x 8) + 600 = 624; L = 8/8 + 288 = 289.
  const RearrangementCost same_order{913, 624};
  EXPECT_EQ(model.rearrangement_cost({4, 8}, F8F143{}, CopyPolicy::SameOrder, halves, quarters), same_order);
  EXPECT_EQ(model.rearrangement_cost({4, 8}, F8F143{}, CopyPolicy::Automatic, halves, quarters), same_order);
}

TEST(RearrangementCost, SingleFourBytePieceFromTileZeroToTileOne) {
  // [2] F16 on tile 0, wanted whole on tiles 0 and 1: o = 4; tile 0 sends one piece (2 cycles),
  // tile 1 receives it (3 cycles), f = 3; one fragment of 4 bytes, 3 x 1 = 3.
  // X = max(4/4, 3) + 600 = 603.
  const Layout both = layout_of(RowMajor{}, 2, 2, {});
  // Reorder: L = 2 x 4/8 + 288 x 1 = 289. SameOrder: L = 4/8 + 288 x 1 = 289.
  for (const CopyPolicy policy : {CopyPolicy::Reorder, CopyPolicy::SameOrder}) {
    SCOPED_TRACE(debug(policy));
    EXPECT_EQ(model.rearrangement_cost({2}, F16{}, policy, single_tile(), both),
              (RearrangementCost{892, 603}));
  }
}

TEST(RearrangementCost, HugeTensorsSaturateInsteadOfWrapping) {
  // (2^32 - 1)^2 F32 elements: every byte count saturates at 2^64 - 1.
  // X = ceil((2^64 - 1)/4) + 600 = 2^62 + 600; L = ceil((2^64 - 1)/8) + 288 = 2^61 + 288.
  const std::uint32_t huge = 0xFFFFFFFF;
  const Layout both = layout_of(RowMajor{}, 2, 2, {});
  EXPECT_EQ(model.rearrangement_cost({huge, huge}, F32{}, CopyPolicy::Reorder, single_tile(), both),
            (RearrangementCost{2 * two_to_61 + 600 + two_to_61 + 288, 2 * two_to_61 + 600}));
}

// --- Casts -------------------------------------------------------------------------------------

TEST(CastCycles, LargestShardOfTheTensor) {
  struct Case {
    const char* name;
    TensorType tensor;
    Precision target;
    std::uint64_t expected;
  };
  const Case cases[] = {
      // e = 4 x 250 = 1000 on each of 2 tiles, k = 0: 330 + 24 x ceil(1000/48) = 330 + 24 x 21.
      {"row-major f16 to f8", tensor_of({8, 250}, F16{}, Layout::row_sharded(2)), F8F143{}, 834},
      // 330 + 48 x ceil(1000/12) = 330 + 48 x 84.
      {"f32 to f16", tensor_of({8, 250}, F32{}, Layout::row_sharded(2)), F16{}, 4362},
      // A byte move: 11 + ceil(1000 x (2 + 2) / 8).
      {"equal precisions", tensor_of({8, 250}, F16{}, Layout::row_sharded(2)), F16{}, 511},
      // Unresolvable: m = 2^64 - 1, e = 2^63, e x (4 + 2) saturates: 11 + ceil((2^64 - 1)/8).
      {"layout does not resolve", tensor_of({8, 250}, F16{}, unresolvable()), F32{}, two_to_61 + 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(model.cast_cycles(c.tensor, c.target), c.expected);
  }
}

TEST(CastCycles, ScaleGroupFromTheElementOrder) {
  // F16 to F8F143. With a group q > 0 and u = ceil(e / 32q): 330 + u x (120 + 72 x ceil(q/6)) when
  // q > 32 or u < 6. [2, 64] on one tile: e = 128, width w = 64.
  struct Case {
    const char* name;
    TensorShape shape;
    Layout layout;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"row-major: q = 0", {2, 64}, single_tile(), 402},  // 330 + 24 x ceil(128/48)
      // q = column block 16, u = 1: 330 + (120 + 72 x 3).
      {"block-major: its column block", {2, 64}, single_tile(block_major(16, 16)), 666},
      // q = e / w = 2, u = 2: 330 + 2 x (120 + 72 x 1).
      {"amp left: rows of the shard", {2, 64}, single_tile(Amp{AmpOrder::Left}), 714},
      // One row whose width 64 is a multiple of 32: q = 0, 330 + 24 x ceil(64/48).
      {"amp left: one aligned row", {1, 64}, single_tile(Amp{AmpOrder::Left}), 378},
      // One row of 48: q = 1, u = 2: 330 + 2 x (120 + 72).
      {"amp left: one unaligned row", {1, 48}, single_tile(Amp{AmpOrder::Left}), 714},
      // Columns over 2 tiles: e = 4 x 32 = 128, w = 32, q = 4, u = 1: 330 + (120 + 72).
      {"amp left: width of the largest shard", {4, 64}, split(1, 2, Amp{AmpOrder::Left}), 522},
      // q = w = 64 > 32, u = 1: 330 + (120 + 72 x 11).
      {"amp transposed left: the width", {2, 64}, single_tile(Amp{AmpOrder::TransposedLeft}), 1242},
      // Linear: w = e = 128, q = 128, u = 1: 330 + (120 + 72 x 22).
      {"amp transposed left, linear: the elements",
       {2, 64},
       linear_single_tile(Amp{AmpOrder::TransposedLeft}),
       2034},
      {"amp transposed right: 16", {2, 64}, single_tile(Amp{AmpOrder::TransposedRight}), 666},
      {"amp output: q = 0", {2, 64}, single_tile(Amp{AmpOrder::Output}), 402},
      {"amp transposed output: q = 0", {2, 64}, single_tile(Amp{AmpOrder::TransposedOutput}), 402},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(model.cast_cycles(tensor_of(c.shape, F16{}, c.layout), F8F143{}), c.expected);
  }
}

TEST(CastCycles, CastToAFormatIsPricedOnTheTargetLayout) {
  // [8, 250] F16 on one tile: e = 2000 in place, 330 + 24 x ceil(2000/48) = 330 + 24 x 42.
  const TensorType source = tensor_of({8, 250}, F16{}, Layout::row_sharded(1));
  EXPECT_EQ(model.cast_cycles(source, F8F143{}), 1338u);
  // On the target's 2 tiles e = 1000: 330 + 24 x 21.
  EXPECT_EQ(model.cast_format_cycles(source, {F8F143{}, Layout::row_sharded(2)}), 834u);
  // The source's precision is cast: F32 to F16 over 1000 elements, 330 + 48 x 84.
  const TensorType wide = tensor_of({8, 250}, F32{}, Layout::row_sharded(1));
  EXPECT_EQ(model.cast_format_cycles(wide, {F16{}, Layout::row_sharded(2)}), 4362u);
}

TEST(CostModelDebug, Texts) {
  EXPECT_EQ(debug(RearrangementCost{1240, 632}), "RearrangementCost { cycles: 1240, exchange_cycles: 632 }");
  EXPECT_EQ(debug(CopyPolicy::ThroughRowMajor), "ThroughRowMajor");
}

// --- Memoization -------------------------------------------------------------------------------

// What a counting model observed, shared by its copies.
struct Observations {
  std::atomic<int> rearrangements{0};
  // When set, every rearrangement waits (up to a few seconds) until this many are running at once.
  int rendezvous = 0;
  std::mutex mutex;
  std::condition_variable arrived;
  int running = 0;
  int most_running = 0;
};

// The IPU21 model, counting and optionally holding up its rearrangement computations.
class CountingCostModel final : public CostModel {
 public:
  explicit CountingCostModel(Observations* seen = nullptr) : seen_(seen) {}

  RearrangementCost rearrangement_cost(const TensorShape& shape, const Precision& precision,
                                       CopyPolicy policy, const Layout& source,
                                       const Layout& target) const override {
    ++seen_->rearrangements;
    {
      std::unique_lock lock(seen_->mutex);
      ++seen_->running;
      seen_->most_running = std::max(seen_->most_running, seen_->running);
      seen_->arrived.notify_all();
      if (seen_->rendezvous > 0) {
        seen_->arrived.wait_for(lock, std::chrono::seconds(5),
                                [&] { return seen_->running >= seen_->rendezvous; });
      }
    }
    // Long enough for the other callers to pile up on this key.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
      const std::lock_guard lock(seen_->mutex);
      --seen_->running;
    }
    return inner_.rearrangement_cost(shape, precision, policy, source, target);
  }

  std::uint64_t cast_cycles(const TensorType& tensor, const Precision& target) const override {
    return inner_.cast_cycles(tensor, target);
  }

 private:
  Observations* seen_;
  Ipu21CostModel inner_;
};

struct Question {
  TensorShape shape;
  Precision precision;
  CopyPolicy policy;
  Layout source;
  Layout target;

  RearrangementCost ask(const CostModel& m) const {
    return m.rearrangement_cost(shape, precision, policy, source, target);
  }
};

const Question four_to_two{
    {8, 16}, F16{}, CopyPolicy::Reorder, Layout::row_sharded(4), Layout::row_sharded(2)};

TEST(MemoizedCostModel, SameNewKeyFromManyThreadsIsComputedOnce) {
  Observations seen;
  const MemoizedCostModel<CountingCostModel> memo(CountingCostModel{&seen});
  constexpr int threads = 12;
  std::vector<RearrangementCost> results(threads);
  std::latch start(threads);
  {
    std::vector<std::jthread> workers;
    for (int i = 0; i < threads; ++i) {
      workers.emplace_back([&, i] {
        start.arrive_and_wait();
        results[i] = four_to_two.ask(memo);
      });
    }
  }
  EXPECT_EQ(seen.rearrangements, 1);
  const RearrangementCost expected = four_to_two.ask(model);
  EXPECT_EQ(expected, (RearrangementCost{1240, 632}));
  for (const RearrangementCost& result : results) EXPECT_EQ(result, expected);
  // Later calls are answered from the cell.
  EXPECT_EQ(four_to_two.ask(memo), expected);
  EXPECT_EQ(seen.rearrangements, 1);
}

TEST(MemoizedCostModel, EveryArgumentIsPartOfTheKey) {
  Observations seen;
  const MemoizedCostModel<CountingCostModel> memo(CountingCostModel{&seen});
  std::vector<Question> questions(6, four_to_two);
  questions[1].shape = {16, 16};
  questions[2].precision = F8F143{};
  questions[3].policy = CopyPolicy::SameOrder;
  questions[4].source = Layout::row_sharded(8);
  questions[5].target = Layout::row_sharded(1);
  for (int round = 0; round < 2; ++round) {
    for (const Question& q : questions) {
      SCOPED_TRACE(debug(RearrangementKey{q.shape, q.precision, q.policy, q.source, q.target}));
      EXPECT_EQ(q.ask(memo), q.ask(model));
    }
  }
  EXPECT_EQ(seen.rearrangements, 6);
  std::vector<RearrangementKey> keys;
  for (const Question& q : questions) keys.push_back({q.shape, q.precision, q.policy, q.source, q.target});
  EXPECT_TRUE(absl::VerifyTypeImplementsAbslHashCorrectly(keys));
  // An F8F143 precision with another scale is another key.
  Question scaled = questions[2];
  scaled.precision = F8F143{-3};
  EXPECT_EQ(scaled.ask(memo), scaled.ask(model));
  EXPECT_EQ(seen.rearrangements, 7);
}

TEST(MemoizedCostModel, DifferentKeysComputeInParallel) {
  // Each computation waits until two are running at once; a model that computed under its lock
  // would keep the second key out, and the first would give up waiting after 5 seconds.
  Observations seen;
  seen.rendezvous = 2;
  const MemoizedCostModel<CountingCostModel> memo(CountingCostModel{&seen});
  Question other = four_to_two;
  other.policy = CopyPolicy::SameOrder;
  RearrangementCost first;
  RearrangementCost second;
  {
    std::jthread a([&] { first = four_to_two.ask(memo); });
    std::jthread b([&] { second = other.ask(memo); });
  }
  EXPECT_EQ(seen.most_running, 2);
  EXPECT_EQ(seen.rearrangements, 2);
  EXPECT_EQ(first, (RearrangementCost{1240, 632}));
  EXPECT_EQ(second, (RearrangementCost{928, 632}));
}

TEST(MemoizedCostModel, CastsAnswerLikeTheInnerModel) {
  const MemoizedCostModel<Ipu21CostModel> memo;
  const TensorType source = tensor_of({8, 250}, F16{}, Layout::row_sharded(1));
  EXPECT_EQ(memo.cast_cycles(source, F8F143{}), 1338u);
  EXPECT_EQ(memo.cast_format_cycles(source, {F8F143{}, Layout::row_sharded(2)}), 834u);
  EXPECT_EQ(four_to_two.ask(memo), (RearrangementCost{1240, 632}));
}

}  // namespace
}  // namespace ostrand::estimate

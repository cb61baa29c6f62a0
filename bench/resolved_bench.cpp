// Layout resolution sits under every estimate, conversion and validation of the planner.

#include <benchmark/benchmark.h>

#include "tensor/resolved.hpp"

namespace {

using namespace ostrand::tensor;

const TensorShape shape{512, 1024};

TensorType typed(Layout layout) {
  return TensorType{shape, TensorFormat{F16{}, std::move(layout)}};
}

void BM_PaddedShape(benchmark::State& state) {
  const Layout layout = Layout::amp_output_grid(64, 64, 8, 8, false);
  for (auto _ : state) benchmark::DoNotOptimize(layout.padded_shape(shape));
}
BENCHMARK(BM_PaddedShape);

void BM_ResolveGrid(benchmark::State& state) {
  const Layout layout = Layout::amp_output_grid(64, 64, 8, 8, false);
  for (auto _ : state) benchmark::DoNotOptimize(layout.resolve(shape));
}
BENCHMARK(BM_ResolveGrid);

// Replicas at stride 2 take the tile-by-tile mapping check.
void BM_ResolveIrregularStrides(benchmark::State& state) {
  const Layout layout = Layout::block_major_matrix_storage(16, 64, 8, 4, 2, MemoryClass::Ipu21Standard);
  for (auto _ : state) benchmark::DoNotOptimize(layout.resolve(shape));
}
BENCHMARK(BM_ResolveIrregularStrides);

void BM_SameDistributionEqualTilings(benchmark::State& state) {
  const TensorType a = typed(Layout::amp_output_grid(64, 64, 8, 8, false));
  TensorType b = a;
  b.format.layout.order = RowMajor{};
  for (auto _ : state) benchmark::DoNotOptimize(same_distribution(a, b));
}
BENCHMARK(BM_SameDistributionEqualTilings);

void BM_SameDistributionOtherTilings(benchmark::State& state) {
  const TensorType a = typed(Layout::amp_output_grid(64, 64, 8, 8, false));
  const TensorType b = typed(Layout::amp_left_result_grid(64, 64, 8, 8, false));
  TensorType c = b;
  c.format.layout.tiling.axes[0].tile_stride.reset();  // same shards, explicit stride dropped
  for (auto _ : state) {
    benchmark::DoNotOptimize(same_distribution(a, b));
    benchmark::DoNotOptimize(same_distribution(a, c));
  }
}
BENCHMARK(BM_SameDistributionOtherTilings);

void BM_ShardExtents(benchmark::State& state) {
  const auto resolved = Layout::amp_output_grid(64, 64, 8, 8, false).resolve(shape);
  for (auto _ : state) benchmark::DoNotOptimize(resolved->shard_extents());
}
BENCHMARK(BM_ShardExtents);

}  // namespace

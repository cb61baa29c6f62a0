// Exchange traffic of layout changes over a full IPU21's 1472 tiles.

#include <benchmark/benchmark.h>

#include "estimate/traffic.hpp"
#include "tensor/layout.hpp"

namespace {

using ostrand::tensor::AxisTiling;
using ostrand::tensor::FromStart;
using ostrand::tensor::Layout;
using ostrand::tensor::Padding;

Layout grid(std::uint16_t rows, std::uint16_t columns) {
  Layout layout;
  layout.tiling.tile_count = static_cast<std::uint16_t>(rows * columns);
  layout.tiling.axes = {AxisTiling::simple(FromStart{0}, rows, 1, 1, Padding::Reject),
                        AxisTiling::simple(FromStart{1}, columns, 1, 1, Padding::Reject)};
  return layout;
}

void BM_RowsToGrid(benchmark::State& state) {
  const ostrand::tensor::TensorShape shape{1472, 1472};
  const Layout source = Layout::row_sharded(1472);
  const Layout target = grid(46, 32);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        ostrand::estimate::conversion_traffic(shape, ostrand::tensor::F16{}, source, target));
  }
}
BENCHMARK(BM_RowsToGrid)->Unit(benchmark::kMillisecond);

void BM_GridToTransposedGrid(benchmark::State& state) {
  const ostrand::tensor::TensorShape shape{1472, 1472};
  const Layout source = grid(46, 32);
  const Layout target = grid(32, 46);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        ostrand::estimate::conversion_traffic(shape, ostrand::tensor::F16{}, source, target));
  }
}
BENCHMARK(BM_GridToTransposedGrid)->Unit(benchmark::kMillisecond);

}  // namespace

// Estimating a chunked matrix-product program: the per-tile memory simulation and the operation
// costs should grow with the number of tiles, not with its square.

#include <cstdint>
#include <vector>

#include <benchmark/benchmark.h>

#include "estimate/mid.hpp"
#include "mid/program.hpp"
#include "tensor/layout.hpp"
#include "util/check.hpp"

namespace {

using ostrand::mid::MidOperation;
using ostrand::mid::MidProgram;
using ostrand::mid::MidValueId;
using ostrand::tensor::F16;
using ostrand::tensor::F32;
using ostrand::tensor::Layout;
using ostrand::tensor::TensorType;

// Every tile holds the whole tensor.
Layout replicated(std::uint16_t tiles) {
  Layout layout = Layout::row_sharded(tiles);
  layout.tiling.replicas = tiles;
  layout.tiling.axes.clear();
  return layout;
}

ostrand::mid::Rearrange slice_at(std::vector<std::uint32_t> offsets) {
  ostrand::mid::Rearrange r;
  r.offsets = std::move(offsets);
  r.redistribute = true;
  return r;
}

// out = gelu(f16(sum over 4 chunks of left[:, chunk] x right[chunk, :])), then spread over half the
// tiles. Left holds 16 rows per tile; the right chunks are replicated on every tile; the product
// accumulates in place into a carried F32 accumulator.
MidProgram chunked_gemm(std::uint16_t tiles) {
  constexpr std::uint32_t chunks = 4;
  constexpr std::uint32_t inner = 1024;
  constexpr std::uint32_t columns = 64;
  const std::uint32_t rows = 16U * tiles;
  const Layout by_rows = Layout::row_sharded(tiles);
  const auto t = [](ostrand::tensor::TensorShape shape, ostrand::tensor::Precision p, Layout layout) {
    return TensorType{std::move(shape), {p, std::move(layout)}};
  };

  MidProgram p;
  p.device_tiles = tiles;
  const MidValueId left = p.add_value(t({rows, inner}, F16{}, by_rows));
  const MidValueId right = p.add_value(t({inner, columns}, F16{}, by_rows));
  const MidValueId accumulator = p.add_value(t({rows, columns}, F32{}, by_rows));
  for (const MidValueId input : {left, right, accumulator}) p.inputs.push_back({"", input, false});

  std::vector<MidValueId> left_chunks;
  std::vector<MidValueId> right_chunks;
  for (std::uint32_t c = 0; c < chunks; ++c) {
    left_chunks.push_back(p.add_value(t({rows, inner / chunks}, F16{}, by_rows)));
    p.operations.push_back(
        {{left}, {left_chunks.back()}, std::nullopt, slice_at({0, c * inner / chunks}), {}});
  }
  for (std::uint32_t c = 0; c < chunks; ++c) {
    right_chunks.push_back(p.add_value(t({inner / chunks, columns}, F16{}, replicated(tiles))));
    p.operations.push_back(
        {{right}, {right_chunks.back()}, std::nullopt, slice_at({c * inner / chunks, 0}), {}});
  }

  const MidValueId carried = p.add_value(t({rows, columns}, F32{}, by_rows));
  const MidValueId left_chunk = p.add_value(t({rows, inner / chunks}, F16{}, by_rows));
  const MidValueId right_chunk = p.add_value(t({inner / chunks, columns}, F16{}, replicated(tiles)));
  const MidValueId next = p.add_value(t({rows, columns}, F32{}, by_rows));
  ostrand::mid::Product product;
  product.aliases = {{0, 2}};
  product.left_axis = ostrand::tensor::FromEnd{1};
  product.right_axis = ostrand::tensor::FromEnd{2};
  product.output_axis = ostrand::tensor::FromEnd{1};
  product.inner_block = 64;
  product.output_column_block = 64;
  product.multiply = F16{};
  product.accumulate_into_output = true;
  ostrand::mid::Repeat loop;
  loop.iterated = {left_chunks, right_chunks};
  loop.body = ostrand::mid::MidRegion{
      {carried, left_chunk, right_chunk},
      {MidOperation{
          {left_chunk, right_chunk, carried}, {next}, std::nullopt, ostrand::mid::Compute(product), {}}},
      {next}};
  loop.carried = 1;
  loop.count = chunks;
  const MidValueId sum = p.add_value(t({rows, columns}, F32{}, by_rows));
  p.operations.push_back({{accumulator}, {sum}, std::nullopt, loop, {}});

  const auto kernel = [](ostrand::mid::TileKernelSpec spec) {
    return ostrand::mid::Compute(
        ostrand::mid::Kernel{{ostrand::mid::indexing::Windowed{}}, {}, std::move(spec)});
  };
  const MidValueId half = p.add_value(t({rows, columns}, F16{}, by_rows));
  p.operations.push_back(
      {{sum}, {half}, std::nullopt, kernel(ostrand::mid::kernels::Cast{F32{}, F16{}}), {}});
  const MidValueId activated = p.add_value(t({rows, columns}, F16{}, by_rows));
  p.operations.push_back({{half}, {activated}, std::nullopt, kernel(ostrand::mid::kernels::Gelu{}), {}});
  const MidValueId spread = p.add_value(t({rows, columns}, F16{}, Layout::row_sharded(tiles / 2)));
  p.operations.push_back({{activated}, {spread}, std::nullopt, slice_at({}), {}});
  p.outputs = {spread};
  return p;
}

void set_counters(benchmark::State& state, std::uint16_t tiles) {
  state.counters["tiles"] = tiles;
  // Seconds per tile and iteration: flat when the work grows linearly with the tiles.
  state.counters["time_per_tile"] =
      benchmark::Counter(tiles, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_RefreshChunkedGemm(benchmark::State& state) {
  const auto tiles = static_cast<std::uint16_t>(state.range(0));
  const MidProgram built = chunked_gemm(tiles);
  OSTRAND_CHECK(built.validate().has_value(), "the benchmark program must be valid");
  for (auto _ : state) {
    MidProgram program = built;
    benchmark::DoNotOptimize(ostrand::estimate::refresh_estimates(program));
    benchmark::DoNotOptimize(program.estimates);
  }
  set_counters(state, tiles);
}
BENCHMARK(BM_RefreshChunkedGemm)->Arg(64)->Arg(1472)->Unit(benchmark::kMicrosecond);

void BM_AnalyzeChunkedGemm(benchmark::State& state) {
  const auto tiles = static_cast<std::uint16_t>(state.range(0));
  const MidProgram program = chunked_gemm(tiles);
  const auto estimate = ostrand::estimate::analyze_observed(program);
  OSTRAND_CHECK(estimate.has_value(), "the benchmark program must be estimable");
  for (auto _ : state) benchmark::DoNotOptimize(ostrand::estimate::analyze_observed(program));
  set_counters(state, tiles);
}
BENCHMARK(BM_AnalyzeChunkedGemm)->Arg(64)->Arg(1472)->Unit(benchmark::kMicrosecond);

}  // namespace

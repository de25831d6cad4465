// Cost of the overfitting probability: all C(16, 8) = 12,870 splits over random block
// returns, by candidate count and worker count.
#include <benchmark/benchmark.h>
#include <tbb/task_arena.h>

#include "core/splitmix.hpp"
#include "validate/evidence.hpp"

namespace {

using namespace varnek;

// Up to 3 trades per block with R uniform in [-1, 1) each (seed 5).
validate::BlockReturns random_blocks(std::size_t candidates) {
  core::SplitMix64 rng(5);
  auto b = validate::make_block_returns(candidates);
  for (std::size_t i = 0; i < b.sum_r.size(); ++i) {
    b.trades[i] = static_cast<std::uint32_t>(rng.below(4));
    for (std::uint32_t t = 0; t < b.trades[i]; ++t) b.sum_r[i] += 2.0 * rng.uniform() - 1.0;
  }
  return b;
}

void BM_Pbo(benchmark::State& state) {
  const auto blocks = random_blocks(static_cast<std::size_t>(state.range(0)));
  tbb::task_arena arena(static_cast<int>(state.range(1)));
  for (auto _ : state) {
    validate::PboResult r;
    arena.execute([&] { r = validate::pbo(blocks); });
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_Pbo)
    ->ArgNames({"candidates", "workers"})
    ->Args({200, 1})
    ->Args({2000, 1})
    ->Args({2000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

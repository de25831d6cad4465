// Feature-set construction: built once per data set, before any candidate runs.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "data/bars.hpp"
#include "data/synthetic.hpp"
#include "htf/features.hpp"
#include "htf/indicators.hpp"

namespace {

using namespace varnek;

// The length lists of the static lattice (every lattice value is already a default).
htf::FeatureLengths static_lattice_lengths() {
  return htf::default_feature_lengths();
}

const data::BarSeries& bars20k() {
  static const data::BarSeries bars = data::generate_synthetic(20000, 1);
  return bars;
}

void BM_BuildFeatureSet(benchmark::State& state) {
  const data::BarSeries& bars = bars20k();
  const htf::FeatureLengths lengths = static_lattice_lengths();
  for (auto _ : state) {
    htf::FeatureSet fs = htf::build_feature_set(bars, lengths);
    benchmark::DoNotOptimize(fs.atr.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(bars.size()));
}
BENCHMARK(BM_BuildFeatureSet)->Unit(benchmark::kMillisecond);

void BM_BuildContextH4(benchmark::State& state) {
  const data::BarSeries& bars = bars20k();
  const htf::FeatureLengths lengths = static_lattice_lengths();
  for (auto _ : state) {
    htf::HtfContext view = htf::build_context(bars, "H4", 14400, lengths.htf_ema);
    benchmark::DoNotOptimize(view.map.data());
  }
}
BENCHMARK(BM_BuildContextH4)->Unit(benchmark::kMillisecond);

void BM_HighestPrev(benchmark::State& state) {
  const data::BarSeries& bars = bars20k();
  const auto n = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    auto out = htf::highest_prev(bars.high, n);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(bars.size()));
}
BENCHMARK(BM_HighestPrev)->Arg(3)->Arg(60)->Unit(benchmark::kMicrosecond);

void BM_DetectBreaks(benchmark::State& state) {
  const data::BarSeries& bars = bars20k();
  for (auto _ : state) {
    htf::BreakFlags flags = htf::detect_breaks(bars, 5);
    benchmark::DoNotOptimize(flags.bull.data());
  }
}
BENCHMARK(BM_DetectBreaks)->Unit(benchmark::kMicrosecond);

}  // namespace

// Engine throughput on 20,000 synthetic hourly bars (seed 1): fast backtests per family
// and for a family-uniform mix of valid candidates, and raw decisions.
#include <benchmark/benchmark.h>

#include <tbb/task_arena.h>

#include <memory>
#include <vector>

#include "bt/simulate.hpp"
#include "core/spec.hpp"
#include "data/synthetic.hpp"
#include "strategy/decide_rules.hpp"

namespace {

using namespace varnek;

struct World {
  explicit World(std::size_t n) : bars(data::generate_synthetic(n, 1)) {}
  data::BarSeries bars;
  htf::FeatureSet features = htf::build_feature_set(bars, strategy::feature_lengths());
  strategy::DecisionTables tables = strategy::build_decision_tables(bars, features);
  strategy::EvalInputs inputs() const { return {bars, features, tables}; }
};

const World& world() {
  static const auto w = std::make_unique<World>(20000);
  return *w;
}

// 100,000 bars, built when first asked for.
const World& long_world() {
  static const auto w = std::make_unique<World>(100000);
  return *w;
}

// `count` valid candidates of one family (or of every family when family is -1).
std::vector<strategy::Candidate> candidates(int family, std::size_t count = 256) {
  core::SplitMix64 rng(7);
  std::vector<strategy::Candidate> out;
  while (out.size() < count) {
    const auto f = family >= 0 ? static_cast<std::uint8_t>(family)
                               : static_cast<std::uint8_t>(out.size() % strategy::kFamilies);
    const strategy::Candidate c = strategy::random_candidate(f, rng);
    if (strategy::is_valid(c)) out.push_back(c);
  }
  return out;
}

void BM_FastBacktest(benchmark::State& state) {
  const World& w = world();
  const auto list = candidates(static_cast<int>(state.range(0)));
  const core::Spec spec = core::default_spec();
  const core::Market market = core::market_for(spec);
  bt::SegmentSummary s;
  std::size_t i = 0;
  std::uint64_t trades = 0;
  for (auto _ : state) {
    bt::run_fast(list[i++ % list.size()], w.inputs(), market, spec.exec, 0, w.bars.size(), s);
    trades += s.trades;
    benchmark::DoNotOptimize(s);
  }
  state.counters["backtests/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["trades/bt"] =
      static_cast<double>(trades) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FastBacktest)->ArgName("family")->DenseRange(-1, 4);

// The backtest stage of a funnel over a long range: 4,096 valid candidates of every family,
// nearly all alone in their entry stream, through the batch over 300,000 bars on one worker,
// where prices, ATRs and signal lists come from memory.
void BM_LongRangeBatch(benchmark::State& state) {
  static const World w(300000);
  const auto list = candidates(-1, 4096);
  const core::Spec spec = core::default_spec();
  const core::Market market = core::market_for(spec);
  tbb::task_arena arena(1);
  std::vector<bt::SegmentSummary> out(list.size());
  for (auto _ : state) {
    arena.execute([&] {
      bt::run_fast_batch(list, w.inputs(), market, spec.exec, 0, w.bars.size(), out);
    });
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["candidates/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * list.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LongRangeBatch)->Unit(benchmark::kMillisecond)->UseRealTime();

// The exhaustive lattice's unit of work on one worker: 32,000 htf_pullback_breakout variants
// (1,280 entry streams with their 25 stop and target levels) over the train segment of a
// 20,000- or 100,000-bar run (its first 60 %), walking shared signal lists, with first-touch
// tables (arg 1) or without (0). Over the longer segment the variants step in blocks.
void BM_LatticeWindow(benchmark::State& state) {
  const World& w = state.range(0) == 20000 ? world() : long_world();
  std::vector<strategy::Candidate> keys;
  for (std::uint64_t e = 0; e < 1280; ++e) {
    for (std::uint64_t x = 0; x < 25; ++x) {
      const strategy::Candidate c = strategy::enumerate(0, e + 6400 * x);
      if (strategy::is_valid(c)) keys.push_back(c);
    }
  }
  const core::Spec spec = core::default_spec();
  const core::Market market = core::market_for(spec);
  const std::size_t train = w.bars.size() * 3 / 5;
  const bool tables = state.range(1) != 0;
  bt::TouchTables touches;
  if (tables) {
    bt::add_touch_tables(touches, keys, w.inputs(), market, spec.exec, 0, train);
  }
  std::vector<bt::SegmentSummary> out(keys.size());
  tbb::task_arena one(1);
  std::uint64_t trades = 0, skips = 0;
  for (auto _ : state) {
    one.execute([&] {
      bt::run_fast_batch(keys, w.inputs(), market, spec.exec, 0, train, out,
                         tables ? &touches : nullptr);
    });
    for (const bt::SegmentSummary& s : out) trades += s.trades, skips += s.size_skips;
  }
  state.counters["skips/trade"] = static_cast<double>(skips) / static_cast<double>(trades);
  state.counters["variants/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * keys.size()), benchmark::Counter::kIsRate);
  state.counters["ns/trade"] = benchmark::Counter(
      static_cast<double>(trades) / 1e9,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LatticeWindow)
    ->ArgNames({"bars", "tables"})
    ->Args({20000, 0})
    ->Args({20000, 1})
    ->Args({100000, 1})
    ->Unit(benchmark::kMillisecond);

// Grouping 2^18 keys of htf_pullback_breakout by entry stream, serial work ahead of each
// batch's backtests: keys already in stream order, as an exhaustive window hands them over,
// and in lattice order, which needs the sort.
void BM_GroupByStream(benchmark::State& state) {
  std::vector<strategy::Candidate> keys;
  for (std::uint64_t i = 0; i < (std::uint64_t{1} << 18); ++i) keys.push_back(strategy::enumerate(0, i));
  if (state.range(0) == 0) {
    std::vector<strategy::Candidate> ordered;
    for (const std::uint32_t i : bt::group_by_stream(keys).order) ordered.push_back(keys[i]);
    keys = std::move(ordered);
  }
  std::size_t groups = 0;
  for (auto _ : state) {
    const bt::StreamGroups g = bt::group_by_stream(keys);
    groups = g.bounds.size() - 1;
    benchmark::DoNotOptimize(g.order.data());
  }
  state.counters["groups"] = static_cast<double>(groups);
}
BENCHMARK(BM_GroupByStream)->ArgName("sorting")->DenseRange(0, 1)->Unit(benchmark::kMillisecond);

// One family's first-touch table over all 20,000 bars, on one worker.
void BM_TouchTable(benchmark::State& state) {
  const World& w = world();
  const auto list = candidates(static_cast<int>(state.range(0)));
  const core::Spec spec = core::default_spec();
  const core::Market market = core::market_for(spec);
  tbb::task_arena one(1);
  for (auto _ : state) {
    one.execute([&] {
      bt::TouchTable t =
          bt::build_touch_table(list[0], w.inputs(), market, spec.exec, 0, w.bars.size());
      benchmark::DoNotOptimize(t.offsets.data());
    });
  }
}
BENCHMARK(BM_TouchTable)->ArgName("family")->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_Decisions(benchmark::State& state) {
  const World& w = world();
  const auto list = candidates(-1);
  const std::size_t n = w.bars.size();
  std::size_t i = 0;
  for (auto _ : state) {
    const strategy::StrategyView v = strategy::resolve(list[i++ % list.size()], w.inputs());
    const std::uint64_t count = strategy::rules::with_family(v.family, [&](auto f) {
      std::uint64_t c = 0;
      for (std::size_t k = 2; k < n; ++k) {
        c += strategy::rules::decide_at<decltype(f)::value>(v, k) != 0;
      }
      return c;
    });
    benchmark::DoNotOptimize(count);
  }
  state.counters["decisions/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(n - 2),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Decisions);

void BM_FeatureBuild(benchmark::State& state) {
  const World& w = world();
  for (auto _ : state) {
    htf::FeatureSet fs = htf::build_feature_set(w.bars, strategy::feature_lengths());
    strategy::DecisionTables t = strategy::build_decision_tables(w.bars, fs);
    benchmark::DoNotOptimize(t);
  }
}
BENCHMARK(BM_FeatureBuild)->Unit(benchmark::kMillisecond);

}  // namespace

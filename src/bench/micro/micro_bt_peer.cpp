// The workload an array-compiled engine is compared on: 20,000 valid ema_cross and
// donchian_breakout candidates (alternating families, SplitMix64 seed 99), one fast
// backtest each over the whole series of 20,000 or 100,000 synthetic hourly bars (seed 1),
// on one worker and on two, one run per candidate (PeerBatch) and through the shared-signal
// batch without and with first-touch tables (PeerShared, PeerTables). Each iteration runs the whole batch; the figure to compare is the
// batch time (candidates/s as a rate counter).
#include <benchmark/benchmark.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <map>
#include <memory>
#include <vector>

#include "bt/simulate.hpp"
#include "core/spec.hpp"
#include "core/splitmix.hpp"
#include "data/synthetic.hpp"

namespace {

using namespace varnek;

struct World {
  explicit World(std::size_t n) : bars(data::generate_synthetic(n, 1)) {}
  data::BarSeries bars;
  htf::FeatureSet features = htf::build_feature_set(bars, strategy::feature_lengths());
  strategy::DecisionTables tables = strategy::build_decision_tables(bars, features);
  strategy::EvalInputs inputs() const { return {bars, features, tables}; }
};

const World& world(std::size_t n) {
  static std::map<std::size_t, std::unique_ptr<World>> worlds;
  auto& w = worlds[n];
  if (!w) w = std::make_unique<World>(n);
  return *w;
}

const std::vector<strategy::Candidate>& peer_candidates() {
  static const std::vector<strategy::Candidate> list = [] {
    core::SplitMix64 rng(99);
    std::vector<strategy::Candidate> out;
    while (out.size() < 20000) {
      const auto f = static_cast<std::uint8_t>(1 + out.size() % 2);
      const strategy::Candidate c = strategy::random_candidate(f, rng);
      if (strategy::is_valid(c)) out.push_back(c);
    }
    return out;
  }();
  return list;
}

// Runs `batch` (the summaries of every peer candidate over all bars, into `out`) once per
// iteration on the arena's workers; reports candidates per second and trades per backtest.
// Arguments: bars, workers.
template <class Batch>
void run_peer(benchmark::State& state, Batch&& batch) {
  const World& w = world(static_cast<std::size_t>(state.range(0)));
  const auto& list = peer_candidates();
  const core::Spec spec = core::default_spec();
  const core::Market market = core::market_for(spec);
  tbb::task_arena arena(static_cast<int>(state.range(1)));
  std::vector<bt::SegmentSummary> out(list.size());
  std::uint64_t trades = 0;
  for (auto _ : state) {
    arena.execute([&] { batch(list, w, market, spec.exec, out); });
    for (const bt::SegmentSummary& s : out) trades += s.trades;
    benchmark::DoNotOptimize(trades);
  }
  state.counters["candidates/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * list.size()), benchmark::Counter::kIsRate);
  state.counters["trades/bt"] =
      static_cast<double>(trades) / static_cast<double>(state.iterations() * list.size());
}

// One fast run per candidate, as the peer does.
void BM_PeerBatch(benchmark::State& state) {
  run_peer(state, [](const auto& list, const World& w, const core::Market& market,
                     const core::Exec& exec, std::vector<bt::SegmentSummary>& out) {
    tbb::parallel_for(std::size_t{0}, list.size(), [&](std::size_t i) {
      bt::run_fast(list[i], w.inputs(), market, exec, 0, w.bars.size(), out[i]);
    });
  });
}

// The same batch through the shared-signal path: exit variants of one entry stream walk
// one signal list.
void BM_PeerShared(benchmark::State& state) {
  run_peer(state, [](const auto& list, const World& w, const core::Market& market,
                     const core::Exec& exec, std::vector<bt::SegmentSummary>& out) {
    bt::run_fast_batch(list, w.inputs(), market, exec, 0, w.bars.size(), out);
  });
}

// The shared-signal batch reading its exits from first-touch tables, built within the
// timed batch.
void BM_PeerTables(benchmark::State& state) {
  run_peer(state, [](const auto& list, const World& w, const core::Market& market,
                     const core::Exec& exec, std::vector<bt::SegmentSummary>& out) {
    bt::TouchTables touches;
    bt::add_touch_tables(touches, list, w.inputs(), market, exec, 0, w.bars.size());
    bt::run_fast_batch(list, w.inputs(), market, exec, 0, w.bars.size(), out, &touches);
  });
}

void peer_sizes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"bars", "workers"});
  for (const std::int64_t bars : {20000, 100000}) {
    for (const std::int64_t workers : {1, 2}) b->Args({bars, workers});
  }
  b->Unit(benchmark::kMillisecond)->UseRealTime();
}

BENCHMARK(BM_PeerBatch)->Apply(peer_sizes);
BENCHMARK(BM_PeerShared)->Apply(peer_sizes);
BENCHMARK(BM_PeerTables)->Apply(peer_sizes);

}  // namespace

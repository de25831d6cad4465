// Surrogate forest: training 64 trees on a warm-up-sized sample (3000 rows) and batch
// prediction over a 65536-candidate pool, on one worker and on two; medians of five runs.
// Rows are valid candidates of every family with a smooth target plus noise, so the trees
// reach their depth limit as they do on real scores.
#include <benchmark/benchmark.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <vector>

#include "core/splitmix.hpp"
#include "rf/forest.hpp"

namespace {

using namespace varnek;

std::vector<strategy::Candidate> valid_candidates(std::size_t n, std::uint64_t seed) {
  core::SplitMix64 rng(seed);
  std::vector<strategy::Candidate> out;
  out.reserve(n);
  while (out.size() < n) {
    const auto family = static_cast<std::uint8_t>(rng.below(strategy::kFamilies));
    const strategy::Candidate c = strategy::random_candidate(family, rng);
    if (strategy::is_valid(c)) out.push_back(c);
  }
  return out;
}

struct Sample {
  std::vector<rf::Row> rows;
  std::vector<float> targets;
};

Sample training_sample(std::size_t n) {
  Sample s;
  core::SplitMix64 noise(99);
  for (const strategy::Candidate& c : valid_candidates(n, 5)) {
    const rf::Row x = strategy::feature_vector(c);
    const double y = 2.0 * (x[5] - 0.5) + (x[1] > 0.5f ? 0.7 : -0.2) + x[6] * x[7] - x[9] * x[3] +
                     (noise.uniform() - 0.5);
    s.rows.push_back(x);
    s.targets.push_back(static_cast<float>(std::max(-5.0, y)));
  }
  return s;
}

const rf::Forest& trained_forest() {
  static const rf::Forest forest = [] {
    const Sample s = training_sample(3000);
    return rf::train(s.rows, s.targets, rf::ForestParams{.seed = 42});
  }();
  return forest;
}

void BM_Train3000(benchmark::State& state) {
  const Sample s = training_sample(3000);
  tbb::task_arena arena(static_cast<int>(state.range(0)));
  std::size_t nodes = 0;
  for (auto _ : state) {
    arena.execute([&] {
      const rf::Forest forest = rf::train(s.rows, s.targets, rf::ForestParams{.seed = 42});
      nodes = rf::node_count(forest);
      benchmark::DoNotOptimize(forest.trees.data());
    });
  }
  state.counters["nodes"] = static_cast<double>(nodes);
}
BENCHMARK(BM_Train3000)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("workers")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The largest training set the forest accepts.
void BM_Train20000(benchmark::State& state) {
  const Sample s = training_sample(20000);
  for (auto _ : state) {
    const rf::Forest forest = rf::train(s.rows, s.targets, rf::ForestParams{.seed = 42});
    benchmark::DoNotOptimize(forest.trees.data());
  }
}
BENCHMARK(BM_Train20000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_PredictBatch(benchmark::State& state) {
  const rf::Forest& forest = trained_forest();
  const auto pool = valid_candidates(65536, 11);
  tbb::task_arena arena(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    arena.execute([&] {
      const auto out = rf::predict_batch(forest, pool, 0.5f);
      benchmark::DoNotOptimize(out.data());
    });
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * pool.size()));
}
BENCHMARK(BM_PredictBatch)
    ->Arg(1)
    ->Arg(2)
    ->ArgName("workers")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// One row at a time through the laid-out trees, and through the node lists alone.
void BM_PredictOne(benchmark::State& state) {
  rf::Forest forest = trained_forest();
  if (state.range(0) == 0) forest.layout = {};
  std::vector<rf::Row> rows;
  for (const auto& c : valid_candidates(4096, 13)) rows.push_back(strategy::feature_vector(c));
  for (auto _ : state) {
    float sum = 0.0f;
    for (const rf::Row& x : rows) sum += rf::predict(forest, x, 0.5f);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rows.size()));
}
BENCHMARK(BM_PredictOne)->Arg(1)->Arg(0)->ArgName("laid_out");

}  // namespace

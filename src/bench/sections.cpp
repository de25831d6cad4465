#include "bench/sections.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <limits>
#include <numeric>
#include <vector>

#include "bt/simulate.hpp"
#include "core/alloc_counter.hpp"
#include "core/parallel.hpp"
#include "search/evaluate.hpp"

namespace varnek::bench {

namespace {

using strategy::Candidate;

// What sections A and B measure with one prediction function: its latency, one timed
// call per pool position, and its throughput, `passes` passes over the whole pool spread
// over the worker pool (each pass single-threaded, so it reads like one worker's share).
struct PredictionTimes {
  std::vector<double> latency;
  double throughput = 0.0;
};

template <class Predict>
PredictionTimes time_predictions(std::size_t count, std::size_t passes, const Predict& predict) {
  PredictionTimes times;
  times.latency.resize(count);
  float checksum = 0.0f;
  for (std::size_t i = 0; i < count; ++i) {
    const core::Stopwatch clock;
    const float p = predict(i);
    times.latency[i] = clock.seconds();
    checksum += p;
  }
  std::vector<float> pass_sums(passes, 0.0f);
  const double seconds = seconds_of([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, passes, 1), [&](const auto& r) {
      for (std::size_t pass = r.begin(); pass != r.end(); ++pass) {
        float sum = 0.0f;
        for (std::size_t i = 0; i < count; ++i) sum += predict(i);
        pass_sums[pass] = sum;
      }
    });
  });
  keep(checksum + std::accumulate(pass_sums.begin(), pass_sums.end(), 0.0f));
  times.throughput = rate(static_cast<double>(count) * static_cast<double>(passes), seconds);
  return times;
}

// The pool's rows, encoded once before any clock starts.
std::vector<rf::Row> encode(std::span<const Candidate> candidates) {
  std::vector<rf::Row> rows;
  rows.reserve(candidates.size());
  for (const Candidate& c : candidates) rows.push_back(strategy::feature_vector(c));
  return rows;
}

}  // namespace

double mean(std::span<const double> samples) {
  if (samples.empty()) return std::numeric_limits<double>::quiet_NaN();
  return std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
}

core::Json rf_inference(const Workbench& wb, const Sizes& sizes) {
  const std::vector<rf::Row> rows = encode(wb.pool);
  const PredictionTimes times = time_predictions(rows.size(), sizes.passes, [&](std::size_t i) {
    return rf::predict(wb.forest, rows[i], kSpread);
  });
  core::Json j = core::Json::object();
  j["name"] = "A — Random Forest inference";
  j["trees"] = wb.forest.trees.size();
  j["max_depth"] = kForestParams.max_depth;
  j["features"] = rf::kFeatures;
  j["nodes"] = rf::node_count(wb.forest);
  j["throughput_per_sec"] = core::number_or_null(times.throughput);
  j["latency"] = latency_json(times.latency);
  j["unit"] = "prediction (64 trees)";
  return j;
}

core::Json encode_and_predict(const Workbench& wb, const Sizes& sizes) {
  const PredictionTimes times = time_predictions(wb.pool.size(), sizes.passes, [&](std::size_t i) {
    return rf::predict(wb.forest, strategy::feature_vector(wb.pool[i]), kSpread);
  });
  core::Json j = core::Json::object();
  j["name"] = "B — Feature encoding + RF";
  j["throughput_per_sec"] = core::number_or_null(times.throughput);
  j["latency"] = latency_json(times.latency);
  j["unit"] = "candidate scored";
  return j;
}

core::Json decisions(const Workbench& wb, const Sizes& sizes) {
  const std::size_t n = wb.bars.size();
  const strategy::EvalInputs inputs = wb.inputs();
  const std::span<const Candidate> counted =
      std::span<const Candidate>(wb.pool).first(sizes.decision_candidates);
  std::uint64_t fired = 0;
  const double seconds = seconds_of([&] { fired = strategy::signal_count(counted, inputs); });

  // One bar decision is too short for the clock: time a whole pass and divide.
  const auto decided = static_cast<double>(n - 2);
  std::vector<double> latency(sizes.decision_latency);
  std::uint64_t checksum = 0;
  for (std::size_t i = 0; i < latency.size(); ++i) {
    const strategy::StrategyView view = strategy::resolve(wb.pool[i], inputs);
    const core::Stopwatch clock;
    for (std::size_t k = 2; k < n; ++k) checksum += strategy::decide(view, k) != 0;
    latency[i] = clock.seconds() / decided;
  }
  keep(checksum);

  core::Json j = core::Json::object();
  j["name"] = "C — Decision engine (entry logic per bar)";
  j["decisions_per_sec"] =
      core::number_or_null(rate(decided * static_cast<double>(counted.size()), seconds));
  j["signals_fired"] = fired;
  j["latency_per_decision"] = latency_json(std::move(latency));
  j["unit"] = "bar decision";
  return j;
}

core::Json fast_backtests(const Workbench& wb, const Sizes& sizes) {
  const std::size_t n = wb.bars.size();
  const strategy::EvalInputs inputs = wb.inputs();
  // Read before the timing buffer is allocated, so an allocation-free fast path shows
  // exactly that one allocation.
  const std::uint64_t allocations_before = core::allocation_count();
  std::vector<double> latency(sizes.fast_backtests);
  bt::SegmentSummary summary;
  std::uint64_t trades = 0;
  for (std::size_t i = 0; i < latency.size(); ++i) {
    const core::Stopwatch clock;
    bt::run_fast(wb.pool[i], inputs, wb.market, wb.exec, 0, n, summary);
    latency[i] = clock.seconds();
    trades += summary.trades;
  }
  const std::uint64_t allocations = core::allocation_count() - allocations_before;
  keep(trades);

  core::Json j = core::Json::object();
  j["name"] = "D — Trade simulation (1 full backtest, 1 thread)";
  j["backtests_per_sec_single_thread"] = core::number_or_null(rate(1.0, mean(latency)));
  j["bars"] = n;
  j["heap_allocations_per_backtest"] =
      core::number_or_null(static_cast<double>(allocations) / static_cast<double>(latency.size()));
  j["latency"] = latency_json(std::move(latency));
  return j;
}

core::Json evaluation(const Workbench& wb, const Sizes&) {
  const std::size_t n = wb.bars.size();
  const strategy::EvalInputs inputs = wb.inputs();
  const std::size_t count = wb.pool.size();
  std::vector<double> scores(count);
  const double seconds = seconds_of([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count), [&](const auto& r) {
      bt::SegmentSummary summary;  // this task's scratch
      for (std::size_t i = r.begin(); i != r.end(); ++i) {
        bt::run_fast(wb.pool[i], inputs, wb.market, wb.exec, 0, n, summary);
        scores[i] = search::search_score(summary, kScoreThreshold);
      }
    });
  });
  keep(std::accumulate(scores.begin(), scores.end(), 0.0));

  core::Json j = core::Json::object();
  j["name"] = "E — Candidate evaluation (backtest + score, all workers)";
  j["candidates"] = count;
  j["candidates_per_sec"] = core::number_or_null(rate(static_cast<double>(count), seconds));
  j["decisions_per_sec"] =
      core::number_or_null(rate(static_cast<double>(count) * static_cast<double>(n), seconds));
  j["workers"] = core::worker_count();
  return j;
}

core::Json full_backtests(const Workbench& wb, const Sizes& sizes) {
  const strategy::EvalInputs inputs = wb.inputs();
  std::vector<double> latency(sizes.full_backtests);
  std::size_t trades = 0;
  for (std::size_t i = 0; i < latency.size(); ++i) {
    const core::Stopwatch clock;
    const bt::BacktestRun run =
        bt::run_full(wb.pool[i], inputs, wb.market, wb.exec, 0, wb.bars.size());
    latency[i] = clock.seconds();
    trades += run.trades.size();  // the run is freed after its sample was taken
  }
  keep(trades);

  core::Json j = core::Json::object();
  j["name"] = "F — Full backtest (trade log + per-bar equity)";
  j["backtests_per_sec_single_thread"] = core::number_or_null(rate(1.0, mean(latency)));
  j["latency"] = latency_json(std::move(latency));
  return j;
}

}  // namespace varnek::bench

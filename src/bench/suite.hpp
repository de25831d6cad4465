#pragma once
// The engine benchmark: timed sections A to F over the production code paths (forest
// inference, encoding, decisions, fast and full backtests, parallel evaluation), a
// worker-scaling table, a load test and two pass/fail targets, as one JSON document.
//
// Every candidate comes from seeded SplitMix64 draws (pool: seed 99, load test: seed 5),
// so two runs on the same bars time the same work; only the timings differ.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "core/result.hpp"
#include "data/bars.hpp"

namespace varnek::bench {

// How much work each part of the suite does. The defaults are the benchmark's fixed
// set-up; smaller values only serve to exercise the suite's structure quickly.
struct Sizes {
  std::size_t pool = 20000;               // valid random candidates of all five families
  std::size_t forest_rows = 3000;         // first pool candidates that train the forest
  std::size_t passes = 50;                // throughput passes of sections A and B
  std::size_t decision_candidates = 400;  // section C: signal count
  std::size_t decision_latency = 100;     // section C: timed single-thread passes
  std::size_t fast_backtests = 400;       // section D
  std::size_t full_backtests = 200;       // section F
  std::size_t scaling_per_worker = 1500;  // candidates per worker of a scaling row ...
  std::size_t scaling_worker_cap = 8;     // ... counting at most this many workers
  std::vector<std::size_t> load = {100, 1000, 10000, 100000};  // load-test batch sizes
};

// The targets: forest predictions per second (section A) and bar decisions per second
// (section C). A target is met when the measured figure reaches it; equality counts.
inline constexpr std::uint64_t kRfInferenceTarget = 100000;
inline constexpr std::uint64_t kDecisionTarget = 10000;

// Called after each section ("A" .. "F"), each scaling row ("scaling") and each load row
// ("load") with that section's or row's JSON, on the thread that called run_suite.
using Progress = std::function<void(std::string_view key, const core::Json& item)>;

// "[bench {key}] {compact JSON}", the progress line printed on standard error.
std::string progress_line(std::string_view key, const core::Json& item);

// Runs the whole suite on the bars; `dataset` is the data-source text as typed. The
// default worker pool is the calling thread's arena. Fewer than 3 bars leave no bar to
// decide on and give an error. Sizes whose parts do not fit in the pool stop the process.
core::Result<core::Json> run_suite(const data::BarSeries& bars, std::string_view dataset,
                                   const Progress& progress, const Sizes& sizes = {});

struct ScalingStep {
  int workers = 0;
  std::size_t candidates = 0;  // min(workers, cap) * per_worker
};

// Worker counts 1, 2, 4, ... doubling while the double stays below max_workers, then
// max_workers itself (1, 2, 4, 8, 12 for 12); max_workers below 1 counts as 1.
std::vector<ScalingStep> scaling_plan(int max_workers, const Sizes& sizes = {});

// {"p50_us", "p95_us", "p99_us", "samples"}: the sorted samples (seconds) at index
// floor(q * (n - 1)) in microseconds; null percentiles without samples.
core::Json latency_json(std::vector<double> samples_seconds);

// {"target", "measured", "met"}; a non-finite measurement is null and never met.
core::Json target_json(std::uint64_t target, double measured);

}  // namespace varnek::bench

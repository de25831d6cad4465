#include "bench/suite.hpp"

#include <fmt/format.h>
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <span>

#include "bench/sections.hpp"
#include "bench/workbench.hpp"
#include "bt/simulate.hpp"
#include "core/fatal.hpp"
#include "core/parallel.hpp"
#include "core/splitmix.hpp"

namespace varnek::bench {

namespace {

using strategy::Candidate;

constexpr std::uint64_t kPoolSeed = 99;
constexpr std::uint64_t kLoadSeed = 5;
constexpr std::size_t kMinBars = 3;  // Decide starts at bar 2

// ---- set-up ----

// Valid candidates of all five families: each draw picks the family (next mod 5), then the
// candidate from the same generator; invalid draws are dropped.
std::vector<Candidate> draw_valid(std::size_t count, core::SplitMix64& rng) {
  std::vector<Candidate> out;
  out.reserve(count);
  while (out.size() < count) {
    const auto family = static_cast<std::uint8_t>(rng.below(strategy::kFamilies));
    const Candidate c = strategy::random_candidate(family, rng);
    if (strategy::is_valid(c)) out.push_back(c);
  }
  return out;
}

// Standard normal targets from the pool generator, continuing after the pool draws:
// sqrt(-2 ln(max(u1, 1e-12))) * cos(2 pi u2) per row (Box-Muller).
rf::Forest train_forest(std::span<const Candidate> candidates, core::SplitMix64& rng) {
  std::vector<rf::Row> rows;
  std::vector<float> targets;
  rows.reserve(candidates.size());
  targets.reserve(candidates.size());
  for (const Candidate& c : candidates) {
    rows.push_back(strategy::feature_vector(c));
    const double u1 = rng.uniform();
    const double u2 = rng.uniform();
    const double z =
        std::sqrt(-2.0 * std::log(std::max(u1, 1e-12))) * std::cos(2.0 * std::numbers::pi * u2);
    targets.push_back(static_cast<float>(z));
  }
  return rf::train(rows, targets, kForestParams);
}

core::Exec bench_exec() {
  core::Exec exec;
  exec.equity0 = 50000.0;
  exec.risk_per_trade = 0.0025;
  exec.max_bars = 48;
  exec.slip_mult = 1.0;
  exec.cost_mult = 1.0;
  exec.delay = 0;
  return exec;
}

// The feature build is timed as the research driver runs it: the feature set and the
// per-series decision tables that every evaluation reads.
Workbench set_up(const data::BarSeries& bars, const Sizes& sizes, double& feature_seconds) {
  const core::Stopwatch clock;
  htf::FeatureSet features = htf::build_feature_set(bars, strategy::feature_lengths());
  strategy::DecisionTables tables = strategy::build_decision_tables(bars, features);
  feature_seconds = clock.seconds();

  core::SplitMix64 rng(kPoolSeed);
  std::vector<Candidate> pool = draw_valid(sizes.pool, rng);
  rf::Forest forest = train_forest(std::span<const Candidate>(pool).first(sizes.forest_rows), rng);
  return Workbench{bars,         std::move(features), std::move(tables), core::preset_market("MNQ"),
                   bench_exec(), std::move(pool),     std::move(forest)};
}

void check_sizes(const Sizes& sizes) {
  const std::size_t largest_row = scaling_plan(core::worker_count(), sizes).back().candidates;
  const bool fits = sizes.forest_rows <= sizes.pool && sizes.decision_candidates <= sizes.pool &&
                    sizes.decision_latency <= sizes.decision_candidates &&
                    sizes.fast_backtests <= sizes.pool && sizes.full_backtests <= sizes.pool &&
                    largest_row <= sizes.pool;
  if (!fits) core::fatal("bench: a section asks for more candidates than the pool holds");
}

// ---- the timed sections, worker scaling and load test ----

struct Section {
  std::string_view key;
  core::Json (*run)(const Workbench&, const Sizes&);
};

constexpr Section kSections[] = {{"A", rf_inference}, {"B", encode_and_predict},
                                 {"C", decisions},    {"D", fast_backtests},
                                 {"E", evaluation},   {"F", full_backtests}};

// One fast backtest per candidate over the whole series on the current arena's workers,
// each into its own slot; returns the batch's seconds.
double time_fast_batch(const Workbench& wb, std::span<const Candidate> candidates,
                       std::span<bt::SegmentSummary> slots) {
  const strategy::EvalInputs inputs = wb.inputs();
  const std::size_t n = wb.bars.size();
  return seconds_of([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, candidates.size()), [&](const auto& r) {
      for (std::size_t i = r.begin(); i != r.end(); ++i) {
        bt::run_fast(candidates[i], inputs, wb.market, wb.exec, 0, n, slots[i]);
      }
    });
  });
}

void notify(const Progress& progress, std::string_view key, const core::Json& item) {
  if (progress) progress(key, item);
}

// Each row runs in a fresh arena of its own size. The first row is the single-worker
// reference, so every row's speedup is known as soon as it is measured.
core::Json worker_scaling(const Workbench& wb, const Sizes& sizes, const Progress& progress) {
  const std::vector<ScalingStep> plan = scaling_plan(core::worker_count(), sizes);
  std::vector<bt::SegmentSummary> slots(plan.back().candidates);
  core::Json rows = core::Json::array();
  double reference = 0.0;
  for (const ScalingStep& step : plan) {
    const auto candidates = std::span<const Candidate>(wb.pool).first(step.candidates);
    tbb::task_arena arena(step.workers);
    arena.initialize();
    double seconds = 0.0;
    arena.execute([&] { seconds = time_fast_batch(wb, candidates, slots); });
    const double per_sec = rate(static_cast<double>(step.candidates), seconds);
    if (rows.empty()) reference = per_sec;
    const double speedup = per_sec / reference;
    core::Json row = {{"workers", step.workers},
                      {"candidates_per_sec", core::number_or_null(per_sec)},
                      {"speedup", core::number_or_null(speedup)},
                      {"efficiency", core::number_or_null(speedup / step.workers)}};
    notify(progress, "scaling", row);
    rows.push_back(std::move(row));
  }
  return rows;
}

// One generator for all batch sizes, drawn in size order before each batch is timed.
core::Json load_test(const Workbench& wb, const Sizes& sizes, const Progress& progress) {
  const auto n = static_cast<double>(wb.bars.size());
  core::SplitMix64 rng(kLoadSeed);
  core::Json rows = core::Json::array();
  for (const std::size_t size : sizes.load) {
    const std::vector<Candidate> candidates = draw_valid(size, rng);
    std::vector<bt::SegmentSummary> slots(size);
    const double seconds = time_fast_batch(wb, candidates, slots);
    const auto count = static_cast<double>(size);
    core::Json row = {{"candidates", size},
                      {"seconds", core::number_or_null(seconds)},
                      {"candidates_per_sec", core::number_or_null(rate(count, seconds))},
                      {"decisions_per_sec", core::number_or_null(rate(count * n, seconds))}};
    notify(progress, "load", row);
    rows.push_back(std::move(row));
  }
  return rows;
}

// A measured figure read back from its section; null (non-finite) reads as NaN.
double measured(const core::Json& value) {
  return value.is_number() ? value.get<double>() : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace

std::string progress_line(std::string_view key, const core::Json& item) {
  return fmt::format("[bench {}] {}", key, core::to_compact(item));
}

core::Result<core::Json> run_suite(const data::BarSeries& bars, std::string_view dataset,
                                   const Progress& progress, const Sizes& sizes) {
  if (bars.size() < kMinBars) {
    return core::Error{
        fmt::format("bench needs at least {} bars, the series has {}", kMinBars, bars.size())};
  }
  check_sizes(sizes);
  double feature_seconds = 0.0;
  const Workbench wb = set_up(bars, sizes, feature_seconds);

  core::Json sections = core::Json::array();
  for (const Section& section : kSections) {
    core::Json result = section.run(wb, sizes);
    notify(progress, section.key, result);
    sections.push_back(std::move(result));
  }
  core::Json doc = core::Json::object();
  doc["dataset"] = std::string(dataset);
  doc["bars"] = bars.size();
  doc["feature_build_seconds"] = core::number_or_null(feature_seconds);
  doc["worker_scaling"] = worker_scaling(wb, sizes, progress);
  doc["load_test"] = load_test(wb, sizes, progress);
  doc["targets"] = {{"rf_inference_per_sec",
                     target_json(kRfInferenceTarget, measured(sections[0]["throughput_per_sec"]))},
                    {"decisions_per_sec",
                     target_json(kDecisionTarget, measured(sections[2]["decisions_per_sec"]))}};
  doc["benchmarks"] = std::move(sections);
  return doc;
}

std::vector<ScalingStep> scaling_plan(int max_workers, const Sizes& sizes) {
  const int top = std::max(max_workers, 1);
  std::vector<int> counts{1};
  while (counts.back() * 2 < top) counts.push_back(counts.back() * 2);
  if (top > 1) counts.push_back(top);
  std::vector<ScalingStep> plan;
  for (const int w : counts) {
    const std::size_t counted = std::min(static_cast<std::size_t>(w), sizes.scaling_worker_cap);
    plan.push_back({w, counted * sizes.scaling_per_worker});
  }
  return plan;
}

core::Json latency_json(std::vector<double> samples_seconds) {
  std::sort(samples_seconds.begin(), samples_seconds.end());
  const std::size_t n = samples_seconds.size();
  const auto at = [&](double q) {
    if (n == 0) return core::Json(nullptr);
    const auto i = static_cast<std::size_t>(std::floor(q * static_cast<double>(n - 1)));
    return core::number_or_null(samples_seconds[i] * 1e6);
  };
  return {{"p50_us", at(0.5)}, {"p95_us", at(0.95)}, {"p99_us", at(0.99)}, {"samples", n}};
}

core::Json target_json(std::uint64_t target, double measured_value) {
  return {{"target", target},
          {"measured", core::number_or_null(measured_value)},
          {"met", measured_value >= static_cast<double>(target)}};
}

}  // namespace varnek::bench

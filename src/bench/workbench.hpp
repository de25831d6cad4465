#pragma once
// What the benchmark's sections share: the bars with their precomputed features and
// decision tables, the fixed market and execution settings, the candidate pool and the
// trained forest. Built once by the set-up, then read-only.
#include <span>
#include <vector>

#include "core/clock.hpp"
#include "core/spec.hpp"
#include "data/bars.hpp"
#include "htf/features.hpp"
#include "rf/forest.hpp"
#include "strategy/decide.hpp"
#include "strategy/lattice.hpp"

namespace varnek::bench {

struct Workbench {
  const data::BarSeries& bars;
  htf::FeatureSet features;
  strategy::DecisionTables tables;
  core::Market market;
  core::Exec exec;
  std::vector<strategy::Candidate> pool;
  rf::Forest forest;

  strategy::EvalInputs inputs() const { return {bars, features, tables}; }
};

// Trades below this count score on the ramp of search_score.
inline constexpr std::uint32_t kScoreThreshold = 30;
// The forest of the set-up: 64 trees, depth 10, leaves of at least 3, 5 tries, seed 7.
inline constexpr rf::ForestParams kForestParams{64, 10, 3, 5, 7};
// Uncertainty weight of the predictions, as in the research driver's ranking.
inline constexpr float kSpread = 0.5f;

// Seconds taken by f(), on the monotonic clock.
template <class F>
double seconds_of(F&& f) {
  const core::Stopwatch clock;
  f();
  return clock.seconds();
}

// count / max(seconds, 1e-9): a batch too quick for the clock still gives a finite rate.
inline double rate(double count, double seconds) {
  return count / (seconds > 1e-9 ? seconds : 1e-9);
}

// Arithmetic mean; NaN without samples.
double mean(std::span<const double> samples);

// Keeps a result alive so that the timed work producing it cannot be optimised away.
template <class T>
void keep(const T& value) {
  volatile T sink = value;
  (void)sink;
}

}  // namespace varnek::bench

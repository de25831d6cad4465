#pragma once
// The train / validation / test split, the run's one evaluation context with the test
// lock, and the single ranking figure by which variants are compared.
#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "bt/simulate.hpp"
#include "core/json.hpp"
#include "core/spec.hpp"
#include "strategy/decide.hpp"
#include "strategy/lattice.hpp"

namespace varnek::search {

// A half-open bar-index range [start, end).
struct Range {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool empty() const { return end <= start; }
};

// Three consecutive segments with no gap: train [0, a), validation [a, b), test [b, n).
struct Split {
  Range train, validation, test;
};

// Truncates toward zero; NaN and negatives give 0, values beyond the range the maximum.
std::uint64_t to_index(double x);

// train_end = to_index(train * n); validation_end = to_index((train + validation) * n).
Split make_split(std::uint64_t n, double train, double validation);

// {"test":[s,e],"train":[s,e],"validation":[s,e]}
core::Json to_json(const Split& split);

// The finalists, frozen before the test segment opens; never changed afterwards.
struct FrozenSet {
  std::vector<strategy::Candidate> keys;
  std::uint64_t frozen_at = 0;  // seconds since 1970-01-01 UTC
};

// Copies the keys in order and stamps the system clock.
FrozenSet freeze(std::span<const strategy::Candidate> keys);

// What an evaluation covers.
struct SegmentRef {
  enum class Kind : std::uint8_t { train, validation, train_validation, custom, test };
  Kind kind = Kind::train;
  Range custom;                       // Kind::custom only: must end by validation's end
  const FrozenSet* frozen = nullptr;  // Kind::test only

  static SegmentRef train() { return {Kind::train, {}, nullptr}; }
  static SegmentRef validation() { return {Kind::validation, {}, nullptr}; }
  static SegmentRef train_validation() { return {Kind::train_validation, {}, nullptr}; }
  static SegmentRef range(std::uint64_t start, std::uint64_t end) {
    return {Kind::custom, {start, end}, nullptr};
  }
  static SegmentRef test(const FrozenSet& frozen) { return {Kind::test, {}, &frozen}; }
};

// One per research run; shared read-only by every worker except for its atomic counters.
struct EvalContext {
  const data::BarSeries& bars;
  const htf::FeatureSet& features;
  const strategy::DecisionTables& tables;
  core::Market market;
  core::Exec exec;
  Split split;
  std::uint32_t min_trades = 30;
  mutable std::atomic<std::uint64_t> evaluations{0};
  mutable std::atomic<std::uint64_t> bars_simulated{0};
  mutable std::atomic<std::uint64_t> test_evaluations{0};

  strategy::EvalInputs inputs() const { return {bars, features, tables}; }
};

// The range a segment reference covers. A test reference to a key that was not frozen,
// and a custom range that ends after the validation segment, stop the process: they guard
// the lock against faults, no input can cause them.
Range resolve_segment(const EvalContext& ctx, const strategy::Candidate& key,
                      const SegmentRef& segment);

// Fast backtest of the key on the segment with the given execution settings (normally the
// context's own); counts one evaluation and its stepped bars.
bt::SegmentSummary evaluate(const EvalContext& ctx, const strategy::Candidate& key,
                            const SegmentRef& segment, const core::Exec& exec);

// The same, listing each trade's entry bar and result into `results` (cleared first).
bt::SegmentSummary evaluate_results(const EvalContext& ctx, const strategy::Candidate& key,
                                    const SegmentRef& segment, const core::Exec& exec,
                                    std::vector<bt::TradeResult>& results);

// The same with the trade log and curves, under the same lock and counters.
bt::BacktestRun evaluate_full(const EvalContext& ctx, const strategy::Candidate& key,
                              const SegmentRef& segment, const core::Exec& exec);

// Full run of a frozen finalist over any range, the test segment included, for the report.
// It is not an evaluation: the counters do not move. A key that is not in `frozen` stops
// the process, as a test evaluation of it would.
bt::BacktestRun run_frozen(const EvalContext& ctx, const FrozenSet& frozen,
                           const strategy::Candidate& key, Range range);

// Below `threshold` trades: 2 * trades / threshold - 3, in [-3, -1). Otherwise the
// t-statistic of the trade results (sample variance, count capped at 100 under the root,
// 0 for fewer than 2 trades or no variance) minus 0.02 * max drawdown in R.
double search_score(const bt::SegmentSummary& s, std::uint32_t threshold);

// The t-statistic term of search_score alone.
double t_statistic(const bt::SegmentSummary& s);

struct Scored {
  strategy::Candidate key;
  double score = 0.0;
};

// Evaluates every key on the segment in parallel and scores it with min_trades; an invalid
// variant is not evaluated and scores exactly -5.0. Output order is input order.
std::vector<Scored> score_batch(const EvalContext& ctx, std::span<const strategy::Candidate> keys,
                                const SegmentRef& segment);

}  // namespace varnek::search

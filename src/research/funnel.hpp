#pragma once
// The candidate funnel: from the variant space to a handful of finalists, stage by stage
// (screening, training backtests, promotion, validation, walk-forward, diversity,
// robustness), with a count and a French reason for every rejection.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/spec.hpp"
#include "research/events.hpp"
#include "research/fanout.hpp"
#include "search/evaluate.hpp"
#include "validate/evidence.hpp"
#include "validate/lookahead.hpp"
#include "validate/robustness.hpp"
#include "validate/walk_forward.hpp"

namespace varnek::research {

// One rejection line of the report.
struct StageRecord {
  std::string stage;
  std::uint64_t count = 0;
  std::string reason_fr;
};

struct FunnelCounters {
  std::uint64_t space = 0;
  std::string mode;                  // "exhaustive" or "surrogate"
  std::uint64_t generated = 0;       // pool size, or variants backtested when exhaustive
  std::uint64_t surrogate_kept = 0;  // variants scheduled for the backtest stage
  std::uint64_t backtested = 0;      // scheduled variants processed before the stage ended
  double coverage = 0.0;             // backtested / max(surrogate_kept, 1)
  std::uint64_t promoted = 0;
  std::uint64_t validated = 0;
  std::uint64_t walk_forward_passed = 0;
  std::uint64_t robust = 0;
};

struct PhaseTiming {
  std::string phase;
  double seconds = 0.0;
};

// A finalist: its key with the walk-forward and robustness evidence behind it.
struct Finalist {
  strategy::Candidate key;
  validate::RobustnessResult robustness;
};

struct FunnelResult {
  std::vector<Finalist> finalists;      // in ranking order
  std::vector<StageRecord> rejections;  // the six stage records, in order
  FunnelCounters counters;
  core::Json frontier = core::Json::array();
  std::map<std::uint8_t, validate::LookaheadResult> lookahead;  // by family index
  std::vector<PhaseTiming> timings;  // criblage, backtests, validation, walk-forward, robustesse
  // Backtest-stage figures for the report's throughput.
  double backtest_seconds = 0.0;
  std::uint64_t trades_total = 0;
  std::uint64_t decisions = 0;
  std::uint64_t rf_predictions = 0;
  double rf_prediction_seconds = 0.0;
  bool stopped_by_budget = false;
  // Evidence against overfitting: every distinct variant evaluated on train or validation
  // data (the backtest stage's, then the walk-forward neighbours and the parameter sweeps
  // not already backtested), with the train Sharpes of the backtest stage; and the
  // probability of backtest overfitting of the promoted candidates.
  validate::TrialStats trials;
  validate::PboResult pbo;
};

// Blocks of train + validation for the probability of backtest overfitting.
inline constexpr std::size_t kPboBlocks = 16;

struct FunnelInputs {
  const search::EvalContext& ctx;
  const core::Spec& spec;
  const std::vector<std::uint8_t>& families;  // family entries, in specification order
  std::uint64_t space_total = 0;
  EventSink& sink;
  Fanouts& fanouts;  // the parallel fan-outs, over every process of the run
  int workers = 1;   // pool threads over every process, as the events report them
};

FunnelResult run_funnel(const FunnelInputs& in);

// The [first, last] bar timestamps of each segment; a segment without bars gets nulls.
core::Json split_dates(const data::BarSeries& bars, const search::Split& split);

// Every `(count - 1) / (n - 1)`-th entry when the series is longer than n, else all of it.
std::vector<double> reduce_curve(const std::vector<double>& values, std::size_t n);

// Positions of the `take` (at most predicted.size()) highest predictions, highest first,
// equal ones in position order: the first `take` of a stable descending sort.
std::vector<std::size_t> best_predicted(const std::vector<float>& predicted, std::uint64_t take);

core::Json to_json(const StageRecord& r);
core::Json to_json(const FunnelCounters& c);

}  // namespace varnek::research

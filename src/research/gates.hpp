#pragma once
// The verdict of a run: the test segment opened once for the frozen finalists, the seven
// gates of each finalist, and the record the report keeps of it.
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "core/spec.hpp"
#include "data/quality.hpp"
#include "research/events.hpp"
#include "research/funnel.hpp"
#include "search/evaluate.hpp"
#include "validate/evidence.hpp"
#include "validate/lookahead.hpp"
#include "validate/replay.hpp"
#include "validate/robustness.hpp"
#include "validate/stability.hpp"

namespace varnek::research {

// One gate of a finalist. The status is "PASS", "INCONCLUSIVE" or "FAIL", except for
// DATA_QUALITY, which carries the audit's verdict unchanged.
struct Gate {
  std::string name;
  std::string label_fr;
  std::string status;
  std::string why_fr;
};

inline constexpr std::size_t kGateCount = 7;

// Number forms of the gate texts: an explicit sign and 3 decimals ("+0.125") or 2 decimals
// ("99.00"), in fixed notation; a value that is not finite reads "n/d" (non disponible).
std::string signed3(double x);
std::string fixed2(double x);

// The gate rules, in gate order. min_trades is the run's setting; validation needs
// max(10, min_trades / 3) trades and the test segment 15 before they are judged.
Gate data_quality_gate(const data::QualityReport& quality);
Gate lookahead_gate(const validate::LookaheadResult* audit);  // nullptr: family not audited
Gate train_validation_gate(const bt::SegmentSummary& train, const bt::SegmentSummary& validation,
                           std::uint32_t min_trades);
Gate out_of_sample_gate(const bt::SegmentSummary& test);
Gate parameter_stability_gate(std::span<const validate::ParamSensitivity> sensitivity);
Gate regime_stability_gate(std::span<const validate::BreakdownRow> regimes);
Gate risk_constraints_gate(std::span<const validate::ReplayResult> replays);

// Whether a finalist is retained: "RETENU" only when every gate passes (RISK_CONSTRAINTS
// may be INCONCLUSIVE when the run has no account profile) and its test p-value, adjusted
// across the run's `finalists` by Holm's method, is below 0.05; otherwise "NON RETENU",
// the text naming the first condition that is missing. The deflated Sharpe ratio is shown
// beside the verdict but is not a condition: with many strongly correlated variants the
// nominal number of trials overstates the effective one.
validate::Verdict evidence_verdict(std::span<const Gate> gates, bool has_profiles,
                                   const validate::FinalistEvidence& evidence,
                                   std::size_t finalists);

inline constexpr double kRetainedPValue = 0.05;

// Everything the report shows of one finalist.
struct FinalistRecord {
  strategy::Candidate key;
  bt::SegmentSummary train, validation, test_summary;
  bt::Metrics test;            // full run over the test range, R figures from the test evaluation
  bt::Metrics all;             // full run over all bars
  std::vector<double> equity;  // the all-bars equity list (one point per trade), <= 300 points
  validate::RobustnessResult robustness;         // walk-forward, sweep, scenarios, trades
  std::vector<validate::BreakdownRow> regimes;   // of the robustness trades
  std::vector<validate::BreakdownRow> temporal;  // calendar quarters of the all-bars trades
  std::vector<validate::ReplayResult> prop;      // one per profile, in profile order
  std::vector<Gate> gates;                       // the seven, in gate order
  std::vector<bt::Trade> trades;                 // the all-bars run's
  validate::FinalistEvidence evidence;           // Sharpe ratios and test p-values
  validate::Verdict verdict;                     // "RETENU" or "NON RETENU", and why
};

struct TestPhaseInputs {
  const search::EvalContext& ctx;
  const validate::TrialStats& trials;  // of the whole run, for the deflated Sharpe ratio
  const data::QualityReport& quality;
  const std::map<std::uint8_t, validate::LookaheadResult>& lookahead;  // by family
  std::span<const core::Profile> profiles;
  EventSink& sink;
};

// Freezes the finalists in order and announces the opening ("test_unlocked"), then for each
// finalist in order: one test evaluation, the full runs over all bars and over the test
// range, the train and validation evaluations, one replay per profile, the seven gates and
// their "gates" event. Runs once per run, also without finalists. Once every finalist is
// graded, the test p-values are adjusted across them and each gets its verdict. Nothing is
// chosen on the test results: the records come back in finalist order, one per finalist.
std::vector<FinalistRecord> open_test_and_gate(const TestPhaseInputs& in,
                                               std::vector<Finalist> finalists);

// "train" below the train end, "validation" below the validation end, else "test".
std::string_view trade_segment(std::uint64_t entry_bar, const search::Split& split);

core::Json to_json(const Gate& gate);
core::Json to_json(std::span<const Gate> gates);
core::Json to_json(const FinalistRecord& record, const search::Split& split);

}  // namespace varnek::research

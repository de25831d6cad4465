#pragma once
// Lookahead audit: a candidate replayed on the complete data and on copies cut off at four
// points, every context feature rebuilt from the truncated bars alone. A trade that closed
// well before a cut must be taken identically in both runs; anything that peeks ahead
// decides differently once the future bars are gone. Only bars before the validation end
// are ever simulated.
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "bt/simulate.hpp"
#include "core/json.hpp"
#include "data/bars.hpp"
#include "search/evaluate.hpp"
#include "strategy/lattice.hpp"
#include "validate/figures.hpp"

namespace varnek::validate {

struct LookaheadResult {
  bool passed = false;
  std::string detail_fr;
};

// What a trade decided: its entry bar and side.
struct Decision {
  std::uint64_t entry_bar = 0;
  std::int8_t side = 0;
  friend bool operator==(const Decision&, const Decision&) = default;
};

// Cut points, as fractions of the validation end, in the order they are tried.
inline constexpr std::array<double, 4> kLookaheadCuts{0.35, 0.5, 0.65, 0.8};

// to_index(fraction * validation_end).
std::uint64_t lookahead_cut(double fraction, std::uint64_t validation_end);

// Decisions, in order, of the trades with exit_bar + 2 < cut (closed at least two bars
// before the cut, so the cut's end-of-data exit cannot differ).
std::vector<Decision> decisions_before(std::span<const bt::Trade> trades, std::uint64_t cut);

// Every column cut to its first min(size, cut) values; the timeframe is kept.
data::BarSeries truncate_bars(const data::BarSeries& bars, std::uint64_t cut);

// Trades of the candidate on bars [0, cut) of the series truncated at `cut`.
using TruncatedRun = std::function<std::vector<bt::Trade>(std::uint64_t cut)>;

// The comparison itself: the reference trades (over [0, validation_end)) against
// `truncated` at each cut in order, stopping at the first cut that differs.
LookaheadResult compare_cuts(std::span<const bt::Trade> reference, std::uint64_t validation_end,
                             const TruncatedRun& truncated);

// The audit of one candidate on the context's series: the reference run is a custom-range
// evaluation over [0, validation end); each truncated run rebuilds the feature set and the
// decision tables the way the research driver builds them and counts as one evaluation.
// Rebuilds the features four times: run it once per family, on the calling thread.
LookaheadResult lookahead_audit(const search::EvalContext& ctx, const strategy::Candidate& key);

// Gate "LOOKAHEAD" for a finalist from its family's audit (nullptr: the family was never
// audited): PASS or FAIL with the audit's text, FAIL with "non testé" without one.
Verdict lookahead_verdict(const LookaheadResult* result);

// {detail_fr, passed}
core::Json to_json(const LookaheadResult& result);

}  // namespace varnek::validate

#include "validate/lookahead.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <string_view>

#include "core/fatal.hpp"
#include "htf/features.hpp"
#include "strategy/decide.hpp"

namespace varnek::validate {

namespace {

constexpr std::string_view kMismatch =
    "décisions différentes avant la coupure à {:.0f} % ({} vs {} trades)";
constexpr std::string_view kAllMatch =
    "aucune décision ne change quand on retire les données futures (4 coupures testées)";

template <class T>
std::vector<T> prefix(const std::vector<T>& column, std::size_t n) {
  return std::vector<T>(column.begin(), column.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace

std::uint64_t lookahead_cut(double fraction, std::uint64_t validation_end) {
  return search::to_index(fraction * static_cast<double>(validation_end));
}

std::vector<Decision> decisions_before(std::span<const bt::Trade> trades, std::uint64_t cut) {
  std::vector<Decision> out;
  for (const bt::Trade& t : trades) {
    if (t.exit_bar + 2 < cut) out.push_back({t.entry_bar, t.side});
  }
  return out;
}

data::BarSeries truncate_bars(const data::BarSeries& bars, std::uint64_t cut) {
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bars.size(), cut));
  data::BarSeries out;
  out.ts = prefix(bars.ts, n);
  out.open = prefix(bars.open, n);
  out.high = prefix(bars.high, n);
  out.low = prefix(bars.low, n);
  out.close = prefix(bars.close, n);
  out.volume = prefix(bars.volume, n);
  out.timeframe_secs = bars.timeframe_secs;
  return out;
}

LookaheadResult compare_cuts(std::span<const bt::Trade> reference, std::uint64_t validation_end,
                             const TruncatedRun& truncated) {
  for (const double fraction : kLookaheadCuts) {
    const std::uint64_t cut = lookahead_cut(fraction, validation_end);
    const std::vector<Decision> before = decisions_before(reference, cut);
    const std::vector<Decision> after = decisions_before(truncated(cut), cut);
    if (before != after) {
      return {false, fmt::format(kMismatch, 100.0 * fraction, before.size(), after.size())};
    }
  }
  return {true, std::string(kAllMatch)};
}

LookaheadResult lookahead_audit(const search::EvalContext& ctx, const strategy::Candidate& key) {
  const std::uint64_t validation_end = ctx.split.validation.end;
  const bt::BacktestRun reference =
      search::evaluate_full(ctx, key, search::SegmentRef::range(0, validation_end), ctx.exec);
  // Only what this candidate reads is rebuilt: its series and its tables, computed exactly
  // as the whole lattice's are.
  const htf::FeatureLengths lengths = strategy::candidate_lengths(key);
  return compare_cuts(reference.trades, validation_end, [&](std::uint64_t cut) {
    // The copies live for one cut only: a feature set is as large as its series.
    if (cut > validation_end) core::fatal("custom segment reaches into the locked TEST set");
    const data::BarSeries bars = truncate_bars(ctx.bars, cut);
    const htf::FeatureSet features = htf::build_feature_set(bars, lengths);
    const strategy::DecisionTables tables =
        strategy::build_candidate_tables(bars, features, key);
    bt::BacktestRun run = bt::run_full(key, {bars, features, tables}, ctx.market, ctx.exec, 0, cut);
    ctx.evaluations.fetch_add(1, std::memory_order_relaxed);
    ctx.bars_simulated.fetch_add(run.summary.bars, std::memory_order_relaxed);
    return std::move(run.trades);
  });
}

Verdict lookahead_verdict(const LookaheadResult* result) {
  if (result == nullptr) return {"FAIL", "non testé"};
  return {result->passed ? "PASS" : "FAIL", result->detail_fr};
}

core::Json to_json(const LookaheadResult& result) {
  core::Json j = core::Json::object();
  j["passed"] = result.passed;
  j["detail_fr"] = result.detail_fr;
  return j;
}

}  // namespace varnek::validate

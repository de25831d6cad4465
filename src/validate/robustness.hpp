#pragma once
// Robustness of walk-forward survivors: the parameter sweep, five degraded-execution
// scenarios, and the trade list over train + validation whose regime, calendar-quarter and
// concentration breakdowns the report shows.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "bt/simulate.hpp"
#include "core/json.hpp"
#include "search/evaluate.hpp"
#include "strategy/lattice.hpp"
#include "validate/figures.hpp"
#include "validate/stability.hpp"
#include "validate/walk_forward.hpp"

namespace varnek::validate {

// One evaluation on train + validation under modified execution settings.
struct ScenarioResult {
  std::string scenario;  // "baseline", "slippage_x2", "slippage_x3", "entry_delay_1", "costs_x2"
  std::string label_fr;
  double profit_factor = 0.0;
  double expectancy_r = 0.0;
  std::uint32_t trades = 0;
};

// One row of the regime or quarter tables.
struct BreakdownRow {
  std::string label;
  double net_r = -0.0;        // sum of r, starting from -0.0: an empty row keeps the sign
  double expectancy_r = 0.0;  // net_r / trades, 0 for an empty row
  double win_rate = 0.0;      // share of trades with r > 0, 0 for an empty row
  std::uint32_t trades = 0;
};

struct Concentration {
  std::optional<double> top5_share_of_profit;  // none when the total is not positive
  bool concentrated = false;
};

struct RobustnessResult {
  strategy::Candidate key;
  WalkForwardResult walk_forward;
  std::vector<ParamSensitivity> sensitivity;  // swept on train + validation
  std::vector<ScenarioResult> scenarios;      // always five, in the order above
  std::vector<bt::Trade> trades;  // full run over train + validation, settings as configured
};

// The scenario's execution settings: `base` with the one field it names set (not scaled):
// slip_mult 2.0 or 3.0, delay 1, cost_mult 2.0; "baseline" and unknown keys leave it as is.
core::Exec scenario_exec(const core::Exec& base, std::string_view scenario);

// One result per walk-forward entry, in input order, one pool task per candidate: the sweep,
// the five scenarios, then the full run, all on [train start, validation end).
std::vector<RobustnessResult> robustness(const search::EvalContext& ctx,
                                         std::span<const WalkForwardEntry> candidates);

// mean_stability >= 0.5 and a "slippage_x2" scenario with expectancy_r > 0.
bool passes_robustness(const RobustnessResult& result);

// Six rows by the daily labels stored in each trade at entry: trend bullish (1), bearish
// (2), neutral (0); volatility low (0), medium (1), high (2).
std::vector<BreakdownRow> regime_breakdown(std::span<const bt::Trade> trades);

// One row per UTC calendar quarter of the entry timestamps that has trades, labelled
// "{year}-T{quarter}" and ordered by label text.
std::vector<BreakdownRow> temporal_breakdown(std::span<const bt::Trade> trades);

// Share of the total result (losers included) made by the five best trades.
Concentration profit_concentration(std::span<const bt::Trade> trades);

// Over the three trend rows (the first three of `rows`): rows with at least 5 trades count
// as positive (net_r > 0) or negative (net_r < 0). PASS with >= 2 positive and none
// negative; else INCONCLUSIVE with >= 1 positive and <= 1 negative; else FAIL.
Verdict regime_verdict(std::span<const BreakdownRow> rows);

// {expectancy_r, label_fr, profit_factor, scenario, trades}
core::Json to_json(const ScenarioResult& scenario);
core::Json to_json(std::span<const ScenarioResult> scenarios);
// {expectancy_r, label, net_r, trades, win_rate}
core::Json to_json(const BreakdownRow& row);
core::Json to_json(std::span<const BreakdownRow> rows);
// {concentrated, top5_share_of_profit}; an undefined share is null.
core::Json to_json(const Concentration& concentration);

}  // namespace varnek::validate

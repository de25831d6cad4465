#include "validate/robustness.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <map>
#include <string_view>

#include "core/parallel.hpp"

namespace varnek::validate {

namespace {

struct Scenario {
  std::string_view key;
  std::string_view label_fr;
};

constexpr std::array<Scenario, 5> kScenarios{{
    {"baseline", "Conditions de référence"},
    {"slippage_x2", "Slippage doublé"},
    {"slippage_x3", "Slippage triplé"},
    {"entry_delay_1", "Entrée retardée d'une barre"},
    {"costs_x2", "Commissions doublées"},
}};

constexpr std::array<std::string_view, 3> kTrendLabels{
    "Tendance haussière (D1)", "Tendance baissière (D1)", "Sans tendance (D1)"};
constexpr std::array<std::string_view, 3> kVolLevels{"faible", "moyenne", "forte"};

// Trend label byte of each trend row: bullish 1, bearish 2, neutral 0.
constexpr std::array<std::uint8_t, 3> kTrendCodes{1, 2, 0};

void add(BreakdownRow& row, double r, std::uint32_t& wins) {
  row.net_r += r;
  row.trades += 1;
  if (r > 0.0) ++wins;
}

void finish(BreakdownRow& row, std::uint32_t wins) {
  if (row.trades == 0) return;
  row.expectancy_r = row.net_r / row.trades;
  row.win_rate = static_cast<double>(wins) / row.trades;
}

std::string quarter_label(std::int64_t ts) {
  using namespace std::chrono;
  const year_month_day date{floor<days>(sys_seconds{seconds{ts}})};
  const unsigned quarter = (static_cast<unsigned>(date.month()) - 1) / 3 + 1;
  return fmt::format("{}-T{}", static_cast<int>(date.year()), quarter);
}

RobustnessResult run_candidate(const search::EvalContext& ctx, const WalkForwardEntry& entry) {
  const auto segment = search::SegmentRef::train_validation();
  RobustnessResult out;
  out.key = entry.key;
  out.walk_forward = entry.result;
  out.sensitivity = parameter_sensitivity(ctx, entry.key, segment);
  out.scenarios.reserve(kScenarios.size());
  for (const Scenario& sc : kScenarios) {
    const bt::SegmentSummary s =
        search::evaluate(ctx, entry.key, segment, scenario_exec(ctx.exec, sc.key));
    out.scenarios.push_back({std::string(sc.key), std::string(sc.label_fr), profit_factor(s),
                             expectancy_r(s), s.trades});
  }
  out.trades = search::evaluate_full(ctx, entry.key, segment, ctx.exec).trades;
  return out;
}

}  // namespace

core::Exec scenario_exec(const core::Exec& base, std::string_view scenario) {
  core::Exec e = base;
  if (scenario == "slippage_x2") e.slip_mult = 2.0;
  if (scenario == "slippage_x3") e.slip_mult = 3.0;
  if (scenario == "entry_delay_1") e.delay = 1;
  if (scenario == "costs_x2") e.cost_mult = 2.0;
  return e;
}

std::vector<RobustnessResult> robustness(const search::EvalContext& ctx,
                                         std::span<const WalkForwardEntry> candidates) {
  return core::parallel_map<RobustnessResult>(
      candidates.size(), [&](std::size_t i) { return run_candidate(ctx, candidates[i]); });
}

bool passes_robustness(const RobustnessResult& result) {
  if (!(mean_stability(result.sensitivity) >= 0.5)) return false;
  for (const ScenarioResult& s : result.scenarios) {
    if (s.scenario == "slippage_x2") return s.expectancy_r > 0.0;
  }
  return false;
}

std::vector<BreakdownRow> regime_breakdown(std::span<const bt::Trade> trades) {
  std::vector<BreakdownRow> rows(6);
  for (std::size_t i = 0; i < 3; ++i) {
    rows[i].label = std::string(kTrendLabels[i]);
    rows[3 + i].label = fmt::format("Volatilité {}", kVolLevels[i]);
  }
  std::array<std::uint32_t, 6> wins{};
  for (const bt::Trade& t : trades) {
    for (std::size_t i = 0; i < 3; ++i) {
      if (t.regime_trend == kTrendCodes[i]) add(rows[i], t.r, wins[i]);
    }
    if (t.regime_vol < 3) add(rows[3 + t.regime_vol], t.r, wins[3 + t.regime_vol]);
  }
  for (std::size_t i = 0; i < rows.size(); ++i) finish(rows[i], wins[i]);
  return rows;
}

std::vector<BreakdownRow> temporal_breakdown(std::span<const bt::Trade> trades) {
  // Ordered by label text, as the report lists them.
  std::map<std::string, std::pair<BreakdownRow, std::uint32_t>> quarters;
  for (const bt::Trade& t : trades) {
    auto& [row, wins] = quarters[quarter_label(t.entry_ts)];
    add(row, t.r, wins);
  }
  std::vector<BreakdownRow> out;
  out.reserve(quarters.size());
  for (auto& [label, cell] : quarters) {
    BreakdownRow row = cell.first;
    row.label = label;
    finish(row, cell.second);
    out.push_back(std::move(row));
  }
  return out;
}

Concentration profit_concentration(std::span<const bt::Trade> trades) {
  double total = 0.0;
  std::vector<double> wins;
  for (const bt::Trade& t : trades) {
    total += t.r;
    if (t.r > 0.0) wins.push_back(t.r);
  }
  const std::size_t top = std::min<std::size_t>(5, wins.size());
  std::partial_sort(wins.begin(), wins.begin() + static_cast<std::ptrdiff_t>(top), wins.end(),
                    std::greater<>());
  double top5 = 0.0;
  for (std::size_t i = 0; i < top; ++i) top5 += wins[i];
  Concentration c;
  if (total > 0.0) {
    c.top5_share_of_profit = top5 / total;
    c.concentrated = top5 / total > 0.5;
  }
  return c;
}

Verdict regime_verdict(std::span<const BreakdownRow> rows) {
  std::uint32_t positive = 0, negative = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(3, rows.size()); ++i) {
    if (rows[i].trades < 5) continue;
    if (rows[i].net_r > 0.0) ++positive;
    if (rows[i].net_r < 0.0) ++negative;
  }
  Verdict v;
  if (positive >= 2 && negative == 0) {
    v.status = "PASS";
  } else if (positive >= 1 && negative <= 1) {
    v.status = "INCONCLUSIVE";
  } else {
    v.status = "FAIL";
  }
  v.why_fr =
      fmt::format("rentable dans {} régime(s) de tendance D1, perdant dans {}", positive, negative);
  return v;
}

core::Json to_json(const ScenarioResult& scenario) {
  core::Json j = core::Json::object();
  j["scenario"] = scenario.scenario;
  j["label_fr"] = scenario.label_fr;
  j["trades"] = scenario.trades;
  j["profit_factor"] = core::number_or_null(scenario.profit_factor);
  j["expectancy_r"] = core::number_or_null(scenario.expectancy_r);
  return j;
}

core::Json to_json(std::span<const ScenarioResult> scenarios) {
  core::Json out = core::Json::array();
  for (const ScenarioResult& s : scenarios) out.push_back(to_json(s));
  return out;
}

core::Json to_json(const BreakdownRow& row) {
  core::Json j = core::Json::object();
  j["label"] = row.label;
  j["trades"] = row.trades;
  j["net_r"] = core::number_or_null(row.net_r);
  j["expectancy_r"] = core::number_or_null(row.expectancy_r);
  j["win_rate"] = core::number_or_null(row.win_rate);
  return j;
}

core::Json to_json(std::span<const BreakdownRow> rows) {
  core::Json out = core::Json::array();
  for (const BreakdownRow& r : rows) out.push_back(to_json(r));
  return out;
}

core::Json to_json(const Concentration& concentration) {
  core::Json j = core::Json::object();
  j["top5_share_of_profit"] = concentration.top5_share_of_profit
                                  ? core::number_or_null(*concentration.top5_share_of_profit)
                                  : core::Json(nullptr);
  j["concentrated"] = concentration.concentrated;
  return j;
}

}  // namespace varnek::validate

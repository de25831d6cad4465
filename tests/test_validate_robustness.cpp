// Robustness: scenario settings, the pass rule, the regime, quarter and concentration
// breakdowns, the regime verdict, and the stage on real bars.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <cmath>
#include <memory>

#include "bt_fixture.hpp"
#include "core/spec.hpp"
#include "data/synthetic.hpp"
#include "search/evaluate.hpp"
#include "validate/robustness.hpp"

using namespace varnek;
using testkit::id;
using validate::BreakdownRow;
using validate::RobustnessResult;

namespace {

bt::Trade trade(double r, std::uint8_t trend = 0, std::uint8_t vol = 1, std::int64_t ts = 0) {
  bt::Trade t;
  t.r = r;
  t.regime_trend = trend;
  t.regime_vol = vol;
  t.entry_ts = ts;
  return t;
}

BreakdownRow row(std::uint32_t trades, double net) {
  BreakdownRow r;
  r.trades = trades;
  r.net_r = net;
  return r;
}

RobustnessResult passing_shape(double stability, double slippage_x2) {
  RobustnessResult r;
  validate::ParamSensitivity p;
  p.stability = stability;
  r.sensitivity = {p};
  r.scenarios = {{"baseline", "", 1.5, 0.3, 40}, {"slippage_x2", "", 1.1, slippage_x2, 40}};
  return r;
}

// 2023-04-01 00:00 UTC.
constexpr std::int64_t kApril2023 = 1680307200;

}  // namespace

TEST(ScenarioExec, FieldsAreSetNotScaled) {
  core::Exec base = core::default_spec().exec;
  base.slip_mult = 1.5;
  base.cost_mult = 1.25;
  base.delay = 3;
  EXPECT_EQ(validate::scenario_exec(base, "slippage_x2").slip_mult, 2.0);
  EXPECT_EQ(validate::scenario_exec(base, "slippage_x3").slip_mult, 3.0);
  EXPECT_EQ(validate::scenario_exec(base, "entry_delay_1").delay, 1u);
  EXPECT_EQ(validate::scenario_exec(base, "costs_x2").cost_mult, 2.0);
  const core::Exec same = validate::scenario_exec(base, "baseline");
  EXPECT_EQ(core::to_json(same), core::to_json(base));
  // Only the named field moves.
  const core::Exec slip = validate::scenario_exec(base, "slippage_x2");
  EXPECT_EQ(slip.cost_mult, 1.25);
  EXPECT_EQ(slip.delay, 3u);
  EXPECT_EQ(slip.equity0, base.equity0);
}

TEST(PassesRobustness, StabilityAndDoubledSlippage) {
  EXPECT_TRUE(validate::passes_robustness(passing_shape(0.5, 0.01)));
  EXPECT_FALSE(validate::passes_robustness(passing_shape(0.5, 0.0)));
  EXPECT_FALSE(validate::passes_robustness(passing_shape(0.49, 0.5)));
  RobustnessResult missing = passing_shape(0.9, 0.5);
  missing.scenarios.pop_back();
  EXPECT_FALSE(validate::passes_robustness(missing));
  // No sensitivity entry: the mean is -0.0.
  RobustnessResult empty = passing_shape(0.9, 0.5);
  empty.sensitivity.clear();
  EXPECT_FALSE(validate::passes_robustness(empty));
}

TEST(RegimeBreakdown, SixRowsByDailyLabels) {
  const std::vector<bt::Trade> trades = {trade(2.0, 1, 0), trade(-1.0, 1, 2), trade(0.0, 1, 2),
                                         trade(1.5, 0, 2), trade(-0.5, 2, 1), trade(3.0, 7, 9)};
  const auto rows = validate::regime_breakdown(trades);
  ASSERT_EQ(rows.size(), 6u);
  const std::vector<std::string> labels = {"Tendance haussière (D1)", "Tendance baissière (D1)",
                                           "Sans tendance (D1)",      "Volatilité faible",
                                           "Volatilité moyenne",      "Volatilité forte"};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(rows[i].label, labels[i]);
  // Bullish: 2, -1, 0. A result of exactly 0 is not a win.
  EXPECT_EQ(rows[0].trades, 3u);
  EXPECT_DOUBLE_EQ(rows[0].net_r, 1.0);
  EXPECT_DOUBLE_EQ(rows[0].expectancy_r, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(rows[0].win_rate, 1.0 / 3.0);
  EXPECT_EQ(rows[1].trades, 1u);
  EXPECT_EQ(rows[1].net_r, -0.5);
  EXPECT_EQ(rows[1].win_rate, 0.0);
  EXPECT_EQ(rows[2].trades, 1u);
  EXPECT_EQ(rows[2].net_r, 1.5);
  EXPECT_EQ(rows[3].trades, 1u);
  EXPECT_EQ(rows[4].trades, 1u);
  EXPECT_EQ(rows[5].trades, 3u);
  EXPECT_DOUBLE_EQ(rows[5].net_r, 0.5);
  EXPECT_DOUBLE_EQ(rows[5].win_rate, 1.0 / 3.0);
}

TEST(RegimeBreakdown, EmptyRowsKeepNegativeZero) {
  const auto rows = validate::regime_breakdown(std::vector<bt::Trade>{trade(1.0, 1, 0)});
  EXPECT_TRUE(std::signbit(rows[1].net_r));
  EXPECT_EQ(rows[1].expectancy_r, 0.0);
  EXPECT_EQ(rows[1].win_rate, 0.0);
  EXPECT_EQ(rows[1].trades, 0u);
  EXPECT_EQ(core::to_compact(validate::to_json(rows[1])),
            R"j({"expectancy_r":0.0,"label":"Tendance baissière (D1)","net_r":-0.0,"trades":0,)j"
            R"j("win_rate":0.0})j");
  EXPECT_EQ(validate::to_json(std::span<const BreakdownRow>(rows)).size(), 6u);
}

TEST(TemporalBreakdown, CalendarQuartersInLabelOrder) {
  const std::vector<bt::Trade> trades = {
      trade(1.0, 0, 1, kApril2023 - 3600),   // 2023-03-31 23:00
      trade(-2.0, 0, 1, kApril2023 + 1800),  // 2023-04-01 00:30
      trade(0.5, 0, 1, kApril2023 + 3600),
      trade(4.0, 0, 1, 1672531199),  // 2022-12-31 23:59:59
      trade(1.0, 0, 1, -1),          // 1969-12-31 23:59:59
  };
  const auto rows = validate::temporal_breakdown(trades);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].label, "1969-T4");
  EXPECT_EQ(rows[1].label, "2022-T4");
  EXPECT_EQ(rows[2].label, "2023-T1");
  EXPECT_EQ(rows[3].label, "2023-T2");
  EXPECT_EQ(rows[2].trades, 1u);
  EXPECT_EQ(rows[2].net_r, 1.0);
  EXPECT_EQ(rows[3].trades, 2u);
  EXPECT_EQ(rows[3].net_r, -1.5);
  EXPECT_EQ(rows[3].expectancy_r, -0.75);
  EXPECT_EQ(rows[3].win_rate, 0.5);
  EXPECT_TRUE(validate::temporal_breakdown({}).empty());
}

TEST(ProfitConcentration, FiveBestAgainstTheTotal) {
  const std::vector<bt::Trade> trades = {trade(1.0), trade(3.0), trade(1.0), trade(-4.0),
                                         trade(2.0), trade(1.0), trade(1.0)};
  const auto c = validate::profit_concentration(trades);
  ASSERT_TRUE(c.top5_share_of_profit.has_value());
  EXPECT_DOUBLE_EQ(*c.top5_share_of_profit, 8.0 / 5.0);
  EXPECT_TRUE(c.concentrated);
  // Evenly spread: ten trades of 1, the top five make half, which is not above it.
  const auto even = validate::profit_concentration(std::vector<bt::Trade>(10, trade(1.0)));
  EXPECT_DOUBLE_EQ(*even.top5_share_of_profit, 0.5);
  EXPECT_FALSE(even.concentrated);
  // A total that is not positive leaves the share undefined.
  const auto flat = validate::profit_concentration(std::vector<bt::Trade>{trade(2.0), trade(-2.0)});
  EXPECT_FALSE(flat.top5_share_of_profit.has_value());
  EXPECT_FALSE(flat.concentrated);
  EXPECT_EQ(core::to_compact(validate::to_json(flat)),
            R"({"concentrated":false,"top5_share_of_profit":null})");
  EXPECT_EQ(core::to_compact(validate::to_json(validate::profit_concentration({}))),
            R"({"concentrated":false,"top5_share_of_profit":null})");
}

TEST(RegimeVerdict, TrendRowsWithFiveTrades) {
  std::vector<BreakdownRow> rows = {row(12, 3.0),  row(7, -1.0),  row(3, 2.0),
                                    row(50, -9.0), row(50, -9.0), row(50, -9.0)};
  auto v = validate::regime_verdict(rows);
  EXPECT_EQ(v.status, "INCONCLUSIVE");
  EXPECT_EQ(v.why_fr, "rentable dans 1 régime(s) de tendance D1, perdant dans 1");

  rows[1] = row(5, 0.5);  // volatility rows never count
  v = validate::regime_verdict(rows);
  EXPECT_EQ(v.status, "PASS");
  EXPECT_EQ(v.why_fr, "rentable dans 2 régime(s) de tendance D1, perdant dans 0");

  rows[2] = row(5, -0.1);
  EXPECT_EQ(validate::regime_verdict(rows).status, "INCONCLUSIVE");

  rows = {row(5, 1.0), row(5, -1.0), row(6, -2.0)};
  v = validate::regime_verdict(rows);
  EXPECT_EQ(v.status, "FAIL");
  EXPECT_EQ(v.why_fr, "rentable dans 1 régime(s) de tendance D1, perdant dans 2");

  // Four trades count for neither side; a zero result is neither.
  rows = {row(4, 9.0), row(4, -9.0), row(20, 0.0)};
  v = validate::regime_verdict(rows);
  EXPECT_EQ(v.status, "FAIL");
  EXPECT_EQ(v.why_fr, "rentable dans 0 régime(s) de tendance D1, perdant dans 0");
}

class RobustnessStage : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kBars = 8000;
  void SetUp() override { make(core::default_spec().exec); }
  void make(const core::Exec& exec, const data::BarSeries* bars = nullptr) {
    engine_ = testkit::make_engine(bars ? *bars : data::generate_synthetic(kBars, 11));
    ctx_.reset(new search::EvalContext{engine_->bars, engine_->features, engine_->tables,
                                       core::preset_market("ES"), exec,
                                       search::make_split(kBars, 0.6, 0.2), 30});
  }
  std::vector<validate::WalkForwardEntry> entries() const {
    std::vector<validate::WalkForwardEntry> out;
    for (const char* text : {"0-aaaaaaaaaaaa", "2-aaaaaaa", "2-dabbaab", "3-cbabbaab"}) {
      validate::WalkForwardEntry e;
      e.key = id(text);
      e.result.oos_net_r = static_cast<double>(out.size()) + 0.25;  // tells them apart
      out.push_back(e);
    }
    return out;
  }
  static std::string dump(const std::vector<RobustnessResult>& results) {
    core::Json all = core::Json::array();
    for (const RobustnessResult& r : results) {
      core::Json trades = core::Json::array();
      for (const bt::Trade& t : r.trades) trades.push_back(bt::to_json(t));
      all.push_back({{"id", strategy::format_id(r.key)},
                     {"wf", validate::to_json(r.walk_forward)},
                     {"sensitivity", validate::to_json(r.sensitivity)},
                     {"scenarios", validate::to_json(r.scenarios)},
                     {"trades", std::move(trades)}});
    }
    return core::to_compact(all);
  }
  std::unique_ptr<testkit::Engine> engine_;
  std::unique_ptr<search::EvalContext> ctx_;
};

TEST_F(RobustnessStage, ScenariosSweepAndTrades) {
  const auto in = entries();
  const auto out = validate::robustness(*ctx_, in);
  ASSERT_EQ(out.size(), in.size());
  std::uint64_t expected = 0;
  std::size_t trades = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const RobustnessResult& r = out[i];
    EXPECT_EQ(r.key, in[i].key);
    EXPECT_EQ(r.walk_forward.oos_net_r, in[i].result.oos_net_r);
    const std::vector<std::string> keys = {"baseline", "slippage_x2", "slippage_x3",
                                           "entry_delay_1", "costs_x2"};
    const std::vector<std::string> labels = {"Conditions de référence", "Slippage doublé",
                                             "Slippage triplé", "Entrée retardée d'une barre",
                                             "Commissions doublées"};
    ASSERT_EQ(r.scenarios.size(), 5u);
    for (std::size_t s = 0; s < 5; ++s) {
      EXPECT_EQ(r.scenarios[s].scenario, keys[s]);
      EXPECT_EQ(r.scenarios[s].label_fr, labels[s]);
    }
    // Worse execution never helps a trade list that stays the same.
    EXPECT_EQ(r.scenarios[1].trades, r.scenarios[0].trades);
    EXPECT_LE(r.scenarios[1].expectancy_r, r.scenarios[0].expectancy_r);
    EXPECT_LE(r.scenarios[2].expectancy_r, r.scenarios[1].expectancy_r);
    // The trade list is the configured run over train + validation.
    const bt::BacktestRun full = bt::run_full(r.key, ctx_->inputs(), ctx_->market, ctx_->exec, 0,
                                              ctx_->split.validation.end);
    ASSERT_EQ(r.trades.size(), full.trades.size());
    for (std::size_t t = 0; t < full.trades.size(); ++t) {
      EXPECT_EQ(r.trades[t].entry_bar, full.trades[t].entry_bar);
      EXPECT_EQ(r.trades[t].r, full.trades[t].r);
    }
    EXPECT_EQ(r.scenarios[0].trades, full.trades.size());
    trades += r.trades.size();
    // Valid sweep points ("side", the last dimension, left out; the pullback family's
    // htf_fast of 50 is not below its htf_slow of 50), five scenarios, one full run.
    std::size_t points = 0;
    for (std::size_t d = 0; d + 1 < strategy::dim_count(r.key.family); ++d) {
      for (std::size_t j = 0; j < strategy::value_count(r.key.family, d); ++j) {
        strategy::Candidate variant = r.key;
        variant.idx[d] = static_cast<std::uint8_t>(j);
        points += strategy::is_valid(variant) ? 1 : 0;
      }
    }
    EXPECT_EQ(r.sensitivity.size(), strategy::dim_count(r.key.family) - 1);
    expected += points + 5 + 1;
  }
  EXPECT_GT(trades, 40u);
  EXPECT_EQ(ctx_->evaluations.load(), expected);
  EXPECT_EQ(ctx_->test_evaluations.load(), 0u);
}

TEST_F(RobustnessStage, DoubledSlippageConfiguredMatchesBaseline) {
  core::Exec exec = core::default_spec().exec;
  exec.slip_mult = 2.0;
  make(exec);
  const auto out = validate::robustness(*ctx_, entries());
  for (const RobustnessResult& r : out) {
    EXPECT_EQ(r.scenarios[0].trades, r.scenarios[1].trades);
    EXPECT_EQ(r.scenarios[0].expectancy_r, r.scenarios[1].expectancy_r);
    EXPECT_EQ(r.scenarios[0].profit_factor, r.scenarios[1].profit_factor);
  }
}

TEST_F(RobustnessStage, SameResultWithOneOrTwoWorkers) {
  const auto in = entries();
  std::vector<RobustnessResult> one, two;
  tbb::task_arena a1(1), a2(2);
  a1.execute([&] { one = validate::robustness(*ctx_, in); });
  a2.execute([&] { two = validate::robustness(*ctx_, in); });
  EXPECT_EQ(dump(one), dump(two));
}

TEST_F(RobustnessStage, TestBarsAreNeverRead) {
  const auto in = entries();
  const std::string reference = dump(validate::robustness(*ctx_, in));
  data::BarSeries other = engine_->bars;
  for (std::size_t i = ctx_->split.validation.end; i < other.size(); ++i) {
    other.high[i] += 50.0;
    other.low[i] -= 50.0;
    other.close[i] *= 0.5;
  }
  make(core::default_spec().exec, &other);
  EXPECT_EQ(dump(validate::robustness(*ctx_, in)), reference);
}

TEST_F(RobustnessStage, ReportForms) {
  const auto out = validate::robustness(*ctx_, entries());
  const core::Json j = validate::to_json(out[0].scenarios);
  ASSERT_EQ(j.size(), 5u);
  std::vector<std::string> keys;
  for (const auto& [k, v] : j[1].items()) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"expectancy_r", "label_fr", "profit_factor", "scenario",
                                            "trades"}));
  EXPECT_EQ(j[1]["scenario"], "slippage_x2");
  EXPECT_TRUE(j[1]["trades"].is_number_unsigned());
}

// Cost model and metrics: the accounting every backtest relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "bt/cost.hpp"
#include "bt/metrics.hpp"
#include "core/spec.hpp"
#include "core/splitmix.hpp"

using namespace varnek;

namespace {

core::Market mes() {
  return core::preset_market("ES");
}

bt::CostModel model(double equity_risk, double point_value) {
  core::Market m = mes();
  m.point_value = point_value;
  core::Exec e = core::default_spec().exec;
  e.risk_per_trade = equity_risk;
  return bt::derive_costs(m, e);
}

}  // namespace

TEST(CostModel, DerivedQuantities) {
  core::Exec e = core::default_spec().exec;
  const bt::CostModel base = bt::derive_costs(mes(), e);
  EXPECT_DOUBLE_EQ(base.side_ticks, 1.5);
  EXPECT_DOUBLE_EQ(base.fill_offset, 0.375);
  EXPECT_DOUBLE_EQ(base.round_turn_commission, 1.24);
  EXPECT_DOUBLE_EQ(base.round_turn_slippage, 1.5 * 2 * 0.25 * 5.0);
  EXPECT_EQ(base.entry_lag, 1u);
  // slip_mult scales only the slippage part of a fill; cost_mult only the commission.
  e.slip_mult = 2.0;
  e.cost_mult = 2.0;
  e.delay = 2;
  const bt::CostModel stressed = bt::derive_costs(mes(), e);
  EXPECT_DOUBLE_EQ(stressed.fill_offset - base.fill_offset, 1.0 * 0.25);
  EXPECT_DOUBLE_EQ(stressed.round_turn_commission, 2.48);
  EXPECT_EQ(stressed.entry_lag, 3u);
}

TEST(CostModel, PositionSizing) {
  const bt::CostModel c = model(0.01, 5.0);
  EXPECT_EQ(bt::size_position(c, 10000.0, 4.0 * 2.0), 2u);
  EXPECT_EQ(bt::size_position(c, 1000.0, 4.0 * 2.0), 0u);
  EXPECT_EQ(bt::size_position(c, 1e9, 1.0), 1000u);  // capped
  // A point value of 0 gives an infinite size: a skip, never 1000 contracts.
  EXPECT_EQ(bt::size_position(model(0.01, 0.0), 10000.0, 8.0), 0u);
  EXPECT_EQ(bt::size_position(c, 10000.0, 0.0), 0u);
  EXPECT_EQ(bt::size_position(c, std::nan(""), 8.0), 0u);
  EXPECT_EQ(bt::size_position(c, -5000.0, 8.0), 0u);
}

TEST(CostModel, SizingDecidesASkipAsTheQuotientWould) {
  // The skip test compares money with the money per contract, and sizes come from money
  // times the reciprocal, instead of dividing: both must agree with the quotient's floor
  // at every boundary (1, other whole numbers, the cap), just beside them and in between.
  const auto by_division = [](const bt::CostModel& c, double equity, double stop) {
    const double q = equity * c.risk_per_trade / (stop * c.point_value);
    if (!(q >= 1.0) || q == HUGE_VAL) return 0u;
    return q >= 1000.0 ? 1000u : static_cast<std::uint32_t>(q);
  };
  const double inf = HUGE_VAL, tiny = std::numeric_limits<double>::denorm_min();
  std::vector<double> stops = {0.0, -0.0, -8.0, inf, -inf, std::nan(""), tiny, 1e-310, 1e300};
  core::SplitMix64 rng(11);
  for (int i = 0; i < 400; ++i) stops.push_back(std::ldexp(1.0 + rng.uniform(), i % 60 - 30));
  for (const double pv : {1.0, 2.0, 5.0, 0.0, -2.0}) {
    const bt::CostModel c = model(1.0, pv);
    for (const double stop : stops) {
      const double m = stop * pv;
      for (const double equity :
           {m, std::nextafter(m, -inf), std::nextafter(m, inf), m * 1000.0,
            std::nextafter(m * 1000.0, -inf), 2.0 * m, std::nextafter(2.0 * m, -inf),
            std::nextafter(2.0 * m, inf), 3.0 * m, std::nextafter(3.0 * m, -inf),
            std::nextafter(3.0 * m, inf), 999.0 * m, std::nextafter(999.0 * m, -inf), 0.0, -m, inf,
            std::nan(""), std::ldexp(m, -60), m * (1.0 + 998.0 * rng.uniform())}) {
        EXPECT_EQ(bt::size_position(c, equity, stop), by_division(c, equity, stop))
            << equity << " / " << m;
      }
    }
  }
}

TEST(CostModel, ASizeUnderOneContractStaysUnderForLargerStops) {
  // The size only falls as the stop grows, at the one-contract boundary too.
  core::SplitMix64 rng(3);
  int under = 0;
  for (const double point_value : {5.0, 2.0}) {
    const bt::CostModel cost = model(0.01, point_value);
    for (int i = 0; i < 2000; ++i) {
      const double equity = 100.0 + 20000.0 * rng.uniform();
      const double stop = equity * 0.01 / point_value * (0.999 + 0.002 * rng.uniform());
      if (bt::size_position(cost, equity, stop) != 0) continue;
      ++under;
      for (const double larger : {std::nextafter(stop, 1e300), stop * 1.0000001, stop * 3.0}) {
        EXPECT_EQ(bt::size_position(cost, equity, larger), 0u) << equity << " " << larger;
      }
    }
  }
  EXPECT_GT(under, 1000);
}

TEST(CostModel, TradePricing) {
  const bt::CostModel c = model(0.01, 5.0);
  // A long exit fills one offset below the raw price, a short one above it.
  const bt::PricedTrade win = bt::price_trade(c, 1, 100.375, 104.0, 2.0, 3);
  EXPECT_DOUBLE_EQ(win.exit, 103.625);
  EXPECT_DOUBLE_EQ(win.r, (103.625 - 100.375) / 2.0 - 1.24 / (2.0 * 5.0));
  EXPECT_DOUBLE_EQ(win.pnl, (103.625 - 100.375) * 5.0 * 3 - 3 * 1.24);
  EXPECT_DOUBLE_EQ(win.costs, 3 * 3.75 + 3 * 1.24);
  const bt::PricedTrade short_trade = bt::price_trade(c, -1, 99.625, 98.0, 2.0, 1);
  EXPECT_DOUBLE_EQ(short_trade.exit, 98.375);
  EXPECT_DOUBLE_EQ(short_trade.r, (99.625 - 98.375) / 2.0 - 0.124);
  // Exit fill equal to the entry fill: the commission alone, a loss.
  const bt::PricedTrade flat = bt::price_trade(c, 1, 100.0, 100.375, 2.0, 1);
  EXPECT_DOUBLE_EQ(flat.r, -1.24 / 10.0);
}

TEST(Metrics, NoTradesAndOnlyWinners) {
  const bt::Metrics none = bt::metrics_from_summary({});
  EXPECT_EQ(none.trades, 0u);
  EXPECT_EQ(none.profit_factor, 0.0);
  EXPECT_EQ(none.sqn, 0.0);
  EXPECT_EQ(none.win_rate, 0.0);
  EXPECT_FALSE(none.net_pnl.has_value());

  bt::SummaryBuilder b;
  b.add_trade(1.0);
  b.add_trade(2.0);
  const bt::Metrics m = bt::metrics_from_summary(b.summary);
  EXPECT_EQ(m.profit_factor, 99.0);
  EXPECT_EQ(m.avg_loss_r, 0.0);
  EXPECT_EQ(m.realized_rr, 0.0);
  EXPECT_EQ(m.avg_win_r, 1.5);
  EXPECT_EQ(m.win_rate, 1.0);
}

TEST(Metrics, DrawdownZeroResultAndSqn) {
  bt::SummaryBuilder single;
  single.add_trade(-2.0);
  EXPECT_EQ(single.summary.max_dd_r, 2.0);  // the peak starts at 0
  EXPECT_EQ(bt::metrics_from_summary(single.summary).sqn, 0.0);

  bt::SummaryBuilder zero;
  zero.add_trade(1.0);
  zero.add_trade(0.0);
  EXPECT_EQ(zero.summary.gross_loss_r, 0.0);
  const bt::Metrics zm = bt::metrics_from_summary(zero.summary);
  EXPECT_EQ(zm.win_rate, 0.5);
  EXPECT_EQ(zm.profit_factor, 99.0);

  bt::SummaryBuilder same;
  for (int i = 0; i < 400; ++i) same.add_trade(0.5);
  EXPECT_EQ(bt::metrics_from_summary(same.summary).sqn, 0.0);

  // Mean 0.1 R, standard deviation 1 R over 400 trades: the count is capped at 100.
  bt::SummaryBuilder spread;
  for (int i = 0; i < 400; ++i) spread.add_trade(i % 2 == 0 ? 1.1 : -0.9);
  const bt::Metrics sm = bt::metrics_from_summary(spread.summary);
  EXPECT_NEAR(sm.sqn, 10.0 * 0.1 / std::sqrt(400.0 / 399.0), 1e-9);
  EXPECT_NEAR(sm.realized_rr, 1.1 / 0.9, 1e-12);
  EXPECT_NEAR(sm.profit_factor, (200 * 1.1) / (200 * 0.9), 1e-12);
  EXPECT_NEAR(spread.summary.max_dd_r, 0.9, 1e-12);
}

TEST(Metrics, JsonKeysAndNulls) {
  const core::Json j = bt::to_json(bt::metrics_from_summary({}));
  EXPECT_EQ(j.size(), 13u);
  EXPECT_TRUE(j["net_pnl"].is_null());
  EXPECT_TRUE(j["max_drawdown_pct"].is_null());
  EXPECT_TRUE(j["total_costs"].is_null());
  EXPECT_EQ(j["trades"], 0);
  EXPECT_TRUE(j["sqn"].is_number_float());
}

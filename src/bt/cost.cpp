#include "bt/cost.hpp"

#include <cmath>

namespace varnek::bt {

CostModel derive_costs(const core::Market& market, const core::Exec& exec) {
  CostModel c;
  c.side_ticks = market.slippage_ticks * exec.slip_mult + market.spread_ticks * 0.5;
  c.fill_offset = market.tick_size * c.side_ticks;
  c.round_turn_commission = market.commission_per_side * 2.0 * exec.cost_mult;
  c.round_turn_slippage = c.side_ticks * 2.0 * market.tick_size * market.point_value;
  c.point_value = market.point_value;
  c.risk_per_trade = exec.risk_per_trade;
  c.equity0 = exec.equity0;
  c.entry_lag = exec.delay + 1;
  return c;
}

std::uint32_t size_position(const CostModel& cost, double equity, double stop_dist) {
  const double n = std::floor(equity * cost.risk_per_trade / (stop_dist * cost.point_value));
  // A size that is not a finite number (a point value or stop distance of 0) is a skip, so
  // no conversion ever sees a value out of range.
  if (!std::isfinite(n) || n < 1.0) return 0;
  if (n >= static_cast<double>(kMaxContracts)) return kMaxContracts;
  return static_cast<std::uint32_t>(n);
}

PricedTrade price_trade(const CostModel& cost, int side, double entry, double raw_exit,
                        double stop_dist, std::uint32_t contracts) {
  const double d = side;
  const double n = contracts;
  PricedTrade t;
  t.exit = raw_exit - d * cost.fill_offset;
  t.r = d * (t.exit - entry) / stop_dist -
        cost.round_turn_commission / (stop_dist * cost.point_value);
  t.pnl = d * (t.exit - entry) * cost.point_value * n - n * cost.round_turn_commission;
  t.costs = n * cost.round_turn_slippage + n * cost.round_turn_commission;
  return t;
}

}  // namespace varnek::bt

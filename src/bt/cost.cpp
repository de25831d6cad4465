#include "bt/cost.hpp"

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

}  // namespace varnek::bt

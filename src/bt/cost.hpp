#pragma once
// Execution and cost model: fills, commissions, position size, and a trade's R and money.
//
// Each fill pays half the spread plus slippage (scaled by `slip_mult`) in price; the
// commission (scaled by `cost_mult`) is charged per contract and side. A stop-out of a
// full-size position loses `risk_per_trade` of the current equity.
#include <cmath>
#include <cstdint>

#include "core/spec.hpp"

namespace varnek::bt {

// Quantities derived once per backtest from a `Market` and an `Exec`.
struct CostModel {
  double side_ticks = 0.0;             // slippage_ticks * slip_mult + spread_ticks * 0.5
  double fill_offset = 0.0;            // tick_size * side_ticks, price per fill
  double round_turn_commission = 0.0;  // commission_per_side * 2 * cost_mult, money per contract
  double round_turn_slippage = 0.0;    // side_ticks * 2 * tick_size * point_value
  double point_value = 0.0;
  double risk_per_trade = 0.0;
  double equity0 = 0.0;
  std::uint64_t entry_lag = 1;  // delay + 1 bars between the signal bar and the entry bar
};

CostModel derive_costs(const core::Market& market, const core::Exec& exec);

inline constexpr std::uint32_t kMaxContracts = 1000;

// Whether the size is plainly under one contract: over a positive divisor the quotient
// money / per_contract rounds to 1 or more exactly when money >= per_contract (a smaller
// money gives at most 1 - 2^-53 before rounding), so the usual skip is decided without
// waiting for a division.
inline bool plainly_under_one_contract(const CostModel& cost, double equity, double stop_dist) {
  const double per_contract = stop_dist * cost.point_value;
  return per_contract > 0.0 && !(equity * cost.risk_per_trade >= per_contract);
}

// floor(equity * risk_per_trade / (stop_dist * point_value)) capped at 1000; 0 means skip
// (under one contract, or a size that is not a finite number, as with a point value of 0).
// Inline: called once per signal from the simulation's loop.
inline std::uint32_t size_position(const CostModel& cost, double equity, double stop_dist) {
  if (plainly_under_one_contract(cost, equity, stop_dist)) return 0;
  const double money = equity * cost.risk_per_trade;
  const double per_contract = stop_dist * cost.point_value;
  // Money times the reciprocal first: the reciprocal does not depend on the equity, so its
  // division leaves the chain from one trade's equity to the next. The product lies within
  // a few units in the last place of the quotient (2^-50 of it even for a subnormal
  // reciprocal); when no whole number lies within 2^-40 of it either way, the quotient has
  // the same floor. Only a quotient at or next to a whole number, the cap, NaN or an
  // infinity is left to the division itself.
  const double approx = money * (1.0 / per_contract);
  const double lo = approx * (1.0 - 0x1p-40), hi = approx * (1.0 + 0x1p-40);
  if (lo >= 1.0 && hi < static_cast<double>(kMaxContracts) &&
      static_cast<std::uint32_t>(lo) == static_cast<std::uint32_t>(hi)) {
    return static_cast<std::uint32_t>(lo);
  }
  const double q = money / per_contract;
  // The floor of q is under one exactly when q is (NaN fails the comparison), and at least
  // the cap exactly when q is; in between the conversion truncates, which is the floor of
  // a positive number. An infinite size (a point value or stop distance of 0) is a skip,
  // so no conversion ever sees a value out of range.
  if (!(q >= 1.0) || q == HUGE_VAL) return 0;
  if (q >= static_cast<double>(kMaxContracts)) return kMaxContracts;
  return static_cast<std::uint32_t>(q);
}

struct PricedTrade {
  double exit = 0.0;  // exit fill: raw price moved against the position by one fill offset
  double r = 0.0;     // d * (exit - entry) / stop_dist - commission / (stop_dist * point_value)
  // d * (exit - entry) * point_value: one contract's money before commission, which neither
  // the size nor the equity changes.
  double move_value = 0.0;
  double pnl = 0.0;    // move_value * contracts - contracts * commission
  double costs = 0.0;  // slippage and spread plus commission, in money
};

// `side` is +1 long or -1 short; `entry` is the entry fill.
inline PricedTrade price_trade(const CostModel& cost, int side, double entry, double raw_exit,
                               double stop_dist, std::uint32_t contracts) {
  const double d = side;
  const double n = contracts;
  PricedTrade t;
  t.exit = raw_exit - d * cost.fill_offset;
  t.r = d * (t.exit - entry) / stop_dist -
        cost.round_turn_commission / (stop_dist * cost.point_value);
  t.move_value = d * (t.exit - entry) * cost.point_value;
  t.pnl = t.move_value * n - n * cost.round_turn_commission;
  t.costs = n * cost.round_turn_slippage + n * cost.round_turn_commission;
  return t;
}

}  // namespace varnek::bt

#pragma once
// Performance metrics in R units (multiples of the money at risk at the stop).
#include <cstdint>
#include <optional>

#include "core/json.hpp"

namespace varnek::bt {

// Running statistics a backtest accumulates trade by trade; all fields start at 0.
struct SegmentSummary {
  double net_r = 0.0;           // sum of r
  double sum_sq_r = 0.0;        // sum of r * r
  double gross_profit_r = 0.0;  // sum of r over wins (r > 0)
  double gross_loss_r = 0.0;    // sum of -r over the other trades (r <= 0)
  double max_dd_r = 0.0;        // largest drop of cumulative R below its running peak
  std::uint32_t trades = 0;
  std::uint32_t wins = 0;
  std::uint32_t bars = 0;        // bars stepped
  std::uint32_t size_skips = 0;  // signals dropped for a size under one contract

  bool operator==(const SegmentSummary&) const = default;
};

// The summary plus the peak of the running cumulative R, which is the summary's net_r
// (both start at 0, so an initial losing streak counts as drawdown).
struct SummaryBuilder {
  SegmentSummary summary;
  double peak = 0.0;

  // The win and loss sums take r or +0 rather than branching: both start at +0 and only
  // ever grow, so adding +0 leaves them exactly as they were.
  [[gnu::always_inline]] void add_trade(double r) {
    summary.net_r += r;
    summary.sum_sq_r += r * r;
    const bool win = r > 0.0;
    summary.wins += win ? 1u : 0u;
    summary.gross_profit_r += win ? r : 0.0;
    summary.gross_loss_r += win ? 0.0 : -r;
    const double cum = summary.net_r;
    peak = peak > cum ? peak : cum;
    const double dd = peak - cum;
    summary.max_dd_r = summary.max_dd_r > dd ? summary.max_dd_r : dd;
    summary.trades += 1;
  }
};

struct Metrics {
  std::uint32_t trades = 0;
  double win_rate = 0.0;       // wins / trades
  double profit_factor = 0.0;  // gross profit / gross loss; 99 with gains and no loss
  double expectancy_r = 0.0;   // net_r / trades
  double net_r = 0.0;
  double max_drawdown_r = 0.0;
  double sqn = 0.0;  // sqrt(min(n, 100)) * mean / sample standard deviation
  double avg_win_r = 0.0;
  double avg_loss_r = 0.0;                 // gross loss / losing trades, a positive number
  double realized_rr = 0.0;                // avg_win_r / avg_loss_r
  std::optional<double> net_pnl;           // full runs only
  std::optional<double> max_drawdown_pct;  // full runs only: intrabar worst case, in percent
  std::optional<double> total_costs;       // full runs only
};

Metrics metrics_from_summary(const SegmentSummary& s);

core::Json to_json(const Metrics& m);

}  // namespace varnek::bt

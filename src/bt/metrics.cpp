#include "bt/metrics.hpp"

#include <algorithm>
#include <cmath>

namespace varnek::bt {

Metrics metrics_from_summary(const SegmentSummary& s) {
  Metrics m;
  const double n = s.trades;
  const double w = s.wins;
  m.trades = s.trades;
  m.net_r = s.net_r;
  m.max_drawdown_r = s.max_dd_r;
  if (s.trades > 0) {
    m.win_rate = w / n;
    m.expectancy_r = s.net_r / n;
  }
  if (s.gross_loss_r > 0.0) {
    m.profit_factor = s.gross_profit_r / s.gross_loss_r;
  } else if (s.gross_profit_r > 0.0) {
    m.profit_factor = 99.0;
  }
  if (s.trades >= 2) {
    const double var = std::max(0.0, (s.sum_sq_r - s.net_r * s.net_r / n) / (n - 1.0));
    if (var != 0.0) m.sqn = std::sqrt(std::min(n, 100.0)) * (s.net_r / n) / std::sqrt(var);
  }
  if (s.wins > 0) m.avg_win_r = s.gross_profit_r / w;
  if (s.trades > s.wins) m.avg_loss_r = s.gross_loss_r / (n - w);
  if (s.wins > 0 && s.wins < s.trades && s.gross_loss_r > 0.0) {
    m.realized_rr = m.avg_win_r / m.avg_loss_r;
  }
  return m;
}

core::Json to_json(const Metrics& m) {
  auto opt = [](const std::optional<double>& v) {
    return v ? core::number_or_null(*v) : core::Json(nullptr);
  };
  core::Json j = core::Json::object();
  j["trades"] = m.trades;
  j["win_rate"] = core::number_or_null(m.win_rate);
  j["profit_factor"] = core::number_or_null(m.profit_factor);
  j["expectancy_r"] = core::number_or_null(m.expectancy_r);
  j["net_r"] = core::number_or_null(m.net_r);
  j["max_drawdown_r"] = core::number_or_null(m.max_drawdown_r);
  j["sqn"] = core::number_or_null(m.sqn);
  j["avg_win_r"] = core::number_or_null(m.avg_win_r);
  j["avg_loss_r"] = core::number_or_null(m.avg_loss_r);
  j["realized_rr"] = core::number_or_null(m.realized_rr);
  j["net_pnl"] = opt(m.net_pnl);
  j["max_drawdown_pct"] = opt(m.max_drawdown_pct);
  j["total_costs"] = opt(m.total_costs);
  return j;
}

}  // namespace varnek::bt

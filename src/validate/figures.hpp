#pragma once
// Figures read off a segment summary by every validation check, and the verdict record of
// the report's gates.
#include <string>

#include "bt/metrics.hpp"

namespace varnek::validate {

// gross_profit_r / gross_loss_r when there is a loss; otherwise 99 with a gain, else 0.
inline double profit_factor(const bt::SegmentSummary& s) {
  if (s.gross_loss_r > 0.0) return s.gross_profit_r / s.gross_loss_r;
  return s.gross_profit_r > 0.0 ? 99.0 : 0.0;
}

// net_r / trades, 0 without trades.
inline double expectancy_r(const bt::SegmentSummary& s) {
  return s.trades > 0 ? s.net_r / s.trades : 0.0;
}

// A gate's outcome: "PASS", "INCONCLUSIVE" or "FAIL", and its French explanation.
struct Verdict {
  std::string status;
  std::string why_fr;
};

}  // namespace varnek::validate

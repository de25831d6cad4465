#pragma once
// Swing pivots and breaks of market structure on the base bars.
#include <cstdint>
#include <span>
#include <vector>

#include "data/bars.hpp"

namespace varnek::htf {

// One byte per base bar, 0 or 1.
struct BreakFlags {
  std::vector<std::uint8_t> bull;  // close crossed above the last swing high in a bearish structure
  std::vector<std::uint8_t> bear;  // close crossed below the last swing low in a bullish structure
};

// Strict pivot of size k: value p beats every other value of p-k..p+k (higher
// for a swing high, lower for a swing low); equal neighbours on either side
// disqualify it, and so does a NaN. Requires k <= p and p + k < values.size().
bool is_swing_high(std::span<const double> highs, std::size_t p, std::uint32_t k);
bool is_swing_low(std::span<const double> lows, std::size_t p, std::uint32_t k);

// Pivot size k: bar i-k is a swing high when its high is strictly above every
// other high of bars i-2k..i (a swing low mirrored), so a pivot is confirmed k
// bars late. Once two swing highs and two swing lows exist, higher highs and
// higher lows make the structure bullish, lower ones bearish, anything else
// keeps it. A bullish structure flags a bear break on the bar whose close
// crosses below the last swing low (the previous close at or above it) and
// turns bearish; a bearish one mirrors that. No structure, no flag.
// k = 0 has no pivots and leaves every flag 0.
BreakFlags detect_breaks(const data::BarSeries& bars, std::uint32_t k);

}  // namespace varnek::htf

#include "htf/breaks.hpp"

#include <cmath>
#include <limits>

namespace varnek::htf {

namespace {

enum class Structure { kNone, kBullish, kBearish };

}  // namespace

// No early exit: a fixed run of comparisons is cheaper than a mispredicted branch.
bool is_swing_high(std::span<const double> highs, std::size_t p, std::uint32_t k) {
  const double v = highs[p];
  bool ok = true;
  for (std::size_t q = p - k; q < p; ++q) ok &= v > highs[q];
  for (std::size_t q = p + 1; q <= p + k; ++q) ok &= v > highs[q];
  return ok;
}

bool is_swing_low(std::span<const double> lows, std::size_t p, std::uint32_t k) {
  const double v = lows[p];
  bool ok = true;
  for (std::size_t q = p - k; q < p; ++q) ok &= v < lows[q];
  for (std::size_t q = p + 1; q <= p + k; ++q) ok &= v < lows[q];
  return ok;
}

BreakFlags detect_breaks(const data::BarSeries& bars, std::uint32_t k) {
  const std::size_t len = bars.size();
  BreakFlags flags{std::vector<std::uint8_t>(len, 0), std::vector<std::uint8_t>(len, 0)};
  if (k == 0) return flags;
  const auto& high = bars.high;
  const auto& low = bars.low;
  const auto& close = bars.close;
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  double last_high = kNaN, prev_high = kNaN, last_low = kNaN, prev_low = kNaN;
  Structure state = Structure::kNone;
  const std::size_t span = 2 * static_cast<std::size_t>(k);

  for (std::size_t i = 1; i < len; ++i) {
    if (i >= span) {
      const std::size_t p = i - k;
      if (is_swing_high(high, p, k)) {
        prev_high = last_high;
        last_high = high[p];
      }
      if (is_swing_low(low, p, k)) {
        prev_low = last_low;
        last_low = low[p];
      }
    }

    if (!std::isnan(prev_high) && !std::isnan(prev_low)) {
      if (last_high > prev_high && last_low > prev_low) {
        state = Structure::kBullish;
      } else if (last_high < prev_high && last_low < prev_low) {
        state = Structure::kBearish;
      }
    }

    if (state == Structure::kBullish && !std::isnan(last_low)) {
      if (close[i] < last_low && close[i - 1] >= last_low) {
        flags.bear[i] = 1;
        state = Structure::kBearish;
      }
    } else if (state == Structure::kBearish && !std::isnan(last_high)) {
      if (close[i] > last_high && close[i - 1] <= last_high) {
        flags.bull[i] = 1;
        state = Structure::kBullish;
      }
    }
  }
  return flags;
}

}  // namespace varnek::htf

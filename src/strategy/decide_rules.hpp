#pragma once
// The family rules of Decide, as inline templates: the trade simulation instantiates its
// bar loop once per family so that no family choice is made per bar.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "strategy/decide.hpp"

namespace varnek::strategy::rules {

inline bool is_nan(double x) {
  return x != x;
}

// Family 0: higher-timeframe trend, a pullback towards the base EMA within the window
// (tolerance scaled by the current ATR), and a breakout of the previous bars' channel.
inline int pullback_breakout(const StrategyView& v, std::size_t k) {
  const double c = v.close[k], atr = v.atr[k];
  const double p = v.primary[k], s = v.secondary[k];
  if (is_nan(p) || is_nan(s) || is_nan(v.breakout_high[k]) || is_nan(v.pullback_ema[k]) ||
      is_nan(atr)) {
    return 0;
  }
  const double tol = v.level_a * atr;
  const std::size_t lo = k - std::min<std::uint64_t>(v.window, k);
  if (p > s && c > v.breakout_high[k]) {
    for (std::size_t j = lo; j < k; ++j) {
      if (v.low[j] <= v.pullback_ema[j] + tol) return 1;
    }
    return 0;
  }
  if (v.shorts_allowed && p < s && c < v.breakout_low[k]) {
    for (std::size_t j = lo; j < k; ++j) {
      if (v.high[j] >= v.pullback_ema[j] - tol) return -1;
    }
  }
  return 0;
}

// Family 1: the bar on which the fast EMA crosses the slow one; equality on the previous
// bar counts as below for a long cross and above for a short cross.
inline int ema_cross(const StrategyView& v, std::size_t k) {
  const double p0 = v.primary[k - 1], s0 = v.secondary[k - 1];
  if (is_nan(p0) || is_nan(s0)) return 0;
  const double p1 = v.primary[k], s1 = v.secondary[k];
  if (p0 <= s0 && p1 > s1) return 1;
  if (v.shorts_allowed && p1 < s1 && p0 >= s0) return -1;
  return 0;
}

// Family 2: a close beyond the previous bars' highest high or lowest low.
inline int donchian(const StrategyView& v, std::size_t k) {
  const double hi = v.primary[k], c = v.close[k];
  if (is_nan(hi)) return 0;
  if (c > hi) return 1;
  if (v.shorts_allowed && c < v.secondary[k]) return -1;
  return 0;
}

// Family 3: RSI below rsi_low goes long, above 100 - rsi_low goes short.
inline int rsi_reversion(const StrategyView& v, std::size_t k) {
  const double r = v.primary[k];
  if (is_nan(r)) return 0;
  if (r < v.level_a) return 1;
  if (v.shorts_allowed && r > v.level_b) return -1;
  return 0;
}

// Order-block zone after a break at j: the most recent candle against the direction in
// the ten bars before the break; only the first return into its range counts.
inline int order_block(const StrategyView& v, int d, std::size_t j, std::size_t k) {
  const std::size_t stop = j >= 10 ? j - 10 : 0;
  for (std::size_t i = j; i-- > stop;) {
    if (d > 0 && v.open[i] > v.close[i]) {
      const double top = v.high[i];
      if (!(v.low[k] <= top && v.close[k] > v.low[i])) return 0;
      for (std::size_t m = j + 1; m < k; ++m) {
        if (v.low[m] <= top) return 0;
      }
      return 1;
    }
    if (d < 0 && v.close[i] > v.open[i]) {
      const double bottom = v.low[i];
      if (!(v.high[k] >= bottom && v.close[k] < v.high[i])) return 0;
      for (std::size_t m = j + 1; m < k; ++m) {
        if (v.high[m] >= bottom) return 0;
      }
      return -1;
    }
  }
  return 0;
}

// Fair-value gap after a break at j: the most recent three-bar gap at least
// level_a * atr[k] tall among bars j down to j - 3; only the first return counts.
inline int fair_value_gap(const StrategyView& v, int d, std::size_t j, std::size_t k) {
  if (j < 2) return 0;
  const double min_gap = v.level_a * v.atr[k];
  const std::size_t stop = std::max<std::size_t>(j >= 3 ? j - 3 : 0, 2);
  for (std::size_t a = j + 1; a-- > stop;) {
    if (d > 0) {
      const double bottom = v.high[a - 2], top = v.low[a];
      if (!(top > bottom && top - bottom >= min_gap)) continue;
      if (!(v.low[k] <= top && v.close[k] > bottom)) return 0;
      for (std::size_t m = a + 1; m < k; ++m) {
        if (v.low[m] <= top) return 0;
      }
      return 1;
    }
    const double bottom = v.high[a], top = v.low[a - 2];
    if (!(bottom < top && top - bottom >= min_gap)) continue;
    if (!(v.high[k] >= bottom && v.close[k] < top)) return 0;
    for (std::size_t m = a + 1; m < k; ++m) {
      if (v.high[m] >= bottom) return 0;
    }
    return -1;
  }
  return 0;
}

// Family 4: a change of character (structure break), entered immediately or on the first
// return into the fair-value gap or order block that preceded it.
inline int smc_choch(const StrategyView& v, std::size_t k) {
  if (is_nan(v.atr[k])) return 0;
  if (v.entry_mode == 2) {
    if (v.bull_breaks[k] == 1) return 1;
    if (v.shorts_allowed && v.bear_breaks[k] == 1) return -1;
    return 0;
  }
  // The most recent break in k - window .. k - 1 decides the direction.
  const std::int32_t bull = v.prev_bull[k], bear = v.prev_bear[k];
  const std::int32_t j = std::max(bull, bear);
  if (j < 0 || static_cast<std::uint64_t>(j) + v.window < k) return 0;
  const int d = (j == bull) ? 1 : -1;
  if (d < 0 && !v.shorts_allowed) return 0;
  const auto jj = static_cast<std::size_t>(j);
  return v.entry_mode == 1 ? order_block(v, d, jj, k) : fair_value_gap(v, d, jj, k);
}

template <int F>
inline int family_rule(const StrategyView& v, std::size_t k) {
  if constexpr (F == 0) return pullback_breakout(v, k);
  if constexpr (F == 1) return ema_cross(v, k);
  if constexpr (F == 2) return donchian(v, k);
  if constexpr (F == 3) return rsi_reversion(v, k);
  if constexpr (F == 4) return smc_choch(v, k);
}

// Session, family rule, regime filter: the gate byte holds the first and the last.
template <int F>
inline int decide_by_rule(const StrategyView& v, std::size_t k) {
  const std::uint8_t g = v.gate[k];
  if (g == 0) return 0;
  const int d = family_rule<F>(v, k);
  if (d > 0) return (g & kLongOk) ? 1 : 0;
  if (d < 0) return (g & kShortOk) ? -1 : 0;
  return 0;
}

// The same decision from the signal tables of a resolved view: the rule bits admitted by
// the gate and the side, kLongOk giving +1 and kShortOk -1 (never both: a rule byte, or
// family 0's trend byte, holds at most one).
template <int F>
inline int decide_at(const StrategyView& v, std::size_t k) {
  unsigned m = v.signal.at(k) & v.gate[k] & v.side_mask;
  if constexpr (F == 0) m &= v.channel.at(k) & v.pullback.at(k);
  return static_cast<int>(m & kLongOk) - static_cast<int>(m >> 1);
}

// Calls f(std::integral_constant<int, F>) for the view's family.
template <class Fn>
inline decltype(auto) with_family(std::uint8_t family, Fn&& f) {
  switch (family) {
    case 0:
      return f(std::integral_constant<int, 0>{});
    case 1:
      return f(std::integral_constant<int, 1>{});
    case 2:
      return f(std::integral_constant<int, 2>{});
    case 3:
      return f(std::integral_constant<int, 3>{});
    default:
      return f(std::integral_constant<int, 4>{});
  }
}

}  // namespace varnek::strategy::rules

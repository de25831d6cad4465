#include "htf/context.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "htf/indicators.hpp"
#include "htf/resample.hpp"

namespace varnek::htf {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kRatioWindow = 100;

}  // namespace

std::vector<ContextBar> label_view(const data::BarSeries& bars, std::span<const double> ema20,
                                   std::span<const double> ema50, std::span<const double> atr,
                                   std::span<const double> highest20) {
  const std::size_t len = bars.size();
  const auto& high = bars.high;
  const auto& low = bars.low;
  const auto& close = bars.close;
  std::vector<ContextBar> out(len);

  double last_high = kNaN, prev_high = kNaN, last_low = kNaN, prev_low = kNaN;
  std::vector<double> ratios;  // ATR / close of every bar with a defined ATR, in order
  ratios.reserve(len);

  for (std::size_t i = 0; i < len; ++i) {
    ContextBar& bar = out[i];

    if (i >= 4) {
      const std::size_t p = i - 2;
      if (high[p] > high[p - 1] && high[p] > high[p - 2] && high[p] >= high[p + 1] &&
          high[p] >= high[p + 2]) {
        prev_high = last_high;
        last_high = high[p];
      }
      if (low[p] < low[p - 1] && low[p] < low[p - 2] && low[p] <= low[p + 1] &&
          low[p] <= low[p + 2]) {
        prev_low = last_low;
        last_low = low[p];
      }
    }

    if (!std::isnan(ema50[i])) {
      if (ema20[i] > ema50[i] && close[i] > ema50[i]) {
        bar.trend = kTrendBullish;
      } else if (ema20[i] < ema50[i] && close[i] < ema50[i]) {
        bar.trend = kTrendBearish;
      }
    }

    // Comparisons with an undefined swing are false, which leaves "mixed".
    if (prev_high < last_high && prev_low < last_low) {
      bar.structure = kStructureHhHl;
    } else if (last_high < prev_high && last_low < prev_low) {
      bar.structure = kStructureLhLl;
    }

    if (i >= 15) {
      const double now = close[i] / close[i - 10] - 1.0;
      const double before = close[i - 5] / close[i - 15] - 1.0;
      if (std::abs(now - before) < 0.001) {
        bar.momentum = kMomentumFlat;
      } else if (std::abs(now) > std::abs(before)) {
        bar.momentum = kMomentumStrengthening;
      } else {
        bar.momentum = kMomentumWeakening;  // also when the difference is NaN
      }
    }

    if (!std::isnan(atr[i])) {
      const double ratio = atr[i] / close[i];
      ratios.push_back(ratio);
      const std::size_t window = std::min(ratios.size(), kRatioWindow);
      const std::size_t below = static_cast<std::size_t>(
          std::count_if(ratios.end() - static_cast<std::ptrdiff_t>(window), ratios.end(),
                        [ratio](double r) { return r < ratio; }));
      const double p = static_cast<double>(below) / static_cast<double>(window);
      if (p >= 0.66) {
        bar.volatility = kVolatilityHigh;
      } else if (p >= 0.33) {
        bar.volatility = kVolatilityMedium;
      }
      if (i >= 10) {
        double top = kNaN, bottom = kNaN;
        for (std::size_t j = i - 9; j <= i; ++j) {
          top = nan_max(top, high[j]);
          bottom = nan_min(bottom, low[j]);
        }
        bar.compression = (top - bottom) < atr[i] * 6.0 / 3.0;
      }
    }

    bar.breakout_state = !std::isnan(highest20[i]) && close[i] > highest20[i];

    if (!std::isnan(last_high) && close[i] > last_high) {
      bar.liquidity_context = kAboveSwingHigh;
    } else if (!std::isnan(last_low) && close[i] < last_low) {
      bar.liquidity_context = kBelowSwingLow;
    }

    if (bar.trend == kTrendNeutral) {
      bar.confidence = 0.3f;
    } else {
      const bool agrees = (bar.trend == kTrendBullish && bar.structure == kStructureHhHl) ||
                          (bar.trend == kTrendBearish && bar.structure == kStructureLhLl);
      const double base = agrees ? 0.7 : 0.4;
      const double bonus_m = bar.momentum == kMomentumStrengthening ? 0.2 : 0.0;
      const double bonus_c = bar.compression ? 0.0 : 0.1;
      bar.confidence = static_cast<float>((bonus_m + base) + bonus_c);
    }
  }
  return out;
}

void add_projected_emas(HtfContext& view, std::span<const std::uint32_t> ema_lengths) {
  add_missing(view.ema, ema_lengths, [&](std::uint32_t n) {
    const std::vector<double> coarse = ema(view.bars.close, n);
    std::vector<double> projected(view.map.size());
    for (std::size_t b = 0; b < projected.size(); ++b) {
      const std::int32_t j = view.map[b];
      projected[b] = j < 0 ? kNaN : coarse[static_cast<std::size_t>(j)];
    }
    return projected;
  });
}

HtfContext build_context(const data::BarSeries& base, std::string name, std::int64_t period,
                         std::span<const std::uint32_t> ema_lengths) {
  HtfContext view;
  view.name = std::move(name);
  view.bars = resample(base, period);

  const std::vector<double> ema20 = ema(view.bars.close, 20);
  const std::vector<double> ema50 = ema(view.bars.close, 50);
  const std::vector<double> atr = atr14(view.bars);
  const std::vector<double> highest20 = highest_prev(view.bars.high, 20);
  view.context = label_view(view.bars, ema20, ema50, atr, highest20);

  view.map = projection_map(base, view.bars, period);

  add_projected_emas(view, ema_lengths);
  return view;
}

}  // namespace varnek::htf

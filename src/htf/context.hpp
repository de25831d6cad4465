#pragma once
// Higher-timeframe views: resampled bars, their context labels, and their
// causal projection onto the base bars.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "data/bars.hpp"
#include "htf/series_table.hpp"

namespace varnek::htf {

// Label bytes. A label that cannot be computed yet keeps its value 0.
enum : std::uint8_t { kTrendNeutral = 0, kTrendBullish = 1, kTrendBearish = 2 };
enum : std::uint8_t { kStructureMixed = 0, kStructureHhHl = 1, kStructureLhLl = 2 };
enum : std::uint8_t { kMomentumFlat = 0, kMomentumStrengthening = 1, kMomentumWeakening = 2 };
enum : std::uint8_t { kVolatilityLow = 0, kVolatilityMedium = 1, kVolatilityHigh = 2 };
enum : std::uint8_t { kInsideRange = 0, kAboveSwingHigh = 1, kBelowSwingLow = 2 };

// Discrete market context of one resampled bar.
struct ContextBar {
  float confidence = 0.0f;  // 0.3 when the trend is neutral, else 0.4 to 1.0
  std::uint8_t trend = 0;
  std::uint8_t structure = 0;
  std::uint8_t momentum = 0;
  std::uint8_t volatility = 0;
  std::uint8_t liquidity_context = 0;
  bool compression = false;
  bool breakout_state = false;
};

// Labels every bar of a resampled series from its EMA(20), EMA(50), ATR(14)
// and highest high of the previous 20 bars (all as long as `bars`):
// - swings: bar i-2 is a swing high when its high beats both bars to its left
//   strictly and both to its right non-strictly (lows mirrored), tested from i = 4;
// - trend from the EMAs and the close, neutral while EMA(50) is undefined;
// - structure from the last two swing highs and lows;
// - momentum from the 10-bar return now against five bars earlier, from i = 15;
// - volatility: percentile of ATR / close among the last 100 such ratios of
//   the view (share strictly below the new ratio), when ATR is defined;
//   compression when the 10-bar range is below 2 ATR;
// - breakout_state when the close is above the previous-20-bar high;
// - liquidity_context against the last swing high, then the last swing low;
// - confidence 0.3 when neutral, else 0.7 or 0.4 (structure agrees or not)
//   + 0.2 when strengthening + 0.1 without compression, summed in double.
std::vector<ContextBar> label_view(const data::BarSeries& bars, std::span<const double> ema20,
                                   std::span<const double> ema50, std::span<const double> atr,
                                   std::span<const double> highest20);

// One higher-timeframe view of the base series.
struct HtfContext {
  std::string name;                 // "H1", "H4" or "D1"
  data::BarSeries bars;             // resampled; timeframe_secs is the period
  std::vector<ContextBar> context;  // one per resampled bar
  std::vector<std::int32_t> map;    // per base bar: last closed resampled bar, or -1
  SeriesTable ema;                  // EMA of resampled closes per length, projected
                                    // onto base bars through map (NaN where map is -1)
};

// Resamples `base` to `period`, labels the view, maps it onto the base bars and
// projects the EMA of each length in `ema_lengths` (a repeated length is kept once).
HtfContext build_context(const data::BarSeries& base, std::string name, std::int64_t period,
                         std::span<const std::uint32_t> ema_lengths);

// Projects the EMA of each length in `ema_lengths` that the view does not hold yet.
void add_projected_emas(HtfContext& view, std::span<const std::uint32_t> ema_lengths);

}  // namespace varnek::htf

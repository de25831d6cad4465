#pragma once
// Everything any strategy variant can read, computed once per bar series and
// shared read-only by every evaluation: strategies look series up by length
// and never compute indicators themselves.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "data/bars.hpp"
#include "htf/breaks.hpp"
#include "htf/context.hpp"
#include "htf/lengths.hpp"
#include "htf/series_table.hpp"

namespace varnek::htf {

// Pivot sizes whose break flags are always precomputed.
inline constexpr std::array<std::uint32_t, 3> kPivots{2, 3, 5};

struct PivotFlags {
  std::uint32_t pivot = 0;
  BreakFlags flags;
};

// Every series is as long as the base bar series.
struct FeatureSet {
  std::vector<double> atr;                 // ATR(14) of the base bars
  SeriesTable ema;                         // EMA of closes per base EMA length
  SeriesTable highest;                     // highest_prev of highs per breakout length
  SeriesTable lowest;                      // lowest_prev of lows per breakout length
  SeriesTable rsi;                         // RSI of closes per RSI length
  std::vector<std::uint8_t> regime_trend;  // daily (else four-hour) trend label; 0 unmapped
  std::vector<std::uint8_t> regime_vol;    // daily (else four-hour) volatility label; 1 unmapped
  std::vector<PivotFlags> smc;             // break flags per pivot of kPivots
  std::optional<HtfContext> h4;            // present when the base bars are finer than 4 h
  std::optional<HtfContext> d1;            // present when the base bars are finer than 1 day
  std::optional<HtfContext> h1;            // present when the base bars are finer than 1 h
  // True once the length-indexed series (base EMAs, channels, RSIs, the views' projected
  // EMAs) were dropped after the decision tables were built from them: the tables then
  // answer every rule, and views resolved against this set carry no series.
  bool series_dropped = false;
};

// Builds the views H1, H4 and D1 that are coarser than the base timeframe
// (each with the htf_ema lengths), the base ATR, EMAs, channels and RSIs for
// the given lengths, the break flags of every pivot in kPivots, and the regime
// bytes from the daily view, else the four-hour view.
FeatureSet build_feature_set(const data::BarSeries& bars, const FeatureLengths& lengths);

// Makes the set's length-indexed series exactly those of `lengths`: series of other
// lengths are dropped, missing ones computed as build_feature_set computes them. Tables
// built a few lengths at a time so hold only those series in memory, not every length's.
// With `ema_view`, only that view holds projected EMAs; the others hold none.
void keep_series(FeatureSet& fs, const data::BarSeries& bars, const FeatureLengths& lengths,
                 const HtfContext* ema_view = nullptr);

// Lookups for the strategies. A length or pivot that was not precomputed is a
// broken invariant and stops the process ("feature length {} not precomputed",
// "SMC pivot {} not precomputed").
std::span<const double> ema_series(const FeatureSet& fs, std::uint32_t n);
std::span<const double> highest_series(const FeatureSet& fs, std::uint32_t n);
std::span<const double> lowest_series(const FeatureSet& fs, std::uint32_t n);
std::span<const double> rsi_series(const FeatureSet& fs, std::uint32_t n);
std::span<const double> htf_ema_series(const HtfContext& view, std::uint32_t n);
const BreakFlags& break_flags(const FeatureSet& fs, std::uint32_t pivot);

}  // namespace varnek::htf

#pragma once
// Causal indicator primitives: the value at bar i reads bars 0..i only.
//
// Every function returns a series as long as its input; a value that is not
// defined yet is NaN, never 0.
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "data/bars.hpp"

namespace varnek::htf {

// Maximum and minimum that ignore a NaN operand: the other operand wins, and
// only two NaNs give NaN.
inline double nan_max(double a, double b) {
  return (std::isnan(a) || a < b) ? b : a;
}
inline double nan_min(double a, double b) {
  return (std::isnan(a) || b < a) ? b : a;
}

// Exponential moving average of length n, seeded with the arithmetic mean of
// the first n values: output[n-1] = mean(x[0..n-1]), then
// output[i] = prev + (x[i] - prev) * 2 / (n + 1). Everything before n-1 is NaN;
// n = 0 or n > x.size() leaves the whole series NaN. A NaN input propagates.
std::vector<double> ema(std::span<const double> x, std::uint32_t n);

// True range of bar i: high - low for bar 0; otherwise the largest of
// high - low, |high - close[i-1]| and |low - close[i-1]|, a NaN operand being
// ignored by the maximum. Requires i < bars.size().
double true_range(const data::BarSeries& bars, std::size_t i);

// ATR(14) with Wilder smoothing, seeded with the plain mean of the true ranges
// of bars 1..14 (bar 0's range has no previous close and is left out):
// output[14] = mean(TR[1..14]), then output[i] = (output[i-1] * 13 + TR[i]) / 14.
// Bars 0..13 are NaN; a series of fewer than 15 bars is all NaN.
std::vector<double> atr14(const data::BarSeries& bars);

// RSI of length n with Wilder smoothing, seeded with the plain averages of the
// gains and losses over the first n changes (closes 0..n): output[n] is the
// first value, then avg = (change + avg * (n-1)) / n per side. An average loss
// of exactly 0 gives 100. A NaN change counts as no change. Bars 0..n-1 are
// NaN; n = 0 or n >= closes.size() leaves the whole series NaN.
std::vector<double> rsi(std::span<const double> closes, std::uint32_t n);

// Highest high of the previous n bars, the current bar excluded:
// output[i] = max(highs[i-n .. i-1]) for i >= n, NaN for i < n. NaN highs are
// skipped; a window holding no number at all gives NaN (an undefined channel
// must not look like a breakout). n = 0 gives all NaN. O(size) overall.
std::vector<double> highest_prev(std::span<const double> highs, std::uint32_t n);

// Lowest low of the previous n bars; the mirror of highest_prev.
std::vector<double> lowest_prev(std::span<const double> lows, std::uint32_t n);

}  // namespace varnek::htf

#include "htf/indicators.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace varnek::htf {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Extreme of the previous n values by van Herk / Gil-Werman: cut the series
// into blocks of n, take running extremes forwards and backwards inside each
// block; any window of n values spans at most two blocks, so its extreme is
// the backward extreme at its first index combined with the forward extreme
// at its last. Three branch-free combines per value whatever n is. `pick`
// ignores NaN, so a window holding no number stays NaN.
template <typename Pick>
std::vector<double> previous_extreme(std::span<const double> x, std::uint32_t n, Pick pick) {
  const std::size_t len = x.size();
  std::vector<double> out(len, kNaN);
  if (n == 0 || n >= len) return out;
  std::vector<double> forward(len);
  std::vector<double> backward(len);
  for (std::size_t start = 0; start < len; start += n) {
    const std::size_t stop = std::min<std::size_t>(start + n, len);
    double run = x[start];
    forward[start] = run;
    for (std::size_t j = start + 1; j < stop; ++j) forward[j] = run = pick(run, x[j]);
    run = x[stop - 1];
    backward[stop - 1] = run;
    for (std::size_t j = stop - 1; j-- > start;) backward[j] = run = pick(x[j], run);
  }
  for (std::size_t i = n; i < len; ++i) out[i] = pick(backward[i - n], forward[i - 1]);
  return out;
}

}  // namespace

std::vector<double> ema(std::span<const double> x, std::uint32_t n) {
  const std::size_t len = x.size();
  std::vector<double> out(len, kNaN);
  if (n == 0 || n > len) return out;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += x[i];
  double prev = sum / static_cast<double>(n);
  out[n - 1] = prev;
  const double k = 2.0 / (static_cast<double>(n) + 1.0);
  for (std::size_t i = n; i < len; ++i) {
    prev = prev + (x[i] - prev) * k;
    out[i] = prev;
  }
  return out;
}

double true_range(const data::BarSeries& bars, std::size_t i) {
  const double range = bars.high[i] - bars.low[i];
  if (i == 0) return range;
  const double prev_close = bars.close[i - 1];
  return nan_max(nan_max(range, std::abs(bars.high[i] - prev_close)),
                 std::abs(bars.low[i] - prev_close));
}

std::vector<double> atr14(const data::BarSeries& bars) {
  constexpr std::size_t kLen = 14;
  const std::size_t len = bars.size();
  std::vector<double> out(len, kNaN);
  if (len < kLen + 1) return out;
  double sum = 0.0;
  for (std::size_t i = 1; i <= kLen; ++i) sum += true_range(bars, i);
  double prev = sum / 14.0;
  out[kLen] = prev;
  for (std::size_t i = kLen + 1; i < len; ++i) {
    prev = (prev * 13.0 + true_range(bars, i)) / 14.0;
    out[i] = prev;
  }
  return out;
}

namespace {

double rsi_value(double avg_gain, double avg_loss) {
  if (avg_loss == 0.0) return 100.0;
  return 100.0 - 100.0 / (1.0 + avg_gain / avg_loss);
}

}  // namespace

std::vector<double> rsi(std::span<const double> closes, std::uint32_t n) {
  const std::size_t len = closes.size();
  std::vector<double> out(len, kNaN);
  if (n == 0 || n >= len) return out;
  double gain = 0.0;
  double loss = 0.0;
  for (std::size_t j = 1; j <= n; ++j) {
    const double d = closes[j] - closes[j - 1];
    if (d > 0.0) gain += d;
    if (d <= 0.0) loss += -d;
  }
  const double len_n = static_cast<double>(n);
  double avg_gain = gain / len_n;
  double avg_loss = loss / len_n;
  out[n] = rsi_value(avg_gain, avg_loss);
  const double keep = len_n - 1.0;
  for (std::size_t i = n + 1; i < len; ++i) {
    const double d = closes[i] - closes[i - 1];
    // nan_max makes a NaN change count as no change on both sides.
    avg_gain = (nan_max(d, 0.0) + avg_gain * keep) / len_n;
    avg_loss = (nan_max(-d, 0.0) + avg_loss * keep) / len_n;
    out[i] = rsi_value(avg_gain, avg_loss);
  }
  return out;
}

std::vector<double> highest_prev(std::span<const double> highs, std::uint32_t n) {
  return previous_extreme(highs, n, nan_max);
}

std::vector<double> lowest_prev(std::span<const double> lows, std::uint32_t n) {
  return previous_extreme(lows, n, nan_min);
}

}  // namespace varnek::htf

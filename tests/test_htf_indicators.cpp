#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/splitmix.hpp"
#include "htf/indicators.hpp"
#include "htf/lengths.hpp"

using namespace varnek;
using namespace varnek::htf;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

void expect_nan_until(const std::vector<double>& v, std::size_t first_defined) {
  for (std::size_t i = 0; i < first_defined && i < v.size(); ++i) {
    EXPECT_TRUE(std::isnan(v[i])) << "index " << i;
  }
}

void expect_all_nan(const std::vector<double>& v) {
  expect_nan_until(v, v.size());
}

// Bars whose high/low straddle `mid` by `range / 2`, closing at mid.
data::BarSeries bars_with_ranges(const std::vector<double>& ranges, double mid = 100.0) {
  data::BarSeries bars;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    bars.push(static_cast<std::int64_t>(i) * 3600, mid, mid + ranges[i] / 2, mid - ranges[i] / 2,
              mid, 1.0);
  }
  return bars;
}

}  // namespace

TEST(Ema, SeededWithMeanThenSmoothed) {
  const std::vector<double> x{1, 2, 3, 4, 5};
  const auto e3 = ema(x, 3);  // k = 0.5
  ASSERT_EQ(e3.size(), 5u);
  expect_nan_until(e3, 2);
  EXPECT_DOUBLE_EQ(e3[2], 2.0);
  EXPECT_DOUBLE_EQ(e3[3], 3.0);
  EXPECT_DOUBLE_EQ(e3[4], 4.0);

  const std::vector<double> y{2, 4, 8};
  const auto e2 = ema(y, 2);  // seed 3, then 3 + 5 * 2/3
  EXPECT_TRUE(std::isnan(e2[0]));
  EXPECT_DOUBLE_EQ(e2[1], 3.0);
  EXPECT_DOUBLE_EQ(e2[2], 19.0 / 3.0);

  const auto e1 = ema(y, 1);  // k = 1 follows the input
  EXPECT_EQ(e1, y);
}

TEST(Ema, LengthBoundsAndNaN) {
  const std::vector<double> x{1, 2, 3, 4, 5};
  const auto full = ema(x, 5);
  expect_nan_until(full, 4);
  EXPECT_DOUBLE_EQ(full[4], 3.0);
  expect_all_nan(ema(x, 6));
  expect_all_nan(ema(x, 0));
  EXPECT_TRUE(ema(std::vector<double>{}, 3).empty());

  const std::vector<double> gap{1, kNaN, 3, 4};
  expect_all_nan(ema(gap, 2));  // undefined values are never turned into numbers
}

TEST(TrueRange, UsesPreviousCloseAndIgnoresNaN) {
  data::BarSeries bars;
  bars.push(0, 9, 10, 8, 9, 0);       // first bar: high - low
  bars.push(1, 11, 12, 11, 11.5, 0);  // gap up: |12 - 9| = 3
  bars.push(2, 7, 7, 6, 6.5, 0);      // gap down: |6 - 11.5| = 5.5
  bars.push(3, 6, kNaN, 6, 6, 0);     // high unknown: |6 - 6.5| wins
  bars.push(4, 6, 7, 5, kNaN, 0);     // previous close fine: max(2, 1, 1)
  bars.push(5, 6, 8, 5, 6, 0);        // previous close NaN: high - low
  EXPECT_DOUBLE_EQ(true_range(bars, 0), 2.0);
  EXPECT_DOUBLE_EQ(true_range(bars, 1), 3.0);
  EXPECT_DOUBLE_EQ(true_range(bars, 2), 5.5);
  EXPECT_DOUBLE_EQ(true_range(bars, 3), 0.5);
  EXPECT_DOUBLE_EQ(true_range(bars, 4), 2.0);
  EXPECT_DOUBLE_EQ(true_range(bars, 5), 3.0);
}

TEST(Atr14, FifteenBarsGiveExactlyOneValue) {
  // Ranges 1..14 on bars 1..14 (mean 7.5); bar 0's huge range must not count.
  std::vector<double> ranges{1000};
  for (int i = 1; i <= 14; ++i) ranges.push_back(i);
  const auto atr = atr14(bars_with_ranges(ranges));
  ASSERT_EQ(atr.size(), 15u);
  expect_nan_until(atr, 14);
  EXPECT_DOUBLE_EQ(atr[14], 7.5);

  ranges.pop_back();
  expect_all_nan(atr14(bars_with_ranges(ranges)));  // 14 bars: none
}

TEST(Atr14, WilderSmoothing) {
  std::vector<double> ranges{1000};
  for (int i = 1; i <= 14; ++i) ranges.push_back(i);
  ranges.push_back(21);
  const auto atr = atr14(bars_with_ranges(ranges));
  EXPECT_DOUBLE_EQ(atr[15], (7.5 * 13 + 21) / 14);  // 8.4642857...
}

TEST(Rsi, HandComputedWilder) {
  // Changes +1, -1, +2, -1. Seed: gain 0.5, loss 0.5 -> 50.
  // Then gain (2 + 0.5) / 2 = 1.25, loss 0.25 -> RS 5 -> 100 - 100/6.
  // Then gain 0.625, loss (1 + 0.25) / 2 = 0.625 -> 50.
  const std::vector<double> closes{10, 11, 10, 12, 11};
  const auto r = rsi(closes, 2);
  expect_nan_until(r, 2);
  EXPECT_DOUBLE_EQ(r[2], 50.0);
  EXPECT_DOUBLE_EQ(r[3], 100.0 - 100.0 / 6.0);
  EXPECT_DOUBLE_EQ(r[4], 50.0);
}

TEST(Rsi, RisingFallingFlatAndShort) {
  std::vector<double> rising;
  for (int i = 0; i < 10; ++i) rising.push_back(1.0 + i);
  const auto up = rsi(rising, 3);
  expect_nan_until(up, 3);
  for (std::size_t i = 3; i < up.size(); ++i) EXPECT_EQ(up[i], 100.0);

  const auto down = rsi(std::vector<double>{5, 4, 3, 2}, 2);
  EXPECT_EQ(down[2], 0.0);
  EXPECT_EQ(down[3], 0.0);

  const auto flat = rsi(std::vector<double>{7, 7, 7, 7}, 2);  // no loss at all: 100
  EXPECT_EQ(flat[2], 100.0);

  const std::vector<double> five{1, 2, 3, 4, 5};
  expect_all_nan(rsi(five, 5));
  expect_all_nan(rsi(five, 0));
  const auto last_only = rsi(five, 4);
  expect_nan_until(last_only, 4);
  EXPECT_EQ(last_only[4], 100.0);
}

TEST(Rsi, NaNChangeCountsAsNoChange) {
  // Seed 50; each NaN change halves both averages, leaving 50.
  const auto r = rsi(std::vector<double>{10, 9, 10, kNaN, 12}, 2);
  EXPECT_DOUBLE_EQ(r[2], 50.0);
  EXPECT_DOUBLE_EQ(r[3], 50.0);
  EXPECT_DOUBLE_EQ(r[4], 50.0);
}

TEST(PreviousExtremes, ExcludeTheCurrentBar) {
  const std::vector<double> x{1, 3, 2, 5, 4};
  const auto hi = highest_prev(x, 2);
  expect_nan_until(hi, 2);
  EXPECT_EQ(hi[2], 3.0);
  EXPECT_EQ(hi[3], 3.0);
  EXPECT_EQ(hi[4], 5.0);
  const auto lo = lowest_prev(x, 2);
  expect_nan_until(lo, 2);
  EXPECT_EQ(lo[2], 1.0);
  EXPECT_EQ(lo[3], 2.0);
  EXPECT_EQ(lo[4], 2.0);

  const auto one = highest_prev(std::vector<double>{1, 2, 3}, 1);
  EXPECT_EQ(one[1], 1.0);
  EXPECT_EQ(one[2], 2.0);

  expect_all_nan(highest_prev(x, 0));
  expect_all_nan(lowest_prev(x, 5));
}

TEST(PreviousExtremes, NaNSkippedAndEmptyWindowIsNaN) {
  const std::vector<double> x{kNaN, 4, kNaN, kNaN, kNaN, 1, 2};
  const auto hi = highest_prev(x, 2);
  EXPECT_EQ(hi[2], 4.0);
  EXPECT_EQ(hi[3], 4.0);
  // A window of NaN only has no extreme: NaN, not the most negative double,
  // so a close can never look like it broke out of it.
  EXPECT_TRUE(std::isnan(hi[4]));
  EXPECT_TRUE(std::isnan(hi[5]));
  EXPECT_EQ(hi[6], 1.0);
  EXPECT_FALSE(100.0 > hi[4]);
  const auto lo = lowest_prev(x, 2);
  EXPECT_EQ(lo[3], 4.0);
  EXPECT_TRUE(std::isnan(lo[4]));
  EXPECT_TRUE(std::isnan(lo[5]));
  EXPECT_FALSE(-100.0 < lo[5]);
  expect_all_nan(highest_prev(std::vector<double>(6, kNaN), 3));
}

TEST(PreviousExtremes, MatchBruteForceOnRandomSeries) {
  core::SplitMix64 rng(42);
  std::vector<double> x(500);
  for (double& v : x) {
    // Few distinct levels so ties are common; one value in six is NaN.
    v = rng.below(6) == 0 ? kNaN : static_cast<double>(rng.below(20));
  }
  for (std::uint32_t n : {1u, 2u, 3u, 7u, 20u, 499u, 500u}) {
    const auto hi = highest_prev(x, n);
    const auto lo = lowest_prev(x, n);
    for (std::size_t i = 0; i < x.size(); ++i) {
      double want_hi = kNaN, want_lo = kNaN;
      if (i >= n) {
        for (std::size_t j = i - n; j < i; ++j) {
          if (std::isnan(x[j])) continue;
          if (std::isnan(want_hi) || x[j] > want_hi) want_hi = x[j];
          if (std::isnan(want_lo) || x[j] < want_lo) want_lo = x[j];
        }
      }
      if (std::isnan(want_hi)) {
        EXPECT_TRUE(std::isnan(hi[i])) << "n " << n << " i " << i;
        EXPECT_TRUE(std::isnan(lo[i])) << "n " << n << " i " << i;
      } else {
        EXPECT_EQ(hi[i], want_hi) << "n " << n << " i " << i;
        EXPECT_EQ(lo[i], want_lo) << "n " << n << " i " << i;
      }
    }
  }
}

TEST(FeatureLengths, DefaultsAndLatticeValues) {
  FeatureLengths lengths = default_feature_lengths();
  const std::vector<std::uint32_t> base{5, 8, 10, 15, 20, 30, 50, 100, 150, 200, 25, 40};
  EXPECT_EQ(lengths.base_ema, base);
  EXPECT_EQ(lengths.htf_ema, (std::vector<std::uint32_t>{10, 20, 30, 50, 100, 150, 200}));
  EXPECT_EQ(lengths.breakout,
            (std::vector<std::uint32_t>{3, 5, 8, 10, 12, 15, 20, 30, 40, 55, 60}));
  EXPECT_EQ(lengths.rsi, (std::vector<std::uint32_t>{2, 3, 5, 7, 14}));

  // A jittered `fast` of 25 is already a default: nothing is appended twice.
  const std::vector<double> fast{5, 8, 10, 15, 20, 25};
  append_lattice_lengths(lengths.base_ema, fast);
  EXPECT_EQ(lengths.base_ema, base);

  // New values are truncated, sorted, deduplicated and appended after the defaults.
  const std::vector<double> jittered{33.4, 7.9, 33.0, 3.0, 61.2};
  append_lattice_lengths(lengths.breakout, jittered);
  EXPECT_EQ(lengths.breakout,
            (std::vector<std::uint32_t>{3, 5, 8, 10, 12, 15, 20, 30, 40, 55, 60, 7, 33, 61}));

  EXPECT_EQ(length_from_value(-3.0), 0u);
  EXPECT_EQ(length_from_value(kNaN), 0u);
  EXPECT_EQ(length_from_value(14.99), 14u);
  EXPECT_EQ(length_from_value(1e12), 4294967295u);
}

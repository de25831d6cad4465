#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "htf/features.hpp"
#include "htf/indicators.hpp"

using namespace varnek;
using namespace varnek::htf;

namespace {

// A steady rise from 100 by `step` per bar, each bar 1.0 tall around its close.
data::BarSeries ramp(std::size_t n, std::int64_t timeframe, double step = 0.1) {
  data::BarSeries bars;
  bars.timeframe_secs = timeframe;
  for (std::size_t i = 0; i < n; ++i) {
    const double c = 100.0 + step * static_cast<double>(i);
    bars.push(static_cast<std::int64_t>(i) * timeframe, c, c + 0.5, c - 0.5, c, 1.0);
  }
  return bars;
}

}  // namespace

TEST(FeatureSet, HourlyBaseBuildsFourHourAndDailyViews) {
  const auto bars = ramp(24 * 60, 3600);
  const FeatureSet fs = build_feature_set(bars, default_feature_lengths());
  EXPECT_FALSE(fs.h1.has_value());
  ASSERT_TRUE(fs.h4.has_value());
  ASSERT_TRUE(fs.d1.has_value());
  EXPECT_EQ(fs.h4->name, "H4");
  EXPECT_EQ(fs.d1->name, "D1");
  EXPECT_EQ(fs.h4->bars.timeframe_secs, 14400);
  EXPECT_EQ(fs.d1->bars.timeframe_secs, 86400);
  EXPECT_EQ(fs.h4->bars.size(), 360u);
  EXPECT_EQ(fs.d1->context.size(), 60u);
  // Base bar b closes at 3600 (b + 1): a four-hour bar is visible from its last hour on.
  for (std::size_t b = 0; b < bars.size(); ++b) {
    EXPECT_EQ(fs.h4->map[b], static_cast<std::int32_t>((b + 1) / 4) - 1);
    EXPECT_EQ(fs.d1->map[b], static_cast<std::int32_t>((b + 1) / 24) - 1);
  }
}

TEST(FeatureSet, RegimeBytesFollowTheClosedDailyBar) {
  const auto bars = ramp(24 * 60, 3600);
  const FeatureSet fs = build_feature_set(bars, default_feature_lengths());
  ASSERT_EQ(fs.regime_trend.size(), bars.size());
  // Before the first day closes: the neutral / medium defaults.
  for (std::size_t b = 0; b < 23; ++b) {
    EXPECT_EQ(fs.regime_trend[b], kTrendNeutral);
    EXPECT_EQ(fs.regime_vol[b], kVolatilityMedium);
  }
  // The first closed day has no ATR yet (volatility low). On a steady rise the
  // daily ATR is constant while the close grows, so every new ratio is the
  // lowest: volatility stays low.
  for (std::size_t b = 23; b < bars.size(); ++b) EXPECT_EQ(fs.regime_vol[b], kVolatilityLow);
  // Daily EMA(50) exists from day 49, visible from base bar 24 * 50 - 1.
  EXPECT_EQ(fs.regime_trend[1198], kTrendNeutral);
  EXPECT_EQ(fs.regime_trend[1199], kTrendBullish);
  EXPECT_EQ(fs.regime_trend.back(), kTrendBullish);
}

TEST(FeatureSet, ViewsDependOnTheBaseTimeframe) {
  const FeatureLengths lengths = default_feature_lengths();
  const FeatureSet five = build_feature_set(ramp(100, 300), lengths);
  EXPECT_TRUE(five.h1 && five.h4 && five.d1);
  // 100 five-minute bars: eight full hours and a partial ninth that stays hidden.
  EXPECT_EQ(five.h1->bars.size(), 9u);
  EXPECT_EQ(five.h1->map.back(), 7);

  const FeatureSet four = build_feature_set(ramp(100, 14400), lengths);
  EXPECT_FALSE(four.h1);
  EXPECT_FALSE(four.h4);
  ASSERT_TRUE(four.d1);
  EXPECT_EQ(four.d1->map[5], 0);  // the sixth four-hour bar closes the first day

  const auto daily = ramp(300, 86400);
  const FeatureSet d = build_feature_set(daily, lengths);
  EXPECT_FALSE(d.h1 || d.h4 || d.d1);
  EXPECT_EQ(d.regime_trend, std::vector<std::uint8_t>(300, kTrendNeutral));
  EXPECT_EQ(d.regime_vol, std::vector<std::uint8_t>(300, kVolatilityMedium));
  EXPECT_EQ(d.ema.size(), lengths.base_ema.size());
}

TEST(FeatureSet, LookupsByLength) {
  const auto bars = ramp(24 * 10, 3600);
  const FeatureSet fs = build_feature_set(bars, default_feature_lengths());
  EXPECT_EQ(fs.atr.size(), bars.size());
  EXPECT_DOUBLE_EQ(ema_series(fs, 5)[4], 100.2);  // mean of 100.0 .. 100.4
  EXPECT_TRUE(std::isnan(ema_series(fs, 5)[3]));
  EXPECT_DOUBLE_EQ(highest_series(fs, 3)[3], 100.7);  // high of bar 2
  EXPECT_DOUBLE_EQ(lowest_series(fs, 3)[3], 99.5);    // low of bar 0
  EXPECT_EQ(rsi_series(fs, 14)[14], 100.0);
  EXPECT_TRUE(std::isnan(rsi_series(fs, 14)[13]));
  for (const std::uint32_t n : default_feature_lengths().breakout) {
    EXPECT_EQ(highest_series(fs, n).size(), bars.size());
    EXPECT_EQ(lowest_series(fs, n).size(), bars.size());
  }
  for (const std::uint32_t k : kPivots) {
    const BreakFlags& flags = break_flags(fs, k);
    EXPECT_EQ(flags.bull, detect_breaks(bars, k).bull);
    EXPECT_EQ(flags.bear.size(), bars.size());
  }
}

TEST(FeatureSet, ProjectedHigherTimeframeEma) {
  const auto bars = ramp(24 * 10, 3600);
  const FeatureSet fs = build_feature_set(bars, default_feature_lengths());
  const auto h4_ema10 = htf_ema_series(*fs.h4, 10);
  ASSERT_EQ(h4_ema10.size(), bars.size());
  // Four-hour EMA(10) starts at four-hour bar 9, visible from base bar 39; its
  // seed is the mean of the closes of base bars 3, 7, ..., 39: 100 + 0.1 * 21.
  EXPECT_TRUE(std::isnan(h4_ema10[38]));
  EXPECT_NEAR(h4_ema10[39], 102.1, 1e-9);
  EXPECT_EQ(h4_ema10[40], h4_ema10[39]);  // unchanged until the next bar closes
  EXPECT_GT(h4_ema10[43], h4_ema10[42]);
  EXPECT_TRUE(std::isnan(htf_ema_series(*fs.d1, 20)[bars.size() - 1]));  // 10 days only
}

TEST(FeatureSet, RepeatedLengthsAreStoredOnce) {
  FeatureLengths lengths;
  lengths.base_ema = {5, 8, 5};
  lengths.htf_ema = {10, 10};
  const FeatureSet fs = build_feature_set(ramp(50, 3600), lengths);
  EXPECT_EQ(fs.ema.size(), 2u);
  EXPECT_EQ(fs.h4->ema.size(), 1u);
  EXPECT_TRUE(fs.highest.empty());
  EXPECT_EQ(fs.smc.size(), 3u);
}

TEST(FeatureSet, EmptySeries) {
  const FeatureSet fs = build_feature_set(data::BarSeries{}, default_feature_lengths());
  EXPECT_TRUE(fs.atr.empty());
  EXPECT_TRUE(fs.regime_trend.empty());
  ASSERT_TRUE(fs.d1);
  EXPECT_TRUE(fs.d1->bars.empty());
  EXPECT_TRUE(ema_series(fs, 200).empty());
}

TEST(FeatureSetDeath, MissingLengthOrPivotStops) {
  const FeatureSet fs = build_feature_set(ramp(48, 3600), default_feature_lengths());
  EXPECT_DEATH(ema_series(fs, 7), "feature length 7 not precomputed");
  EXPECT_DEATH(highest_series(fs, 4), "feature length 4 not precomputed");
  EXPECT_DEATH(lowest_series(fs, 61), "feature length 61 not precomputed");
  EXPECT_DEATH(rsi_series(fs, 6), "feature length 6 not precomputed");
  EXPECT_DEATH(htf_ema_series(*fs.h4, 25), "feature length 25 not precomputed");
  EXPECT_DEATH(break_flags(fs, 4), "SMC pivot 4 not precomputed");
}

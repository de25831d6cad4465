#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/json.hpp"
#include "htf/breaks.hpp"
#include "htf/context.hpp"
#include "htf/resample.hpp"
#include "htf/summary.hpp"

using namespace varnek;
using namespace varnek::htf;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

data::BarSeries series(std::int64_t timeframe) {
  data::BarSeries bars;
  bars.timeframe_secs = timeframe;
  return bars;
}

// Bars from highs, lows and closes; open = close, one hour apart.
data::BarSeries hlc(const std::vector<double>& h, const std::vector<double>& l,
                    const std::vector<double>& c) {
  data::BarSeries bars;
  for (std::size_t i = 0; i < h.size(); ++i) {
    bars.push(static_cast<std::int64_t>(i) * 3600, c[i], h[i], l[i], c[i], 1.0);
  }
  return bars;
}

data::BarSeries flat_bars(std::size_t n, double price) {
  return hlc(std::vector<double>(n, price), std::vector<double>(n, price),
             std::vector<double>(n, price));
}

// A zigzag with rising swings. Highs peak at bars 2, 6, 10 (3, 4, 5) and lows
// bottom at bars 4 and 8 (1.0, 1.5); lows are highs - 0.5, closes highs - 0.25.
// Bar 13 then closes at 1.0, below the last swing low 1.5, and bar 14 lower still.
data::BarSeries zigzag() {
  const std::vector<double> h{1, 2, 3, 2, 1.5, 2.5, 4, 3, 2, 3, 5, 4, 3.5, 1.25, 1.1};
  std::vector<double> l, c;
  for (double v : h) {
    l.push_back(v - 0.5);
    c.push_back(v - 0.25);
  }
  l[13] = 0.75;
  c[13] = 1.0;
  l[14] = 0.8;
  c[14] = 0.9;
  return hlc(h, l, c);
}

// Price mirror: highs become negated lows and so on, so bullish becomes bearish.
data::BarSeries mirrored(const data::BarSeries& bars) {
  data::BarSeries out;
  for (std::size_t i = 0; i < bars.size(); ++i) {
    out.push(bars.ts[i], -bars.open[i], -bars.low[i], -bars.high[i], -bars.close[i], 1.0);
  }
  return out;
}

std::vector<double> nan_series(std::size_t n) {
  return std::vector<double>(n, kNaN);
}

std::vector<ContextBar> labels_without_indicators(const data::BarSeries& bars) {
  const auto none = nan_series(bars.size());
  return label_view(bars, none, none, none, none);
}

}  // namespace

// ---- resampling and the projection map ----

TEST(Resample, MergesBucketsAndKeepsThePartialLastHour) {
  // 22 five-minute bars: a full hour 0 and 50 minutes of hour 1.
  auto base = series(300);
  for (int i = 0; i < 22; ++i) {
    const double p = 100.0 + i;
    base.push(i * 300, p, p + 0.5, p - 0.5, p + 0.25, 2.0);
  }
  base.high[3] = kNaN;  // ignored by the maximum
  base.low[12] = kNaN;  // ignored by the minimum
  const auto h1 = resample(base, 3600);
  ASSERT_EQ(h1.size(), 2u);
  EXPECT_EQ(h1.timeframe_secs, 3600);
  EXPECT_EQ(h1.ts, (std::vector<std::int64_t>{0, 3600}));
  EXPECT_EQ(h1.open[0], 100.0);
  EXPECT_EQ(h1.high[0], 111.5);
  EXPECT_EQ(h1.low[0], 99.5);
  EXPECT_EQ(h1.close[0], 111.25);
  EXPECT_EQ(h1.volume[0], 24.0);
  EXPECT_EQ(h1.open[1], 112.0);
  EXPECT_EQ(h1.low[1], 112.5);  // bar 12's low is NaN, bar 13's is 112.5
  EXPECT_EQ(h1.close[1], 121.25);
  EXPECT_EQ(h1.volume[1], 20.0);

  // Hour 0 ends at 3600, exactly the end of base bar 11: visible from bar 11 on.
  // The partial hour 1 is never visible.
  const auto map = projection_map(base, h1, 3600);
  ASSERT_EQ(map.size(), 22u);
  for (int b = 0; b < 22; ++b) EXPECT_EQ(map[b], b < 11 ? -1 : 0) << "bar " << b;
}

TEST(Resample, BucketsAlignToTheEpochAndSkipGaps) {
  auto base = series(3600);
  base.push(-3601, 1, 1, 1, 1, 0);  // bucket -7200
  base.push(-1, 2, 2, 2, 2, 0);     // bucket -3600
  base.push(0, 3, 3, 3, 3, 0);      // bucket 0
  base.push(7200, 4, 4, 4, 4, 0);   // bucket 7200: no empty bar for 3600
  base.push(3600, 5, 5, 5, 5, 0);   // out of order: a new bar, not merged back
  const auto out = resample(base, 3600);
  EXPECT_EQ(out.ts, (std::vector<std::int64_t>{-7200, -3600, 0, 7200, 3600}));
  EXPECT_EQ(bucket_index(-1, 3600), -1);
  EXPECT_EQ(bucket_index(-3600, 3600), -1);
  EXPECT_EQ(bucket_index(3599, 3600), 0);
  EXPECT_TRUE(resample(series(60), 3600).empty());
}

TEST(Resample, ExtremeTimestampsStayExact) {
  EXPECT_EQ(bucket_index(kMax, 3600), 2562047788015215);
  EXPECT_EQ(bucket_index(kMin, 3600), -2562047788015216);
  EXPECT_EQ(bucket_index(kMin, 1), kMin);

  // Near INT64_MAX: the last bucket starts at INT64_MAX - 1807 and would end
  // 1793 s past the int64 range. Bar 0 lies in the bucket before it.
  auto top = series(3600);
  top.push(kMax - 1812, 1, 1, 1, 1, 0);
  top.push(kMax - 1807, 2, 2, 2, 2, 0);
  top.push(kMax, 3, 3, 3, 3, 0);
  const auto top_h = resample(top, 3600);
  EXPECT_EQ(top_h.ts, (std::vector<std::int64_t>{kMax - 1807 - 3600, kMax - 1807}));
  EXPECT_EQ(top_h.close[1], 3.0);
  // Bar 0 ends 5 s after its bucket, bar 1 exactly with the last bucket,
  // bar 2 later still.
  EXPECT_EQ(projection_map(top, top_h, 3600), (std::vector<std::int32_t>{0, 1, 1}));

  // Near INT64_MIN: the first bucket starts 1792 s below the int64 range and is
  // stamped INT64_MIN, yet still ends where its bucket ends, INT64_MIN + 1808.
  auto bottom = series(1000);
  bottom.push(kMin, 1, 1, 1, 1, 0);
  bottom.push(kMin + 800, 2, 2, 2, 2, 0);
  bottom.push(kMin + 1808, 3, 3, 3, 3, 0);
  const auto bottom_h = resample(bottom, 3600);
  EXPECT_EQ(bottom_h.ts, (std::vector<std::int64_t>{kMin, kMin + 1808}));
  EXPECT_EQ(bottom_h.close[0], 2.0);
  // Ends: kMin + 1000 (before), kMin + 1800 (8 s short), kMin + 2808 (after).
  EXPECT_EQ(projection_map(bottom, bottom_h, 3600), (std::vector<std::int32_t>{-1, -1, 0}));
}

TEST(ProjectionMap, NeverMovesBack) {
  auto base = series(3600);
  for (std::int64_t t : {0, 3600, 7200, 0}) base.push(t, 1, 1, 1, 1, 0);
  auto htf = series(3600);
  for (std::int64_t t : {0, 3600, 7200}) htf.push(t, 1, 1, 1, 1, 0);
  EXPECT_EQ(projection_map(base, htf, 3600), (std::vector<std::int32_t>{0, 1, 2, 2}));
}

TEST(ResampleDeath, PeriodMustBePositive) {
  EXPECT_DEATH(resample(series(60), 0), "resample period 0 is not positive");
}

// ---- context labels ----

TEST(Labels, FewerThanFiftyBarsAreNeutral) {
  std::vector<double> h, l, c;
  for (int i = 0; i < 49; ++i) {
    h.push_back(101.0 + i);
    l.push_back(99.0 + i);
    c.push_back(100.5 + i);
  }
  const HtfContext h1 = build_context(hlc(h, l, c), "H1", 3600, {});
  ASSERT_EQ(h1.context.size(), 49u);
  for (const ContextBar& bar : h1.context) {
    EXPECT_EQ(bar.trend, kTrendNeutral);
    EXPECT_EQ(bar.confidence, 0.3f);
  }
}

TEST(Labels, SwingsAreStrictLeftNonStrictRight) {
  // Bar 2's high 5 ties bar 3's: still a swing high, confirmed at bar 4.
  const std::vector<double> h{1, 2, 5, 5, 3, 2, 1};
  const std::vector<double> l{0, 0, 0, 0, 0, 0, 0};
  const std::vector<double> c{1, 1, 1, 6, 6, 4, 1};
  const auto labels = labels_without_indicators(hlc(h, l, c));
  EXPECT_EQ(labels[3].liquidity_context, kInsideRange);  // not confirmed yet
  EXPECT_EQ(labels[4].liquidity_context, kAboveSwingHigh);
  EXPECT_EQ(labels[5].liquidity_context, kInsideRange);
  // Flat lows are never swing lows (strict on the left), so nothing is below.
  EXPECT_EQ(labels[6].liquidity_context, kInsideRange);
}

TEST(Labels, StructureAndLiquidityFromSwings) {
  const auto labels = labels_without_indicators(zigzag());
  // Swing high 3 at bar 4, low 1.0 at bar 6, high 4 at bar 8, low 1.5 at bar 10.
  EXPECT_EQ(labels[9].structure, kStructureMixed);
  EXPECT_EQ(labels[10].structure, kStructureHhHl);
  EXPECT_EQ(labels[5].liquidity_context, kInsideRange);     // close 2.25 under the high 3
  EXPECT_EQ(labels[6].liquidity_context, kAboveSwingHigh);  // close 3.75 > 3
  EXPECT_EQ(labels[13].liquidity_context, kBelowSwingLow);  // close 1.0 < 1.5

  const auto down = labels_without_indicators(mirrored(zigzag()));
  EXPECT_EQ(down[10].structure, kStructureLhLl);
  EXPECT_EQ(down[13].liquidity_context, kAboveSwingHigh);
}

TEST(Labels, TrendBreakoutAndConfidence) {
  const std::size_t n = 4;
  const auto bars = hlc({11, 11, 11, 11}, {9, 9, 9, 9}, {10, 10, 8, 10});
  const std::vector<double> ema20{11, 11, 7, 12};
  const std::vector<double> ema50{kNaN, 9, 9, 11};
  const std::vector<double> high20{kNaN, 10, 9, 9};
  const auto labels = label_view(bars, ema20, ema50, nan_series(n), high20);
  EXPECT_EQ(labels[0].trend, kTrendNeutral);  // EMA(50) undefined
  EXPECT_EQ(labels[1].trend, kTrendBullish);
  EXPECT_EQ(labels[2].trend, kTrendBearish);
  EXPECT_EQ(labels[3].trend, kTrendNeutral);  // EMAs bullish but close under EMA(50)
  EXPECT_FALSE(labels[0].breakout_state);
  EXPECT_FALSE(labels[1].breakout_state);  // close equal to the channel
  EXPECT_FALSE(labels[2].breakout_state);
  EXPECT_TRUE(labels[3].breakout_state);
  // Structure mixed, momentum flat, no compression: 0.4 + 0.1.
  EXPECT_EQ(labels[1].confidence, 0.5f);
  EXPECT_EQ(labels[0].confidence, 0.3f);
  EXPECT_EQ(labels[3].confidence, 0.3f);
}

TEST(Labels, ConfidenceBonuses) {
  // 20 bars at 100 except bar 19 at 110: at bar 19 momentum strengthens
  // (now 10 %, before 0) and the 10-bar range is 10.
  std::vector<double> c(20, 100.0);
  c[19] = 110.0;
  auto bars = hlc(c, std::vector<double>(20, 100.0), c);
  const std::vector<double> ema20(20, 50.0), ema50(20, 40.0);
  std::vector<double> atr = nan_series(20);
  atr[19] = 1.0;  // range 10 >= 2 ATR: no compression
  auto labels = label_view(bars, ema20, ema50, atr, nan_series(20));
  EXPECT_EQ(labels[19].momentum, kMomentumStrengthening);
  EXPECT_FALSE(labels[19].compression);
  EXPECT_EQ(labels[19].confidence, 0.7f);  // (0.2 + 0.4) + 0.1, structure mixed
  EXPECT_EQ(labels[18].confidence, 0.5f);  // flat, no ATR so no compression

  atr[19] = 100.0;  // 10-bar range 10 < 200: compressed, bonus dropped
  labels = label_view(bars, ema20, ema50, atr, nan_series(20));
  EXPECT_TRUE(labels[19].compression);
  EXPECT_EQ(labels[19].confidence, 0.6f);
}

TEST(Labels, AgreeingStructureScoresHighest) {
  // Rising zigzag (HH_HL from bar 10) under a bullish trend, strengthening at bar 15.
  auto bars = zigzag();
  bars.high.resize(13);
  bars.low.resize(13);
  bars.close.resize(13);
  bars.open.resize(13);
  bars.ts.resize(13);
  bars.volume.resize(13);
  for (int i = 0; i < 4; ++i) {
    bars.push(static_cast<std::int64_t>(13 + i) * 3600, 3, 3.2, 2.9, 3.0, 1.0);
  }
  // closes: c[6] = 3.75, c[1] = 1.75, c[11] = 3.75, c[16] = 3.0
  // bar 16: now = 3.0 / 3.75 - 1 = -0.2; before = c[11] / c[1] - 1 = 1.142...
  // |now| < |before|: weakening.
  const std::size_t n = bars.size();
  const std::vector<double> ema20(n, 2.0), ema50(n, 1.0);
  const auto labels = label_view(bars, ema20, ema50, nan_series(n), nan_series(n));
  EXPECT_EQ(labels[12].structure, kStructureHhHl);
  EXPECT_EQ(labels[12].confidence, 0.8f);  // 0.7 + 0.1
  EXPECT_EQ(labels[9].confidence, 0.5f);   // mixed: 0.4 + 0.1
  EXPECT_EQ(labels[16].momentum, kMomentumWeakening);
}

TEST(Labels, MomentumThresholds) {
  std::vector<double> c(16, 100.0);
  auto labels = labels_without_indicators(hlc(c, c, c));
  EXPECT_EQ(labels[15].momentum, kMomentumFlat);

  c[15] = 100.05;  // now 0.0005: under the 0.001 threshold
  labels = labels_without_indicators(hlc(c, c, c));
  EXPECT_EQ(labels[15].momentum, kMomentumFlat);

  c[15] = 105.0;  // now 0.05, before 0.1
  c[10] = 110.0;
  labels = labels_without_indicators(hlc(c, c, c));
  EXPECT_EQ(labels[15].momentum, kMomentumWeakening);
  EXPECT_EQ(labels[14].momentum, kMomentumFlat);  // not computed before bar 15

  c[5] = kNaN;  // undefined difference counts as weakening
  c[10] = 100.0;
  labels = labels_without_indicators(hlc(c, c, c));
  EXPECT_EQ(labels[15].momentum, kMomentumWeakening);
}

TEST(Labels, VolatilityPercentileOverTheLastHundredRatios) {
  // Ratios 0.01, 0.02, 0.03, 0.01: shares below 0, 1/2, 2/3, 0.
  const std::vector<double> c(4, 100.0);
  auto labels = label_view(hlc(c, c, c), nan_series(4), nan_series(4),
                           std::vector<double>{1, 2, 3, 1}, nan_series(4));
  EXPECT_EQ(labels[0].volatility, kVolatilityLow);  // one ratio: p = 0
  EXPECT_EQ(labels[1].volatility, kVolatilityMedium);
  EXPECT_EQ(labels[2].volatility, kVolatilityHigh);
  EXPECT_EQ(labels[3].volatility, kVolatilityLow);

  // 50 zero ratios then 100 ratios of 0.05: at bar 99, 50 of 100 are below
  // (medium); at bar 149 the zeros have left the window (low).
  const std::vector<double> c150(150, 100.0);
  std::vector<double> atr(150, 0.0);
  for (std::size_t i = 50; i < 150; ++i) atr[i] = 5.0;
  labels =
      label_view(hlc(c150, c150, c150), nan_series(150), nan_series(150), atr, nan_series(150));
  EXPECT_EQ(labels[99].volatility, kVolatilityMedium);
  EXPECT_EQ(labels[149].volatility, kVolatilityLow);

  // Bars without ATR add no ratio and keep volatility low.
  std::vector<double> gappy{kNaN, 1, kNaN, 2};
  labels = label_view(hlc(c, c, c), nan_series(4), nan_series(4), gappy, nan_series(4));
  EXPECT_EQ(labels[0].volatility, kVolatilityLow);
  EXPECT_EQ(labels[3].volatility, kVolatilityMedium);  // 1 of 2 below
}

TEST(Labels, CompressionAgainstTwoAtr) {
  std::vector<double> h(12, 101.0), l(12, 99.0), c(12, 100.0);
  std::vector<double> atr(12, 1.0);  // range 2 is not below 2
  auto labels = label_view(hlc(h, l, c), nan_series(12), nan_series(12), atr, nan_series(12));
  EXPECT_FALSE(labels[11].compression);
  atr.assign(12, 1.01);
  labels = label_view(hlc(h, l, c), nan_series(12), nan_series(12), atr, nan_series(12));
  EXPECT_FALSE(labels[9].compression);  // needs ten bars back
  EXPECT_TRUE(labels[10].compression);
  EXPECT_TRUE(labels[11].compression);
}

TEST(Labels, FlatSeries) {
  const HtfContext view = build_context(flat_bars(30 * 24, 100.0), "H1", 3600, {});
  ASSERT_EQ(view.context.size(), 720u);
  for (std::size_t i = 0; i < view.context.size(); ++i) {
    const ContextBar& bar = view.context[i];
    EXPECT_EQ(bar.momentum, kMomentumFlat);
    EXPECT_EQ(bar.volatility, kVolatilityLow);
    EXPECT_EQ(bar.structure, kStructureMixed);
    EXPECT_EQ(bar.liquidity_context, kInsideRange);  // no swing points
    EXPECT_EQ(bar.trend, kTrendNeutral);
    EXPECT_FALSE(bar.breakout_state);
  }
}

// ---- summary ----

TEST(Summary, LastBarSharesAndJson) {
  HtfContext view;
  view.name = "H4";
  view.context.resize(4);
  view.context[1].trend = kTrendBullish;
  view.context[2].trend = kTrendBullish;
  ContextBar& last = view.context[3];
  last.trend = kTrendBearish;
  last.structure = kStructureLhLl;
  last.momentum = kMomentumWeakening;
  last.volatility = kVolatilityHigh;
  last.liquidity_context = kBelowSwingLow;
  last.compression = true;
  last.confidence = 0.7f;
  const ContextSummary s = summarize(view);
  EXPECT_EQ(s.timeframe, "H4");
  EXPECT_EQ(s.bars, 4u);
  EXPECT_EQ(s.bull_share, 0.5);
  EXPECT_EQ(s.bear_share, 0.25);
  EXPECT_EQ(core::to_compact(to_json(s)),
            R"({"bars":4,"bear_share":0.25,"breakout_state":false,"bull_share":0.5,)"
            R"("compression":true,"confidence":0.699999988079071,)"
            R"("liquidity_context":"below_swing_low","momentum":"weakening",)"
            R"("structure":"LH_LL","timeframe":"H4","trend":"bearish","volatility":"high"})");

  ContextSummary odd = s;
  odd.confidence = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(to_json(odd)["confidence"].is_null());
}

TEST(Summary, EmptyViewHasZeroValues) {
  HtfContext view;
  view.name = "D1";
  const ContextSummary s = summarize(view);
  EXPECT_EQ(core::to_compact(to_json(s)),
            R"({"bars":0,"bear_share":0.0,"breakout_state":false,"bull_share":0.0,)"
            R"("compression":false,"confidence":0.0,"liquidity_context":"inside_range",)"
            R"("momentum":"flat","structure":"mixed","timeframe":"D1","trend":"neutral",)"
            R"("volatility":"low"})");
}

TEST(Summary, LabelTexts) {
  EXPECT_EQ(trend_text(2), "bearish");
  EXPECT_EQ(structure_text(1), "HH_HL");
  EXPECT_EQ(momentum_text(1), "strengthening");
  EXPECT_EQ(volatility_text(1), "medium");
  EXPECT_EQ(liquidity_text(1), "above_swing_high");
  EXPECT_EQ(trend_text(3), "");
}

TEST(Summary, SharesLeaveRoomForNeutralBars) {
  std::vector<double> h, l, c;
  for (int i = 0; i < 120; ++i) {
    c.push_back(100.0 + i);
    h.push_back(c.back() + 1);
    l.push_back(c.back() - 1);
  }
  const ContextSummary s = summarize(build_context(hlc(h, l, c), "H1", 3600, {}));
  // Bars 0..48 have no EMA(50) and stay neutral; the rest of a steady rise is bullish.
  EXPECT_EQ(s.bull_share, 71.0 / 120.0);
  EXPECT_EQ(s.bear_share, 0.0);
  EXPECT_LT(s.bull_share + s.bear_share, 1.0);
  EXPECT_EQ(s.trend, "bullish");
}

// ---- break detection ----

TEST(Breaks, StrictPivots) {
  const std::vector<double> equal_right{1, 2, 5, 5, 3, 2, 1};
  EXPECT_FALSE(is_swing_high(equal_right, 2, 2));  // labelling would take it
  EXPECT_FALSE(is_swing_high(equal_right, 3, 2));
  const std::vector<double> peak{1, 2, 5, 4, 3};
  EXPECT_TRUE(is_swing_high(peak, 2, 2));
  EXPECT_FALSE(is_swing_low(peak, 2, 2));
  const std::vector<double> trough{3, 2, 1, 2, 3};
  EXPECT_TRUE(is_swing_low(trough, 2, 2));
  EXPECT_TRUE(is_swing_low(trough, 2, 1));
  const std::vector<double> with_nan{1, kNaN, 5, 4, 3};
  EXPECT_FALSE(is_swing_high(with_nan, 2, 2));
}

TEST(Breaks, BearishBreakOnlyOnTheCross) {
  const BreakFlags flags = detect_breaks(zigzag(), 2);
  ASSERT_EQ(flags.bear.size(), 15u);
  // Bullish structure from bar 10; close crosses under the swing low 1.5 at
  // bar 13. Bar 14 stays under it: the structure is bullish again, but there
  // is no new cross.
  for (std::size_t i = 0; i < 15; ++i) {
    EXPECT_EQ(flags.bear[i], i == 13 ? 1 : 0) << "bar " << i;
    EXPECT_EQ(flags.bull[i], 0) << "bar " << i;
  }

  const BreakFlags up = detect_breaks(mirrored(zigzag()), 2);
  for (std::size_t i = 0; i < 15; ++i) {
    EXPECT_EQ(up.bull[i], i == 13 ? 1 : 0) << "bar " << i;
    EXPECT_EQ(up.bear[i], 0) << "bar " << i;
  }
}

TEST(Breaks, NothingBeforeTwoSwingsEachWay) {
  // Only the first nine zigzag bars (highs at bars 2 and 6, one low at bar 4)
  // then a collapse far below every low: no structure yet, so no flag.
  auto bars = zigzag();
  for (auto* col : {&bars.open, &bars.high, &bars.low, &bars.close}) col->resize(9);
  bars.ts.resize(9);
  bars.volume.resize(9);
  for (int i = 9; i < 14; ++i) bars.push(i * 3600, -5, -4, -6, i % 2 ? -5 : 10, 1);
  const BreakFlags flags = detect_breaks(bars, 2);
  for (std::size_t i = 0; i < bars.size(); ++i) {
    EXPECT_EQ(flags.bull[i], 0);
    EXPECT_EQ(flags.bear[i], 0);
  }
  const BreakFlags none = detect_breaks(zigzag(), 0);
  EXPECT_EQ(none.bear, std::vector<std::uint8_t>(15, 0));
  EXPECT_TRUE(detect_breaks(data::BarSeries{}, 2).bull.empty());
}

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "data/quality.hpp"

using namespace varnek;
using data::audit;
using data::BarSeries;
using Issues = std::vector<std::string>;

namespace {

constexpr std::int64_t kHour = 3600;
constexpr std::int64_t kDay = 86400;
constexpr std::int64_t kMonday = 1704067200;  // 2024-01-01 00:00 UTC
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const std::string kTooFew1499 =
    "seulement 1499 barres : trop peu pour séparer entraînement, validation et test";

void push_clean(BarSeries& b, std::int64_t ts) {
  b.push(ts, 100.0, 101.0, 99.0, 100.5, 1000.0);
}

// n clean hourly bars without a hole, from Monday 2024-01-01 00:00 UTC.
BarSeries clean(std::size_t n, std::int64_t start = kMonday) {
  BarSeries b;
  for (std::size_t i = 0; i < n; ++i) push_clean(b, start + kHour * static_cast<std::int64_t>(i));
  return b;
}

BarSeries from_ts(const std::vector<std::int64_t>& ts, std::int64_t tf = kHour) {
  BarSeries b;
  for (auto t : ts) push_clean(b, t);
  b.timeframe_secs = tf;
  return b;
}

}  // namespace

TEST(Weekday, FloorDivisionAcrossTheEpoch) {
  EXPECT_EQ(data::weekday(1599998400), 0);  // Sunday 2020-09-13 12:00
  EXPECT_EQ(data::weekday(kMonday), 1);
  EXPECT_EQ(data::weekday(kMonday + 5 * kDay - 1), 5);  // Friday 23:59:59
  EXPECT_EQ(data::weekday(0), 4);                       // Thursday 1970-01-01
  EXPECT_EQ(data::weekday(-1), 3);                      // Wednesday 1969-12-31 23:59:59
  EXPECT_EQ(data::weekday(-kDay), 3);
  EXPECT_EQ(data::weekday(-kDay - 1), 2);
  EXPECT_EQ(data::weekday(-7 * kDay - 3 * kHour), 3);
  // floor(ts / 86400) + 4 = 106751991167304 and -106751991167297, both multiples of 7.
  EXPECT_EQ(data::weekday(kMax), 0);
  EXPECT_EQ(data::weekday(kMin), 0);
}

TEST(Quality, BarCountThreshold) {
  const auto small = audit(clean(1499));
  EXPECT_EQ(small.verdict, "FAIL");
  EXPECT_EQ(small.issues, Issues{kTooFew1499});
  const auto enough = audit(clean(1500));
  EXPECT_EQ(enough.verdict, "PASS");
  EXPECT_TRUE(enough.issues.empty());
  EXPECT_EQ(enough.rows, 1500u);
  EXPECT_EQ(enough.largest_gap_hours, 1.0);
  const auto none = audit(BarSeries{});
  EXPECT_EQ(none.verdict, "FAIL");
  EXPECT_EQ(none.zero_volume_share, 0.0);
  EXPECT_EQ(none.largest_gap_hours, 0.0);
  EXPECT_EQ(none.issues, Issues{"seulement 0 barres : trop peu pour séparer entraînement, "
                                "validation et test"});
}

TEST(Quality, SessionPauseAndWeekendAreNotGaps) {
  // Futures weeks: Sunday 22:00 to Friday 21:00 UTC, pausing one hour a day (no 22:00 bar
  // from Monday on), so the daily step is 2 hours and the weekend step 49 hours.
  BarSeries b;
  const std::int64_t sunday = kMonday - kDay;
  for (int week = 0; week < 14; ++week) {
    const std::int64_t open = sunday + week * 7 * kDay + 22 * kHour;
    for (std::int64_t t = open; t <= open + 5 * kDay - kHour; t += kHour) {
      if (t != open && (t / kHour) % 24 == 22) continue;
      push_clean(b, t);
    }
  }
  ASSERT_EQ(b.size(), 14u * 116u);
  const auto r = audit(b);
  EXPECT_EQ(r.unexpected_gaps, 0u);
  EXPECT_EQ(r.largest_gap_hours, 49.0);
  EXPECT_EQ(r.verdict, "PASS");
  EXPECT_TRUE(r.issues.empty());
}

TEST(Quality, UnexpectedGaps) {
  const std::int64_t tue = kMonday + kDay + 10 * kHour;
  // 25 hours from a Tuesday to a Wednesday.
  auto r = audit(from_ts({tue, tue + kHour, tue + 26 * kHour}));
  EXPECT_EQ(r.unexpected_gaps, 1u);
  EXPECT_EQ(r.largest_gap_hours, 25.0);
  EXPECT_EQ(r.issues.front(), "1 trous de données inattendus (hors week-end / pause de session)");
  // The allowance for hourly bars is 4 hours: 4 h is fine, one second more is a gap.
  EXPECT_EQ(audit(from_ts({tue, tue + 4 * kHour})).unexpected_gaps, 0u);
  EXPECT_EQ(audit(from_ts({tue, tue + 4 * kHour + 1})).unexpected_gaps, 1u);
  // With daily bars it is 3 days.
  EXPECT_EQ(audit(from_ts({tue, tue + 3 * kDay}, kDay)).unexpected_gaps, 0u);
  EXPECT_EQ(audit(from_ts({tue, tue + 3 * kDay + 1}, kDay)).unexpected_gaps, 1u);
  // Thursday to the following Monday (four days) is a long weekend.
  const std::int64_t thu = kMonday + 3 * kDay + 12 * kHour;
  EXPECT_EQ(audit(from_ts({thu, thu + 4 * kDay})).unexpected_gaps, 0u);
  // Saturday to the Monday nine days later is longer than five days.
  const std::int64_t sat = kMonday + 5 * kDay + 12 * kHour;
  EXPECT_EQ(audit(from_ts({sat, sat + 9 * kDay})).unexpected_gaps, 1u);
  EXPECT_EQ(audit(from_ts({sat, sat + 2 * kDay})).unexpected_gaps, 0u);
  // A weekend-length hole that ends on a Tuesday is not a weekend.
  EXPECT_EQ(audit(from_ts({sat, sat + 3 * kDay})).unexpected_gaps, 1u);
}

TEST(Quality, GapShareThreshold) {
  // 3000 bars with k holes of 25 hours each, all mid-week.
  auto with_holes = [](int k) {
    BarSeries b;
    std::int64_t t = kMonday;
    for (int i = 0; i < 3000; ++i) {
      push_clean(b, t);
      t += (i < k * 60 && i % 60 == 0) ? 25 * kHour : kHour;
    }
    return b;
  };
  auto r15 = audit(with_holes(15));
  EXPECT_EQ(r15.unexpected_gaps, 15u);
  EXPECT_EQ(r15.verdict, "PASS");
  EXPECT_EQ(r15.issues,
            Issues{"15 trous de données inattendus (hors week-end / pause de session)"});
  auto r16 = audit(with_holes(16));
  EXPECT_EQ(r16.unexpected_gaps, 16u);
  EXPECT_EQ(r16.verdict, "INCONCLUSIVE");
}

TEST(Quality, DuplicatesAndOrder) {
  BarSeries b = clean(1600);
  b.ts[11] = b.ts[10];
  b.ts[12] = b.ts[10];
  auto r = audit(b);
  EXPECT_EQ(r.duplicates, 2u);
  EXPECT_EQ(r.out_of_order, 0u);
  EXPECT_EQ(r.verdict, "INCONCLUSIVE");
  EXPECT_EQ(r.issues, Issues{"2 barres en double (même horodatage)"});

  BarSeries back = clean(1600);
  back.ts[100] = back.ts[99] - 1;
  r = audit(back);
  EXPECT_EQ(r.out_of_order, 1u);
  EXPECT_EQ(r.verdict, "FAIL");
  EXPECT_EQ(r.issues, Issues{"1 barres hors ordre chronologique"});
}

TEST(Quality, NonPositiveAndInconsistentPrices) {
  BarSeries b = clean(1600);
  b.low[5] = 0.0;
  auto r = audit(b);
  EXPECT_EQ(r.non_positive, 1u);
  EXPECT_EQ(r.invalid_ohlc, 0u);
  EXPECT_EQ(r.verdict, "FAIL");
  EXPECT_EQ(r.issues, Issues{"1 prix nuls ou négatifs"});

  b = clean(1600);
  b.high[5] = 0.0;  // positive open, low and close: only inconsistent
  r = audit(b);
  EXPECT_EQ(r.non_positive, 0u);
  EXPECT_EQ(r.invalid_ohlc, 1u);
  EXPECT_EQ(r.verdict, "INCONCLUSIVE");
  EXPECT_EQ(r.issues, Issues{"1 barres incohérentes (high < low, ou open/close hors de la plage)"});

  b = clean(1600);
  b.open[3] = -1.0;
  b.close[4] = 0.0;
  EXPECT_EQ(audit(b).non_positive, 2u);
}

TEST(Quality, PriceTolerance) {
  BarSeries b;
  b.push(0, 1.0 + 1e-10, 1.0, 0.5, 0.75, 1.0);  // open above high by 1e-10: tolerated
  b.push(3600, 1.0 + 1e-8, 1.0, 0.5, 0.75, 1.0);
  b.push(7200, 0.5 - 1e-8, 1.0, 0.5, 0.75, 1.0);
  b.push(10800, 0.75, 1.0, 0.5, 1.0 + 1e-8, 1.0);
  b.push(14400, 0.75, 1.0, 0.5, 0.5 - 1e-8, 1.0);
  b.push(18000, 0.75, 0.5, 1.0, 0.75, 1.0);  // low above high
  b.push(21600, 0.5 - 1e-10, 1.0, 0.5, 0.5 - 1e-10, 1.0);
  EXPECT_EQ(audit(b).invalid_ohlc, 5u);
}

TEST(Quality, NonFinitePricesAreInconsistent) {
  BarSeries b = clean(1600);
  b.close[1] = kNaN;
  b.open[2] = kNaN;
  b.high[3] = kInf;
  b.low[4] = -kInf;  // also at or below zero
  b.high[5] = kNaN;
  b.low[5] = kNaN;
  const auto r = audit(b);
  EXPECT_EQ(r.invalid_ohlc, 5u);
  EXPECT_EQ(r.non_positive, 1u);

  // A file of NaN prices must not pass.
  BarSeries nan_bars;
  for (int i = 0; i < 3000; ++i) nan_bars.push(kMonday + kHour * i, kNaN, kNaN, kNaN, kNaN, 1.0);
  const auto n = audit(nan_bars);
  EXPECT_EQ(n.invalid_ohlc, 3000u);
  EXPECT_EQ(n.verdict, "FAIL");
}

TEST(Quality, InconsistentShareThreshold) {
  auto with_bad = [](int k) {
    BarSeries b = clean(3000);
    for (int i = 0; i < k; ++i) b.high[static_cast<std::size_t>(i * 50)] = 98.0;
    return audit(b);
  };
  EXPECT_EQ(with_bad(30).verdict, "INCONCLUSIVE");
  const auto r = with_bad(31);
  EXPECT_EQ(r.verdict, "FAIL");
  EXPECT_EQ(r.issues,
            Issues{"31 barres incohérentes (high < low, ou open/close hors de la plage)"});
}

TEST(Quality, ZeroVolume) {
  BarSeries b = clean(1500);
  for (auto& v : b.volume) v = 0.0;
  auto r = audit(b);
  EXPECT_EQ(r.zero_volume_share, 1.0);
  EXPECT_EQ(r.volume_outliers, 0u);
  EXPECT_EQ(r.verdict, "INCONCLUSIVE");
  EXPECT_EQ(r.issues, Issues{"100 % des barres ont un volume nul"});

  b = clean(1500);
  for (int i = 0; i < 300; ++i) b.volume[static_cast<std::size_t>(i)] = 0.0;
  r = audit(b);
  EXPECT_EQ(r.zero_volume_share, 0.2);  // not above 0.2: nothing to say
  EXPECT_EQ(r.verdict, "PASS");
  b.volume[300] = 0.0;
  r = audit(b);
  EXPECT_EQ(r.verdict, "INCONCLUSIVE");
  EXPECT_EQ(r.issues, Issues{"20 % des barres ont un volume nul"});  // 20.07 %

  BarSeries thirds = clean(3);
  thirds.volume = {0.0, 0.0, 5.0};
  EXPECT_EQ(audit(thirds).issues.back(), "67 % des barres ont un volume nul");
}

TEST(Quality, VolumeOutliers) {
  BarSeries b = clean(13);
  // Positive volumes sorted: 1 1 1 10 10 30: the median is the upper middle, 10, so the
  // limit is 200 (the lower middle would make 30 an outlier). Zeros and NaN are not in it.
  b.volume = {0, 0, 0, 0, 10, 1, 30, 1, 10, 1, kNaN, 0, 0};
  EXPECT_EQ(audit(b).volume_outliers, 0u);
  b.volume[0] = 201.0;  // now 1 1 1 10 10 30 201: median 10
  EXPECT_EQ(audit(b).volume_outliers, 1u);
  b.volume[0] = 200.0;
  EXPECT_EQ(audit(b).volume_outliers, 0u);
  b.volume = {5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 101, kInf};  // median 5, limit 100
  EXPECT_EQ(audit(b).volume_outliers, 2u);
}

TEST(Quality, ExtremeTimestampsDoNotOverflow) {
  // The exact steps are 2^63 and 2^63 - 1: forward, far beyond five days.
  auto r = audit(from_ts({kMin, 0, kMax}));
  EXPECT_EQ(r.out_of_order, 0u);
  EXPECT_EQ(r.duplicates, 0u);
  EXPECT_EQ(r.unexpected_gaps, 2u);
  EXPECT_EQ(r.largest_gap_hours, 9223372036854775808.0 / 3600.0);

  r = audit(from_ts({kMin, kMax}));
  EXPECT_EQ(r.out_of_order, 0u);
  EXPECT_EQ(r.largest_gap_hours, 18446744073709551615.0 / 3600.0);

  r = audit(from_ts({kMax, kMin, kMin}));
  EXPECT_EQ(r.out_of_order, 1u);
  EXPECT_EQ(r.duplicates, 1u);
  EXPECT_EQ(r.largest_gap_hours, 0.0);

  // The allowance 3 tf is exact even when it exceeds the int64 range...
  EXPECT_EQ(audit(from_ts({0, kMax}, kMax)).unexpected_gaps, 0u);
  // ...and for a nonsensical negative period it is tf + 10800, below every forward step.
  const std::int64_t tue = kMonday + kDay;
  EXPECT_EQ(audit(from_ts({tue, tue + 60, tue + 120}, kMin)).unexpected_gaps, 2u);
  EXPECT_EQ(audit(from_ts({tue, tue + 60, tue + 120}, 0)).unexpected_gaps, 0u);
}

TEST(Quality, JsonMembers) {
  data::QualityReport r;
  r.rows = 3;
  r.duplicates = 1;
  r.out_of_order = 2;
  r.invalid_ohlc = 3;
  r.non_positive = 4;
  r.zero_volume_share = 0.5;
  r.volume_outliers = 5;
  r.unexpected_gaps = 6;
  r.largest_gap_hours = 25.0;
  r.verdict = "FAIL";
  r.issues = {"a", "b"};
  EXPECT_EQ(core::to_compact(data::to_json(r)),
            R"({"duplicates":1,"invalid_ohlc":3,"issues":["a","b"],"largest_gap_hours":25.0,)"
            R"("non_positive":4,"out_of_order":2,"rows":3,"unexpected_gaps":6,)"
            R"("verdict":"FAIL","volume_outliers":5,"zero_volume_share":0.5})");
  r.issues.clear();
  EXPECT_NE(core::to_compact(data::to_json(r)).find(R"("issues":[])"), std::string::npos);
}

TEST(Quality, IssueOrder) {
  BarSeries b = clean(20);
  b.ts[2] = b.ts[1];       // duplicate
  b.ts[5] = b.ts[4] - 10;  // out of order (and the step after it is 2 h + 10 s)
  b.high[7] = 50.0;        // inconsistent
  b.low[8] = -1.0;         // non-positive
  for (std::size_t i = 12; i < 20; ++i) b.ts[i] += 30 * kHour;  // one hole
  for (std::size_t i = 0; i < 5; ++i) b.volume[i] = 0.0;
  const auto r = audit(b);
  EXPECT_EQ(r.issues,
            (Issues{"1 barres en double (même horodatage)", "1 barres hors ordre chronologique",
                    "1 barres incohérentes (high < low, ou open/close hors de la plage)",
                    "1 prix nuls ou négatifs",
                    "1 trous de données inattendus (hors week-end / pause de session)",
                    "seulement 20 barres : trop peu pour séparer entraînement, validation et test",
                    "25 % des barres ont un volume nul"}));
  EXPECT_EQ(r.verdict, "FAIL");
}

// The null-data benchmark's series: sound bars the audit accepts, reproducible from their
// seed, with the drift they are built to have (none, or the planted one).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "bench/null/series.hpp"
#include "data/quality.hpp"
#include "data/synthetic.hpp"

using namespace varnek;

namespace {

std::vector<double> log_returns(const data::BarSeries& bars) {
  std::vector<double> r;
  for (std::size_t i = 0; i < bars.size(); ++i) r.push_back(std::log(bars.close[i] / bars.open[i]));
  return r;
}

double mean(const std::vector<double>& v) {
  double sum = 0.0;
  for (double x : v) sum += x;
  return sum / static_cast<double>(v.size());
}

}  // namespace

TEST(BenchNullSeries, EveryKindGivesConsistentHourlyBarsReproducibleFromTheSeed) {
  constexpr std::uint64_t kBars = 3000;
  for (const bench::KindInfo& k : bench::series_kinds()) {
    const data::BarSeries a = bench::make_series(k.kind, kBars, 11);
    const data::BarSeries b = bench::make_series(k.kind, kBars, 11);
    const data::BarSeries other = bench::make_series(k.kind, kBars, 12);
    ASSERT_EQ(a.size(), kBars) << k.key;
    EXPECT_EQ(a.close, b.close) << k.key;
    EXPECT_EQ(a.high, b.high) << k.key;
    EXPECT_NE(a.close, other.close) << k.key;
    const data::QualityReport q = data::audit(a);
    EXPECT_EQ(q.verdict, "PASS") << k.key;
    EXPECT_EQ(q.invalid_ohlc + q.non_positive + q.unexpected_gaps, 0u) << k.key;
    for (std::size_t i = 1; i < a.size(); ++i) {
      ASSERT_EQ(a.open[i], a.close[i - 1]) << k.key << " bar " << i;
      ASSERT_EQ(a.ts[i] - a.ts[i - 1], 3600) << k.key << " bar " << i;
    }
  }
}

TEST(BenchNullSeries, NoEdgeKindsHaveZeroMeanReturns) {
  constexpr std::uint64_t kBars = 20000;
  struct Case {
    bench::SeriesKind kind;
    double tolerance;  // about three standard errors of the mean at volatility 0.0018
  };
  const Case cases[] = {{bench::SeriesKind::random_walk, 4e-5},
                        {bench::SeriesKind::vol_clustering, 5e-5},
                        {bench::SeriesKind::shuffled, 1e-15}};  // demeaned exactly
  for (const Case& c : cases) {
    const std::vector<double> r = log_returns(bench::make_series(c.kind, kBars, 5));
    EXPECT_NEAR(mean(r), 0.0, c.tolerance) << bench::kind_info(c.kind).key;
  }
}

// The same seed with and without the drift draws the same noise, so their difference is
// the drift alone: +-d on every bar, the sign alternating in regimes of 300 to 700 bars.
TEST(BenchNullSeries, PlantedDriftAlternatesInRegimesOfAFewHundredBars) {
  constexpr std::uint64_t kBars = 20000;
  constexpr double d = bench::kPlantedDrift;
  const std::vector<double> planted =
      log_returns(bench::make_series(bench::SeriesKind::drift_regimes, kBars, 5));
  const std::vector<double> flat =
      log_returns(bench::make_series(bench::SeriesKind::drift_regimes, kBars, 5, 0.0));
  std::vector<std::size_t> lengths;
  double sign = 0.0;
  for (std::size_t i = 0; i < planted.size(); ++i) {
    const double drift = planted[i] - flat[i];
    ASSERT_NEAR(std::fabs(drift), d, 1e-12) << "bar " << i;
    const double s = drift > 0.0 ? 1.0 : -1.0;
    if (s != sign) lengths.push_back(0);
    ++lengths.back();
    sign = s;
  }
  ASSERT_GE(lengths.size(), kBars / 700);
  EXPECT_LE(lengths.back(), 700u);  // the last regime is cut short by the end
  for (std::size_t k = 0; k + 1 < lengths.size(); ++k) {
    EXPECT_GE(lengths[k], 300u) << "regime " << k;
    EXPECT_LE(lengths[k], 700u) << "regime " << k;
  }
}

TEST(BenchNullSeries, ShuffledSyntheticKeepsEveryBarsReturnAndRangeInAnotherOrder) {
  constexpr std::uint64_t kBars = 2000;
  const data::BarSeries source = data::generate_synthetic(kBars, 9);
  const data::BarSeries shuffled = bench::shuffled_synthetic(kBars, 9);
  std::vector<double> before = log_returns(source), after = log_returns(shuffled);
  const double m = mean(before);
  for (double& x : before) x -= m;
  EXPECT_NE(before, after);
  std::sort(before.begin(), before.end());
  std::sort(after.begin(), after.end());
  for (std::size_t i = 0; i < before.size(); ++i) {
    ASSERT_NEAR(before[i], after[i], 1e-12) << i;
  }
  std::vector<double> volume_before = source.volume, volume_after = shuffled.volume;
  std::sort(volume_before.begin(), volume_before.end());
  std::sort(volume_after.begin(), volume_after.end());
  EXPECT_EQ(volume_before, volume_after);
  EXPECT_NEAR(shuffled.close.back(), 15000.0, 1e-6);  // demeaned: back where it started
}

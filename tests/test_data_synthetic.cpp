#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "core/sha256.hpp"
#include "core/splitmix.hpp"
#include "data/synthetic.hpp"

using namespace varnek;
using data::generate_synthetic;

namespace {

std::string four(double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4f", x);
  return buf;
}

}  // namespace

TEST(Synthetic, CheckValuesSeedOne) {
  const auto b = generate_synthetic(2, 1);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(b.ts[0], 1599998400);
  EXPECT_EQ(b.open[0], 15000.0);
  EXPECT_EQ(four(b.high[0]), "15012.2609");
  EXPECT_EQ(four(b.low[0]), "14983.0141");
  EXPECT_EQ(four(b.close[0]), "14997.0257");
  EXPECT_EQ(four(b.volume[0]), "1125.7144");
  EXPECT_EQ(b.open[1], b.close[0]);
  EXPECT_EQ(b.ts[1], 1599998400 + 3600);
  EXPECT_EQ(b.timeframe_secs, 3600);
}

TEST(Synthetic, EmptyAndSeedZero) {
  const auto empty = generate_synthetic(0, 1);
  EXPECT_TRUE(empty.empty());
  EXPECT_TRUE(empty.close.empty() && empty.volume.empty());
  EXPECT_EQ(empty.timeframe_secs, 3600);
  const auto zero = generate_synthetic(10, 0);
  EXPECT_EQ(zero.size(), 10u);
  EXPECT_EQ(zero.open[0], 15000.0);
}

TEST(Synthetic, ReproducibleAndPrefixStable) {
  const auto a = generate_synthetic(1234, 9);
  const auto b = generate_synthetic(1234, 9);
  EXPECT_EQ(a.ts, b.ts);
  EXPECT_EQ(a.open, b.open);
  EXPECT_EQ(a.high, b.high);
  EXPECT_EQ(a.low, b.low);
  EXPECT_EQ(a.close, b.close);
  EXPECT_EQ(a.volume, b.volume);
  const auto p = generate_synthetic(700, 9);
  for (std::size_t i = 0; i < p.size(); ++i) {
    ASSERT_EQ(p.ts[i], a.ts[i]);
    ASSERT_EQ(p.open[i], a.open[i]);
    ASSERT_EQ(p.high[i], a.high[i]);
    ASSERT_EQ(p.low[i], a.low[i]);
    ASSERT_EQ(p.close[i], a.close[i]);
    ASSERT_EQ(p.volume[i], a.volume[i]);
  }
  EXPECT_NE(generate_synthetic(5, 10).close, generate_synthetic(5, 9).close);
}

TEST(Synthetic, ShapeInvariants) {
  const auto b = generate_synthetic(5000, 3);
  for (std::size_t i = 0; i < b.size(); ++i) {
    ASSERT_EQ(b.ts[i], 1599998400 + 3600 * static_cast<std::int64_t>(i));
    ASSERT_GE(b.close[i], 1.0);
    ASSERT_GE(b.high[i], std::max(b.open[i], b.close[i]));
    ASSERT_LE(b.low[i], std::min(b.open[i], b.close[i]));
    ASSERT_GE(b.volume[i], 1000.0);
    ASSERT_LT(b.volume[i], 1500.0);
    if (i > 0) {
      ASSERT_EQ(b.open[i], b.close[i - 1]);
    }
  }
}

// Replays the draws: two regime draws before bars 0, 500, 1000, ..., then five per bar.
// Each bar's volume follows from its fifth uniform and its high from its third uniform
// and the volatility of its regime.
TEST(Synthetic, RegimeChangesEveryFiveHundredBars) {
  const std::size_t n = 1600;
  const auto b = generate_synthetic(n, 5);
  core::SplitMix64 rng(5);
  std::vector<double> regimes;
  for (std::size_t k = 0; k < n; ++k) {
    if (k % 500 == 0) {
      rng.uniform();
      regimes.push_back(rng.uniform() * 0.002 + 0.0008);
    }
    rng.uniform();
    rng.uniform();
    const double u3 = rng.uniform();
    rng.uniform();
    const double u5 = rng.uniform();
    ASSERT_EQ(b.volume[k], u5 * 500.0 + 1000.0) << k;
    const double spread = b.high[k] / std::max(b.open[k], b.close[k]) - 1.0;
    ASSERT_NEAR(spread, 0.8 * u3 * regimes.back(), 1e-13) << k;
  }
  ASSERT_EQ(regimes.size(), 4u);
  EXPECT_NE(regimes[0], regimes[1]);
  EXPECT_NE(regimes[1], regimes[2]);
}

TEST(Synthetic, Manifest) {
  const auto one = generate_synthetic(1, 1);
  const auto m1 = data::synthetic_manifest(one, 1, 1);
  // Digest of "14997.0257" from an independent SHA-256 tool.
  EXPECT_EQ(m1.sha256, "e7bc1a0f3853f963a8cb41ca46b87cf540f2d5dafe401224eba73275a864cd70");
  EXPECT_EQ(m1.dataset_id, "SYNTHETIC_1_1");

  const auto bars = generate_synthetic(4, 18446744073709551615ULL);
  const auto m = data::synthetic_manifest(bars, 4, 18446744073709551615ULL);
  std::string text;
  for (std::size_t i = 0; i < bars.size(); ++i) {
    if (i > 0) text += ',';
    text += four(bars.close[i]);
  }
  EXPECT_EQ(m.sha256, core::sha256_hex(text));
  EXPECT_EQ(m.dataset_id, "SYNTHETIC_4_18446744073709551615");
  EXPECT_EQ(m.path, "(generated)");
  EXPECT_EQ(m.rows, 4u);
  EXPECT_EQ(m.start, 1599998400);
  EXPECT_EQ(m.end, 1599998400 + 3 * 3600);
  EXPECT_EQ(m.timeframe_secs, 3600);
  EXPECT_EQ(m.timezone, "UTC");

  const auto m0 = data::synthetic_manifest(generate_synthetic(0, 2), 0, 2);
  EXPECT_EQ(m0.sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(m0.rows, 0u);
  EXPECT_EQ(m0.dataset_id, "SYNTHETIC_0_2");
}

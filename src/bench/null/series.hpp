#pragma once
// Bar series for the null-data benchmark: series with no edge by construction, on which a
// research run should retain nothing, and series with a planted edge, on which it should.
//
// Every series is hourly from 1599998400 without gaps (like the synthetic bars), starts at
// 15000 and is built bar by bar from log returns r and non-negative wick sizes:
//   open = the previous close (15000 for the first bar), close = open exp(r),
//   high = max(open, close) exp(up), low = min(open, close) exp(-down),
// so high >= max(open, close) and low <= min(open, close) hold exactly as written. The
// generated kinds draw their wicks like the synthetic generator, up = 0.8 u sigma and
// down = 0.8 u' sigma with u, u' uniform and sigma the bar's volatility, and a volume of
// 1000 + 500 u''. Normal draws are the cosine branch of Box-Muller on two uniforms.
//
// "No edge" is in log prices: the returns have mean 0, so the price's own drift is the
// convexity term sigma^2 / 2, about 1.6e-6 per bar at sigma = 0.0018, a per-bar Sharpe
// ratio near 0.001 that no trade of at most 48 bars can detect.
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "data/bars.hpp"

namespace varnek::bench {

enum class SeriesKind : std::uint8_t {
  // Constant volatility 0.0018 per bar (the synthetic generator's mean), zero mean.
  random_walk,
  // GARCH(1,1) variance h = omega + 0.08 e^2 + 0.90 h (previous bar's shock and
  // variance), omega = 0.0018^2 (1 - 0.98) so the long-run volatility is 0.0018; zero mean.
  vol_clustering,
  // The synthetic generator's bars with their order shuffled (see shuffled_synthetic).
  shuffled,
  // Planted edge: alternating up and down drift regimes of 300 to 700 bars (uniform),
  // drift +-kPlantedDrift per bar unless told otherwise, the first regime's sign drawn,
  // volatility 0.0018.
  drift_regimes,
};

// The planted edge's drift per bar: the synthetic generator's largest (its drifts are
// uniform in +-0.0003). A 500-bar regime moves the price by 15 % against 4 % of noise: a
// trend a trend-follower holds after costs. Half of it (the generator's mean absolute
// drift) leaves the trend too faint for the test period: about half the finalists of such
// a run lose there.
inline constexpr double kPlantedDrift = 0.0003;

struct KindInfo {
  SeriesKind kind;
  std::string_view key;  // command-line name
  bool planted_edge;
};

// The four kinds in the order above: "walk", "garch", "shuffled", "drift".
std::span<const KindInfo> series_kinds();
std::optional<SeriesKind> kind_from_key(std::string_view key);
const KindInfo& kind_info(SeriesKind kind);

// Per-bar ingredients of a series; the four spans have equal lengths.
struct BarParts {
  std::span<const double> log_return;
  std::span<const double> up_wick;    // >= 0
  std::span<const double> down_wick;  // >= 0
  std::span<const double> volume;
};

// The bars of the header's construction.
data::BarSeries bars_from_parts(const BarParts& parts);

// generate_synthetic(bars, seed), each bar taken apart into its log return ln(close /
// open) and its wicks ln(high / max(open, close)) and ln(min(open, close) / low), with
// its volume; the bars are shuffled as wholes by Fisher-Yates (from the last index down,
// j = below(i + 1)) with SplitMix64(~seed), the returns demeaned after the shuffle, and
// the series rebuilt. The shuffle keeps every bar's own return, range and volume and the
// returns' distribution, and destroys the drift and volatility regimes.
data::BarSeries shuffled_synthetic(std::uint64_t bars, std::uint64_t seed);

// `bars` bars of the kind, from SplitMix64(seed) (shuffled: as above); `drift` is the
// drift_regimes kind's drift per bar, unused by the others. The same arguments give the
// same series bit for bit.
data::BarSeries make_series(SeriesKind kind, std::uint64_t bars, std::uint64_t seed,
                            double drift = kPlantedDrift);

}  // namespace varnek::bench

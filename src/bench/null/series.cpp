#include "bench/null/series.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <utility>
#include <vector>

#include "core/fatal.hpp"
#include "core/splitmix.hpp"
#include "data/synthetic.hpp"

namespace varnek::bench {
namespace {

constexpr std::int64_t kStartTs = 1599998400;
constexpr double kStartPrice = 15000.0;
constexpr double kSigma = 0.0018;
constexpr double kWickScale = 0.8;
constexpr double kGarchAlpha = 0.08;
constexpr double kGarchBeta = 0.90;
constexpr std::uint64_t kRegimeMin = 300;
constexpr std::uint64_t kRegimeSpan = 401;  // lengths 300 .. 700

constexpr std::array<KindInfo, 4> kKinds{{{SeriesKind::random_walk, "walk", false},
                                          {SeriesKind::vol_clustering, "garch", false},
                                          {SeriesKind::shuffled, "shuffled", false},
                                          {SeriesKind::drift_regimes, "drift", true}}};

double standard_normal(core::SplitMix64& rng) {
  const double u1 = rng.uniform();
  const double u2 = rng.uniform();
  return std::cos(u2 * 6.283185307179586) * std::sqrt(std::log(std::max(u1, 1e-12)) * -2.0);
}

// Columns of BarParts, owned.
struct PartColumns {
  std::vector<double> log_return, up_wick, down_wick, volume;

  explicit PartColumns(std::size_t n) : log_return(n), up_wick(n), down_wick(n), volume(n) {}
  BarParts view() const { return {log_return, up_wick, down_wick, volume}; }
};

// The bar's return, its wicks and volume, drawn around a volatility and a drift.
void draw_bar(core::SplitMix64& rng, PartColumns& p, std::size_t i, double sigma, double drift) {
  p.log_return[i] = drift + sigma * standard_normal(rng);
  p.up_wick[i] = kWickScale * rng.uniform() * sigma;
  p.down_wick[i] = kWickScale * rng.uniform() * sigma;
  p.volume[i] = 1000.0 + 500.0 * rng.uniform();
}

PartColumns random_walk_parts(std::size_t n, core::SplitMix64& rng) {
  PartColumns p(n);
  for (std::size_t i = 0; i < n; ++i) draw_bar(rng, p, i, kSigma, 0.0);
  return p;
}

PartColumns vol_clustering_parts(std::size_t n, core::SplitMix64& rng) {
  PartColumns p(n);
  const double long_run = kSigma * kSigma;
  const double omega = long_run * (1.0 - kGarchAlpha - kGarchBeta);
  double h = long_run;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) h = omega + kGarchAlpha * p.log_return[i - 1] * p.log_return[i - 1] + kGarchBeta * h;
    draw_bar(rng, p, i, std::sqrt(h), 0.0);
  }
  return p;
}

PartColumns drift_regime_parts(std::size_t n, core::SplitMix64& rng, double size) {
  PartColumns p(n);
  double drift = rng.uniform() < 0.5 ? size : -size;
  std::uint64_t left = 0;  // bars left in the current regime
  for (std::size_t i = 0; i < n; ++i) {
    if (left == 0) {
      if (i > 0) drift = -drift;
      left = kRegimeMin + rng.below(kRegimeSpan);
    }
    --left;
    draw_bar(rng, p, i, kSigma, drift);
  }
  return p;
}

void shuffle_bars(PartColumns& p, std::uint64_t seed) {
  core::SplitMix64 rng(~seed);
  for (std::size_t i = p.log_return.size(); i-- > 1;) {
    const std::size_t j = rng.below(i + 1);
    std::swap(p.log_return[i], p.log_return[j]);
    std::swap(p.up_wick[i], p.up_wick[j]);
    std::swap(p.down_wick[i], p.down_wick[j]);
    std::swap(p.volume[i], p.volume[j]);
  }
}

void demean(std::vector<double>& r) {
  if (r.empty()) return;
  const double mean = std::accumulate(r.begin(), r.end(), 0.0) / static_cast<double>(r.size());
  for (double& x : r) x -= mean;
}

}  // namespace

std::span<const KindInfo> series_kinds() {
  return kKinds;
}

std::optional<SeriesKind> kind_from_key(std::string_view key) {
  for (const KindInfo& k : kKinds) {
    if (k.key == key) return k.kind;
  }
  return std::nullopt;
}

const KindInfo& kind_info(SeriesKind kind) {
  for (const KindInfo& k : kKinds) {
    if (k.kind == kind) return k;
  }
  core::fatal("unknown series kind");
}

data::BarSeries bars_from_parts(const BarParts& parts) {
  const std::size_t n = parts.log_return.size();
  data::BarSeries bars;
  bars.timeframe_secs = 3600;
  bars.reserve(n);
  double previous = kStartPrice;
  for (std::size_t i = 0; i < n; ++i) {
    const double open = previous;
    const double close = open * std::exp(parts.log_return[i]);
    const double high = std::max(open, close) * std::exp(parts.up_wick[i]);
    const double low = std::min(open, close) * std::exp(-parts.down_wick[i]);
    bars.push(kStartTs + static_cast<std::int64_t>(i) * 3600, open, high, low, close,
              parts.volume[i]);
    previous = close;
  }
  return bars;
}

data::BarSeries shuffled_synthetic(std::uint64_t bars, std::uint64_t seed) {
  const data::BarSeries source = data::generate_synthetic(bars, seed);
  PartColumns p(source.size());
  for (std::size_t i = 0; i < source.size(); ++i) {
    const double open = source.open[i], close = source.close[i];
    p.log_return[i] = std::log(close / open);
    p.up_wick[i] = std::log(source.high[i] / std::max(open, close));
    p.down_wick[i] = std::log(std::min(open, close) / source.low[i]);
    p.volume[i] = source.volume[i];
  }
  shuffle_bars(p, seed);
  demean(p.log_return);
  return bars_from_parts(p.view());
}

data::BarSeries make_series(SeriesKind kind, std::uint64_t bars, std::uint64_t seed, double drift) {
  if (kind == SeriesKind::shuffled) return shuffled_synthetic(bars, seed);
  core::SplitMix64 rng(seed);
  const auto n = static_cast<std::size_t>(bars);
  switch (kind) {
    case SeriesKind::random_walk:
      return bars_from_parts(random_walk_parts(n, rng).view());
    case SeriesKind::vol_clustering:
      return bars_from_parts(vol_clustering_parts(n, rng).view());
    case SeriesKind::drift_regimes:
      return bars_from_parts(drift_regime_parts(n, rng, drift).view());
    case SeriesKind::shuffled:
      break;
  }
  core::fatal("unknown series kind");
}

}  // namespace varnek::bench

#include "data/synthetic.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string_view>

#include "core/sha256.hpp"
#include "core/splitmix.hpp"

namespace varnek::data {

BarSeries generate_synthetic(std::uint64_t n, std::uint64_t seed) {
  core::SplitMix64 rng(seed);
  BarSeries bars;
  bars.timeframe_secs = 3600;
  // Reserving an absurd count up front would throw; the columns grow past this if needed.
  constexpr std::uint64_t kReserveCap = std::uint64_t{1} << 24;
  bars.reserve(static_cast<std::size_t>(std::min(n, kReserveCap)));
  std::int64_t ts = 1599998400;
  double p = 15000.0;  // previous close
  double v = 0.0015;   // volatility
  double m = 0.0;      // drift
  for (std::uint64_t k = 0; k < n; ++k) {
    if (k % 500 == 0) {
      const double a = rng.uniform();
      const double b = rng.uniform();
      m = (a - 0.5) * 0.0006;
      v = b * 0.002 + 0.0008;
    }
    const double u1 = rng.uniform();
    const double u2 = rng.uniform();
    const double z =
        std::cos(u2 * 6.283185307179586) * std::sqrt(std::log(std::max(u1, 1e-12)) * -2.0);
    const double close = std::max(((z * v) + m + 1.0) * p, 1.0);
    const double open = p;
    const double u3 = rng.uniform();
    const double high = ((u3 * v) * 0.8 + 1.0) * std::max(open, close);
    const double u4 = rng.uniform();
    const double low = (1.0 - (u4 * v) * 0.8) * std::min(open, close);
    const double u5 = rng.uniform();
    const double volume = u5 * 500.0 + 1000.0;
    bars.push(ts, open, high, low, close, volume);
    ts += 3600;  // 2.5e15 bars before this could overflow: far beyond any memory
    p = close;
  }
  return bars;
}

DatasetManifest synthetic_manifest(const BarSeries& bars, std::uint64_t n, std::uint64_t seed) {
  fmt::memory_buffer text;
  text.reserve(bars.size() * 12);
  for (std::size_t i = 0; i < bars.close.size(); ++i) {
    if (i > 0) text.push_back(',');
    fmt::format_to(std::back_inserter(text), "{:.4f}", bars.close[i]);
  }
  DatasetManifest m;
  m.dataset_id = fmt::format("SYNTHETIC_{}_{}", n, seed);
  m.path = "(generated)";
  m.sha256 = core::sha256_hex(std::string_view(text.data(), text.size()));
  m.rows = bars.size();
  m.start = bars.empty() ? 0 : bars.ts.front();
  m.end = bars.empty() ? 0 : bars.ts.back();
  m.timeframe_secs = 3600;
  m.timezone = "UTC";
  return m;
}

}  // namespace varnek::data

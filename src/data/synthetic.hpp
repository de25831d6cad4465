#pragma once
// Synthetic hourly bars: a seeded random walk whose volatility and drift regime changes
// every 500 bars. The same count and seed reproduce the series bit for bit, and a
// shorter series is a prefix of a longer one with the same seed.
#include <cstdint>

#include "data/bars.hpp"

namespace varnek::data {

// n bars from SplitMix64(seed), hourly from 1599998400 (a Sunday, 12:00 UTC) without
// gaps; timeframe_secs 3600. Each bar draws five uniforms, preceded by two more at every
// regime change (bars 0, 500, 1000, ...). Closes never fall below 1.0, and
// high >= max(open, close), low <= min(open, close).
BarSeries generate_synthetic(std::uint64_t n, std::uint64_t seed);

// dataset_id "SYNTHETIC_{n}_{seed}", path "(generated)", sha256 of the closes written with
// four decimals and joined by ","; rows, start and end from the bars (0 when empty).
DatasetManifest synthetic_manifest(const BarSeries& bars, std::uint64_t n, std::uint64_t seed);

}  // namespace varnek::data

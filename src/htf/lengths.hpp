#pragma once
// Indicator lengths the feature set precomputes, gathered from the active lattice.
#include <cstdint>
#include <span>
#include <vector>

namespace varnek::htf {

struct FeatureLengths {
  std::vector<std::uint32_t> htf_ema;   // EMA lengths of the higher-timeframe views
  std::vector<std::uint32_t> base_ema;  // EMA lengths on base closes
  std::vector<std::uint32_t> breakout;  // highest_prev / lowest_prev lengths
  std::vector<std::uint32_t> rsi;       // RSI lengths
};

// The fixed lists every feature set starts from, before lattice values are added:
// htf_ema 10 20 30 50 100 150 200; base_ema 5 8 10 15 20 30 50 100 150 200 25 40;
// breakout 3 5 8 10 12 15 20 30 40 55 60; rsi 2 3 5 7 14.
FeatureLengths default_feature_lengths();

// A lattice value used as a length: truncated towards zero; negative or NaN
// values give 0, values beyond the 32-bit range the largest length.
std::uint32_t length_from_value(double value);

// Appends the lattice values (converted by length_from_value) to `list`: they
// are sorted ascending, deduplicated, and each one not already in the list is
// appended in that order, so the defaults keep their positions.
void append_lattice_lengths(std::vector<std::uint32_t>& list, std::span<const double> values);

}  // namespace varnek::htf

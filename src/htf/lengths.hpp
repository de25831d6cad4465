#pragma once
// Indicator lengths the feature set precomputes, gathered from the active lattice.
#include <cstdint>
#include <vector>

namespace varnek::htf {

struct FeatureLengths {
  std::vector<std::uint32_t> htf_ema;   // EMA lengths of the higher-timeframe views
  std::vector<std::uint32_t> base_ema;  // EMA lengths on base closes
  std::vector<std::uint32_t> breakout;  // highest_prev / lowest_prev lengths
  std::vector<std::uint32_t> rsi;       // RSI lengths
};

}  // namespace varnek::htf

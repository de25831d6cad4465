#pragma once
// The report's one-line picture of a higher-timeframe view.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.hpp"
#include "htf/context.hpp"

namespace varnek::htf {

// Label texts as the report writes them; a byte outside 0..2 gives "".
std::string_view trend_text(std::uint8_t trend);            // neutral, bullish, bearish
std::string_view structure_text(std::uint8_t structure);    // mixed, HH_HL, LH_LL
std::string_view momentum_text(std::uint8_t momentum);      // flat, strengthening, weakening
std::string_view volatility_text(std::uint8_t volatility);  // low, medium, high
std::string_view liquidity_text(std::uint8_t liquidity);    // inside_range, above/below swing

// Labels, flags and confidence are those of the view's last bar (even an
// incomplete bucket); the shares divide the bullish and bearish bar counts by
// the bar count. An empty view has every label at its zero value, confidence 0
// and shares 0.
struct ContextSummary {
  std::string timeframe;
  std::string trend;
  std::string structure;
  std::string momentum;
  std::string volatility;
  bool compression = false;
  bool breakout_state = false;
  std::string liquidity_context;
  float confidence = 0.0f;
  std::uint64_t bars = 0;
  double bull_share = 0.0;
  double bear_share = 0.0;
};

ContextSummary summarize(const HtfContext& view);

// JSON object with one member per field; the confidence is widened to double
// (so 0.7f is written 0.699999988079071) and written null when not finite.
core::Json to_json(const ContextSummary& summary);

}  // namespace varnek::htf

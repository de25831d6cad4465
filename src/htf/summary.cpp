#include "htf/summary.hpp"

#include <array>

namespace varnek::htf {

namespace {

std::string_view pick(const std::array<std::string_view, 3>& texts, std::uint8_t value) {
  return value < texts.size() ? texts[value] : std::string_view{};
}

}  // namespace

std::string_view trend_text(std::uint8_t trend) {
  return pick({"neutral", "bullish", "bearish"}, trend);
}

std::string_view structure_text(std::uint8_t structure) {
  return pick({"mixed", "HH_HL", "LH_LL"}, structure);
}

std::string_view momentum_text(std::uint8_t momentum) {
  return pick({"flat", "strengthening", "weakening"}, momentum);
}

std::string_view volatility_text(std::uint8_t volatility) {
  return pick({"low", "medium", "high"}, volatility);
}

std::string_view liquidity_text(std::uint8_t liquidity) {
  return pick({"inside_range", "above_swing_high", "below_swing_low"}, liquidity);
}

ContextSummary summarize(const HtfContext& view) {
  const ContextBar last = view.context.empty() ? ContextBar{} : view.context.back();
  ContextSummary s;
  s.timeframe = view.name;
  s.trend = trend_text(last.trend);
  s.structure = structure_text(last.structure);
  s.momentum = momentum_text(last.momentum);
  s.volatility = volatility_text(last.volatility);
  s.compression = last.compression;
  s.breakout_state = last.breakout_state;
  s.liquidity_context = liquidity_text(last.liquidity_context);
  s.confidence = last.confidence;
  s.bars = view.context.size();
  if (!view.context.empty()) {
    std::size_t bull = 0, bear = 0;
    for (const ContextBar& bar : view.context) {
      bull += bar.trend == kTrendBullish;
      bear += bar.trend == kTrendBearish;
    }
    const double count = static_cast<double>(view.context.size());
    s.bull_share = static_cast<double>(bull) / count;
    s.bear_share = static_cast<double>(bear) / count;
  }
  return s;
}

core::Json to_json(const ContextSummary& summary) {
  core::Json j = core::Json::object();
  j["timeframe"] = summary.timeframe;
  j["trend"] = summary.trend;
  j["structure"] = summary.structure;
  j["momentum"] = summary.momentum;
  j["volatility"] = summary.volatility;
  j["compression"] = summary.compression;
  j["breakout_state"] = summary.breakout_state;
  j["liquidity_context"] = summary.liquidity_context;
  j["confidence"] = core::number_or_null(static_cast<double>(summary.confidence));
  j["bars"] = summary.bars;
  j["bull_share"] = summary.bull_share;
  j["bear_share"] = summary.bear_share;
  return j;
}

}  // namespace varnek::htf

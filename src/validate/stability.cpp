#include "validate/stability.hpp"

#include <fmt/format.h>

#include <optional>
#include <utility>

namespace varnek::validate {

std::vector<ParamSensitivity> parameter_sensitivity(const search::EvalContext& ctx,
                                                    const strategy::Candidate& key,
                                                    const search::SegmentRef& segment) {
  std::vector<ParamSensitivity> out;
  const auto dims = strategy::family_table()[key.family].dims;
  for (std::size_t d = 0; d < dims.size(); ++d) {
    if (dims[d].name == "side") continue;
    const std::size_t count = strategy::value_count(key.family, d);
    std::vector<SensitivityPoint> points(count);
    for (std::size_t j = 0; j < count; ++j) {
      strategy::Candidate variant = key;
      variant.idx[d] = static_cast<std::uint8_t>(j);
      SensitivityPoint& p = points[j];
      p.value = strategy::param_value(variant, d);
      p.is_center = j == key.idx[d];
      if (!strategy::is_valid(variant)) continue;
      const bt::SegmentSummary s = search::evaluate(ctx, variant, segment, ctx.exec);
      p.profit_factor = profit_factor(s);
      p.expectancy_r = expectancy_r(s);
      p.trades = s.trades;
    }
    out.push_back(summarise_points(std::string(dims[d].name), std::move(points)));
  }
  return out;
}

std::vector<strategy::Candidate> sensitivity_variants(const strategy::Candidate& key) {
  std::vector<strategy::Candidate> out;
  const auto dims = strategy::family_table()[key.family].dims;
  for (std::size_t d = 0; d < dims.size(); ++d) {
    if (dims[d].name == "side") continue;
    for (std::size_t j = 0; j < strategy::value_count(key.family, d); ++j) {
      strategy::Candidate variant = key;
      variant.idx[d] = static_cast<std::uint8_t>(j);
      if (strategy::is_valid(variant)) out.push_back(variant);
    }
  }
  return out;
}

ParamSensitivity summarise_points(std::string param, std::vector<SensitivityPoint> points) {
  std::size_t traded = 0, profitable = 0;
  std::optional<double> centre, best_other;
  for (const SensitivityPoint& p : points) {
    if (p.is_center && !centre) centre = p.expectancy_r;
    if (p.trades == 0) continue;
    ++traded;
    if (p.expectancy_r > 0.0) ++profitable;
    if (!p.is_center && (!best_other || p.expectancy_r > *best_other)) best_other = p.expectancy_r;
  }
  ParamSensitivity out;
  out.param = std::move(param);
  out.points = std::move(points);
  out.stability = static_cast<double>(profitable) / static_cast<double>(traded > 0 ? traded : 1);
  const double c = centre.value_or(0.0);
  out.sharp_peak = c > 0.0 && (!best_other || *best_other < 0.3 * c);
  return out;
}

double mean_stability(std::span<const ParamSensitivity> list) {
  double sum = -0.0;
  for (const ParamSensitivity& p : list) sum += p.stability;
  return sum / static_cast<double>(list.empty() ? 1 : list.size());
}

Verdict stability_verdict(std::span<const ParamSensitivity> list) {
  const double m = mean_stability(list);
  std::string peaks;
  for (const ParamSensitivity& p : list) {
    if (!p.sharp_peak) continue;
    if (!peaks.empty()) peaks += ", ";
    peaks += p.param;
  }
  Verdict v;
  if (m >= 0.7 && peaks.empty()) {
    v.status = "PASS";
  } else {
    v.status = m >= 0.5 ? "INCONCLUSIVE" : "FAIL";
  }
  // "+ 0.0" turns the empty list's -0.0 into 0: the text never reads "-0 %".
  v.why_fr = fmt::format("{:.0f} % des réglages voisins restent rentables", 100.0 * m + 0.0);
  if (!peaks.empty()) v.why_fr += " ; pic étroit sur : " + peaks;
  return v;
}

core::Json to_json(const SensitivityPoint& point) {
  core::Json j = core::Json::object();
  j["value"] = core::number_or_null(point.value);
  j["trades"] = point.trades;
  j["profit_factor"] = core::number_or_null(point.profit_factor);
  j["expectancy_r"] = core::number_or_null(point.expectancy_r);
  j["is_center"] = point.is_center;
  return j;
}

core::Json to_json(const ParamSensitivity& sensitivity) {
  core::Json points = core::Json::array();
  for (const SensitivityPoint& p : sensitivity.points) points.push_back(to_json(p));
  core::Json j = core::Json::object();
  j["param"] = sensitivity.param;
  j["points"] = std::move(points);
  j["stability"] = core::number_or_null(sensitivity.stability);
  j["sharp_peak"] = sensitivity.sharp_peak;
  return j;
}

core::Json to_json(std::span<const ParamSensitivity> list) {
  core::Json out = core::Json::array();
  for (const ParamSensitivity& p : list) out.push_back(to_json(p));
  return out;
}

}  // namespace varnek::validate

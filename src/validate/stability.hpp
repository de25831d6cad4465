#pragma once
// Parameter stability: each parameter of a candidate's family swept over all of its lattice
// values, the others held at the candidate's levels.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "search/evaluate.hpp"
#include "strategy/lattice.hpp"
#include "validate/figures.hpp"

namespace varnek::validate {

// One lattice value of the swept parameter. A setting that is not a valid variant is not
// evaluated and keeps zero figures.
struct SensitivityPoint {
  double value = 0.0;  // the parameter's value at this level, from the active table
  double profit_factor = 0.0;
  double expectancy_r = 0.0;
  std::uint32_t trades = 0;
  bool is_center = false;  // the candidate's own level, valid or not
};

struct ParamSensitivity {
  std::string param;
  std::vector<SensitivityPoint> points;  // in the lattice's value order
  // Traded points (trades != 0) with expectancy_r > 0, over max(traded points, 1).
  double stability = 0.0;
  // With c the first centre point's expectancy (0 without centre) and b the best
  // expectancy among traded non-centre points: c > 0 and (no such point or b < 0.3 c).
  bool sharp_peak = false;
};

// One entry per parameter of the family, in order, "side" left out (it picks a direction,
// not a setting). Every valid point is one evaluation of the context on `segment`.
std::vector<ParamSensitivity> parameter_sensitivity(const search::EvalContext& ctx,
                                                    const strategy::Candidate& key,
                                                    const search::SegmentRef& segment);

// The valid variants parameter_sensitivity evaluates, in its order (the candidate itself
// once per swept parameter).
std::vector<strategy::Candidate> sensitivity_variants(const strategy::Candidate& key);

// Fills stability and sharp_peak from the points.
ParamSensitivity summarise_points(std::string param, std::vector<SensitivityPoint> points);

// Mean of the stabilities: the sum, starting from -0.0, over max(count, 1); so an empty
// list gives negative zero.
double mean_stability(std::span<const ParamSensitivity> list);

// PASS when the mean is >= 0.7 and no parameter has a sharp peak; else INCONCLUSIVE when
// the mean is >= 0.5, FAIL below. The text gives the mean in whole percent and, when some
// parameters peak, their names.
Verdict stability_verdict(std::span<const ParamSensitivity> list);

// {expectancy_r, is_center, profit_factor, trades, value}
core::Json to_json(const SensitivityPoint& point);
// {param, points, sharp_peak, stability}
core::Json to_json(const ParamSensitivity& sensitivity);
core::Json to_json(std::span<const ParamSensitivity> list);

}  // namespace varnek::validate

// Parameter stability: the sweep's shape and skipped points, the per-parameter figures,
// the mean and the PARAMETER_STABILITY verdict.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "bt_fixture.hpp"
#include "core/spec.hpp"
#include "data/synthetic.hpp"
#include "search/evaluate.hpp"
#include "validate/stability.hpp"

using namespace varnek;
using testkit::id;
using validate::ParamSensitivity;
using validate::SensitivityPoint;

namespace {

SensitivityPoint point(double expectancy, std::uint32_t trades, bool centre = false) {
  SensitivityPoint p;
  p.expectancy_r = expectancy;
  p.trades = trades;
  p.is_center = centre;
  return p;
}

ParamSensitivity with_stability(const char* name, double stability, bool peak = false) {
  ParamSensitivity p;
  p.param = name;
  p.stability = stability;
  p.sharp_peak = peak;
  return p;
}

}  // namespace

TEST(SensitivityFigures, SharpPeakAgainstThirtyPercent) {
  // Centre 0.4: the best other traded setting must earn at least 0.12.
  auto a = validate::summarise_points("rr", {point(0.4, 10, true), point(0.1, 8), point(-0.2, 9)});
  EXPECT_DOUBLE_EQ(a.stability, 2.0 / 3.0);
  EXPECT_TRUE(a.sharp_peak);
  auto b = validate::summarise_points("rr", {point(0.4, 10, true), point(0.15, 8), point(-0.2, 9)});
  EXPECT_DOUBLE_EQ(b.stability, 2.0 / 3.0);
  EXPECT_FALSE(b.sharp_peak);
  EXPECT_EQ(b.param, "rr");
  EXPECT_EQ(b.points.size(), 3u);
  // Every other setting losing is a peak too.
  EXPECT_TRUE(validate::summarise_points("x", {point(-0.5, 3), point(0.4, 4, true)}).sharp_peak);
}

TEST(SensitivityFigures, UntradedPointsDoNotCount) {
  // A profitable centre whose other settings never trade: peak, stability 1.
  auto lone =
      validate::summarise_points("hold", {point(0.0, 0), point(0.3, 5, true), point(0.0, 0)});
  EXPECT_EQ(lone.stability, 1.0);
  EXPECT_TRUE(lone.sharp_peak);
  // No traded point at all: stability 0, and a centre at 0 is never a peak.
  auto none = validate::summarise_points("hold", {point(0.0, 0, true), point(0.0, 0)});
  EXPECT_EQ(none.stability, 0.0);
  EXPECT_FALSE(none.sharp_peak);
  // A losing or flat centre is never a peak, whatever the others do.
  EXPECT_FALSE(validate::summarise_points("x", {point(-0.1, 5, true), point(-0.9, 5)}).sharp_peak);
  EXPECT_FALSE(validate::summarise_points("x", {point(0.0, 5, true), point(-0.9, 5)}).sharp_peak);
  // Without a centre point, c = 0.
  EXPECT_FALSE(validate::summarise_points("x", {point(0.5, 5), point(0.2, 5)}).sharp_peak);
}

TEST(MeanStability, EmptyListIsNegativeZero) {
  const double m = validate::mean_stability({});
  EXPECT_EQ(m, 0.0);
  EXPECT_TRUE(std::signbit(m));
  const std::vector<ParamSensitivity> list = {with_stability("a", 0.5), with_stability("b", 1.0),
                                              with_stability("c", 0.0)};
  EXPECT_DOUBLE_EQ(validate::mean_stability(list), 0.5);
  EXPECT_FALSE(std::signbit(
      validate::mean_stability(std::vector<ParamSensitivity>{with_stability("a", 0.0)})));
}

TEST(StabilityVerdict, ThresholdsAndText) {
  const std::vector<ParamSensitivity> peaked = {with_stability("rr", 0.72, true)};
  auto v = validate::stability_verdict(peaked);
  EXPECT_EQ(v.status, "INCONCLUSIVE");
  EXPECT_EQ(v.why_fr, "72 % des réglages voisins restent rentables ; pic étroit sur : rr");

  const std::vector<ParamSensitivity> smooth = {with_stability("a", 0.6), with_stability("b", 0.8)};
  v = validate::stability_verdict(smooth);
  EXPECT_EQ(v.status, "PASS");
  EXPECT_EQ(v.why_fr, "70 % des réglages voisins restent rentables");

  const std::vector<ParamSensitivity> two = {
      with_stability("a", 0.5, true), with_stability("b", 0.5), with_stability("hold", 0.5, true)};
  v = validate::stability_verdict(two);
  EXPECT_EQ(v.status, "INCONCLUSIVE");
  EXPECT_EQ(v.why_fr, "50 % des réglages voisins restent rentables ; pic étroit sur : a, hold");

  const std::vector<ParamSensitivity> weak = {with_stability("a", 0.49)};
  v = validate::stability_verdict(weak);
  EXPECT_EQ(v.status, "FAIL");
  EXPECT_EQ(v.why_fr, "49 % des réglages voisins restent rentables");

  v = validate::stability_verdict({});
  EXPECT_EQ(v.status, "FAIL");
  EXPECT_EQ(v.why_fr, "0 % des réglages voisins restent rentables");
}

class Sweep : public ::testing::Test {
 protected:
  void SetUp() override {
    engine_ = testkit::make_engine(data::generate_synthetic(6000, 11));
    ctx_.reset(new search::EvalContext{engine_->bars, engine_->features, engine_->tables,
                                       core::preset_market("ES"), core::default_spec().exec,
                                       search::make_split(6000, 0.6, 0.2), 30});
  }
  std::unique_ptr<testkit::Engine> engine_;
  std::unique_ptr<search::EvalContext> ctx_;
};

TEST_F(Sweep, EveryParameterButSide) {
  // Donchian: breakout_len 7, htf_filter 3, stop_atr 5, rr 5, session 4, hold 4 values.
  const auto key = id("2-dabbaab");
  const auto list =
      validate::parameter_sensitivity(*ctx_, key, search::SegmentRef::train_validation());
  ASSERT_EQ(list.size(), 6u);
  const std::vector<std::string> names = {"breakout_len", "htf_filter", "stop_atr",
                                          "rr",           "session",    "hold"};
  const std::vector<std::size_t> counts = {7, 3, 5, 5, 4, 4};
  std::uint32_t traded = 0;
  for (std::size_t d = 0; d < list.size(); ++d) {
    EXPECT_EQ(list[d].param, names[d]);
    ASSERT_EQ(list[d].points.size(), counts[d]);
    for (std::size_t j = 0; j < counts[d]; ++j) {
      EXPECT_EQ(list[d].points[j].is_center, j == key.idx[d]) << names[d] << j;
      traded += list[d].points[j].trades;
    }
  }
  EXPECT_GT(traded, 0u);
  const std::vector<double> breakout = {5, 10, 15, 20, 30, 40, 55};
  for (std::size_t j = 0; j < breakout.size(); ++j) {
    EXPECT_EQ(list[0].points[j].value, breakout[j]);
  }
  // Every point is valid in this family: 28 evaluations.
  EXPECT_EQ(ctx_->evaluations.load(), 28u);
  // The centre points are the candidate itself.
  const auto own = search::evaluate(*ctx_, key, search::SegmentRef::train_validation(), ctx_->exec);
  EXPECT_EQ(list[0].points[3].trades, own.trades);
  EXPECT_EQ(list[5].points[0].trades, own.trades);
}

TEST_F(Sweep, InvalidMovingAverageSettingsAreNotEvaluated) {
  // ema_cross with fast 10 and slow 30: the fast value 30 is not below the slow one.
  const auto key = id("1-cb");
  const auto list =
      validate::parameter_sensitivity(*ctx_, key, search::SegmentRef::train_validation());
  ASSERT_EQ(list.size(), 7u);  // fast, slow, htf_filter, stop_atr, rr, session, hold
  const SensitivityPoint& bad = list[0].points.at(5);
  EXPECT_EQ(bad.value, 30.0);
  EXPECT_EQ(bad.trades, 0u);
  EXPECT_EQ(bad.expectancy_r, 0.0);
  EXPECT_EQ(bad.profit_factor, 0.0);
  EXPECT_FALSE(bad.is_center);
  EXPECT_TRUE(list[0].points[2].is_center);
  EXPECT_TRUE(list[1].points[1].is_center);
  // fast: 5 valid of 6; slow: 6 valid (all above 10); then 3 + 5 + 5 + 4 + 4.
  EXPECT_EQ(ctx_->evaluations.load(), 5u + 6u + 21u);
}

TEST_F(Sweep, ReportForm) {
  const auto list = validate::parameter_sensitivity(*ctx_, id("2-dabbaab"),
                                                    search::SegmentRef::train_validation());
  const core::Json j = validate::to_json(list);
  ASSERT_TRUE(j.is_array());
  ASSERT_EQ(j.size(), 6u);
  std::vector<std::string> keys, point_keys;
  for (const auto& [k, v] : j[0].items()) keys.push_back(k);
  for (const auto& [k, v] : j[0]["points"][0].items()) point_keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"param", "points", "sharp_peak", "stability"}));
  EXPECT_EQ(point_keys, (std::vector<std::string>{"expectancy_r", "is_center", "profit_factor",
                                                  "trades", "value"}));
  EXPECT_EQ(j[0]["param"], "breakout_len");
  EXPECT_TRUE(j[0]["points"][0]["trades"].is_number_unsigned());
  EXPECT_EQ(j[0]["points"][3]["is_center"], true);
}

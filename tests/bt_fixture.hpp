#pragma once
// Hand-made bar series with every feature an evaluation reads, for engine tests.
#include <memory>

#include "data/bars.hpp"
#include "htf/features.hpp"
#include "strategy/decide.hpp"
#include "strategy/lattice.hpp"

namespace varnek::testkit {

struct Engine {
  data::BarSeries bars;
  htf::FeatureSet features;
  strategy::DecisionTables tables;
  strategy::EvalInputs inputs() const { return {bars, features, tables}; }
};

inline std::unique_ptr<Engine> make_engine(data::BarSeries bars) {
  auto e = std::make_unique<Engine>();
  e->bars = std::move(bars);
  e->features = htf::build_feature_set(e->bars, strategy::feature_lengths());
  e->tables = strategy::build_decision_tables(e->bars, e->features);
  return e;
}

// n hourly bars from Monday 2020-09-07 00:00 UTC, each open 100, high 100.5, low 99.5,
// close 100: every true range is 1, so the ATR is 1 from bar 14 on.
inline data::BarSeries flat_bars(std::size_t n) {
  data::BarSeries b;
  for (std::size_t i = 0; i < n; ++i) {
    b.push(1599436800 + static_cast<std::int64_t>(i) * 3600, 100.0, 100.5, 99.5, 100.0, 1000.0);
  }
  b.timeframe_secs = 3600;
  return b;
}

inline void set_bar(data::BarSeries& b, std::size_t i, double o, double h, double l, double c) {
  b.open[i] = o;
  b.high[i] = h;
  b.low[i] = l;
  b.close[i] = c;
}

inline strategy::Candidate id(const char* text) {
  return strategy::parse_id(text).value();
}

}  // namespace varnek::testkit

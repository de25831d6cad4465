#pragma once
// Indicator series keyed by their length, as the feature set stores them.
#include <cstdint>
#include <vector>

namespace varnek::htf {

// One precomputed series and the length it was computed with.
struct LengthSeries {
  std::uint32_t length = 0;
  std::vector<double> values;
};

// Lookup is by exact length, linear scan, first match: the tables hold a few
// dozen entries at most and are read once per candidate, not per bar.
using SeriesTable = std::vector<LengthSeries>;

// The series stored for `length`, or nullptr when the table has none.
inline const std::vector<double>* find_series(const SeriesTable& table, std::uint32_t length) {
  for (const LengthSeries& entry : table) {
    if (entry.length == length) return &entry.values;
  }
  return nullptr;
}

}  // namespace varnek::htf

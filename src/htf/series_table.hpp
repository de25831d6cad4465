#pragma once
// Indicator series keyed by their length, as the feature set stores them.
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/parallel.hpp"

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

// Appends an entry for each listed length the table does not hold, in list order, holding
// compute(length). The series are computed in parallel, one task each, so they do not
// depend on the number of workers.
template <class Compute>
void add_missing(SeriesTable& table, std::span<const std::uint32_t> lengths, Compute compute) {
  std::vector<std::uint32_t> missing;
  for (const std::uint32_t n : lengths) {
    if (find_series(table, n) == nullptr &&
        std::find(missing.begin(), missing.end(), n) == missing.end()) {
      missing.push_back(n);
    }
  }
  std::vector<std::vector<double>> series = core::parallel_map<std::vector<double>>(
      missing.size(), [&](std::size_t i) { return compute(missing[i]); });
  for (std::size_t i = 0; i < missing.size(); ++i) {
    table.push_back({missing[i], std::move(series[i])});
  }
}

}  // namespace varnek::htf

#include "htf/lengths.hpp"

#include <algorithm>

namespace varnek::htf {

FeatureLengths default_feature_lengths() {
  return FeatureLengths{
      {10, 20, 30, 50, 100, 150, 200},
      {5, 8, 10, 15, 20, 30, 50, 100, 150, 200, 25, 40},
      {3, 5, 8, 10, 12, 15, 20, 30, 40, 55, 60},
      {2, 3, 5, 7, 14},
  };
}

std::uint32_t length_from_value(double value) {
  if (!(value > 0.0)) return 0;  // negative, zero or NaN
  if (value >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(value);
}

void append_lattice_lengths(std::vector<std::uint32_t>& list, std::span<const double> values) {
  std::vector<std::uint32_t> gathered;
  gathered.reserve(values.size());
  for (const double v : values) gathered.push_back(length_from_value(v));
  std::sort(gathered.begin(), gathered.end());
  gathered.erase(std::unique(gathered.begin(), gathered.end()), gathered.end());
  for (const std::uint32_t n : gathered) {
    if (std::find(list.begin(), list.end(), n) == list.end()) list.push_back(n);
  }
}

}  // namespace varnek::htf

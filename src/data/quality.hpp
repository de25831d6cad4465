#pragma once
// Data-quality audit of a bar series exactly as loaded (unsorted, undeduplicated):
// defect counts, French issue texts and a one-word verdict. It never changes the series.
#include <cstdint>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "data/bars.hpp"

namespace varnek::data {

struct QualityReport {
  std::uint64_t rows = 0;
  std::uint64_t duplicates = 0;    // neighbouring pairs with equal timestamps
  std::uint64_t out_of_order = 0;  // neighbouring pairs whose timestamp goes backwards
  // Bars with low > high, open or close outside [low - 1e-9, high + 1e-9], or a
  // non-finite open, high, low or close.
  std::uint64_t invalid_ohlc = 0;
  std::uint64_t non_positive = 0;  // open, low or close <= 0 (high is not examined)
  double zero_volume_share = 0.0;  // bars with volume exactly 0, divided by rows (0 if none)
  // Bars whose volume exceeds 20 times the median positive volume, the median being the
  // element at index count / 2 of the sorted positive volumes (the upper middle).
  std::uint64_t volume_outliers = 0;
  // Forward gaps longer than G = max(3 tf, tf + 10800) seconds, except weekend gaps: from a
  // Thursday, Friday or Saturday to a Sunday or Monday, and at most five days long.
  std::uint64_t unexpected_gaps = 0;
  double largest_gap_hours = 0.0;   // longest forward gap / 3600 (0 without one)
  std::string verdict;              // "PASS", "INCONCLUSIVE" or "FAIL"
  std::vector<std::string> issues;  // French, in a fixed order
};

// One pass over the bars and one partial sort of the positive volumes. Timestamp
// differences and the gap allowance are exact over the whole signed 64-bit range.
QualityReport audit(const BarSeries& bars);

// The eleven fields as one object; counts are JSON integers.
core::Json to_json(const QualityReport& report);

// UTC day of the week, 0 = Sunday .. 6 = Saturday, from the day number
// floor(ts / 86400), so instants before 1970 land on the right day too.
int weekday(std::int64_t ts);

}  // namespace varnek::data

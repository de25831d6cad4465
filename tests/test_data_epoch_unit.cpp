#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "data/epoch_unit.hpp"

using namespace varnek;
using data::EpochUnit;

TEST(EpochUnit, ByMagnitude) {
  struct Case {
    std::int64_t ts;
    EpochUnit unit;
  };
  const Case cases[] = {{0, EpochUnit::kSeconds},
                        {99'999'999'999, EpochUnit::kSeconds},
                        {-99'999'999'999, EpochUnit::kSeconds},
                        {100'000'000'000, EpochUnit::kMilliseconds},
                        {-100'000'000'000, EpochUnit::kMilliseconds},
                        {99'999'999'999'999, EpochUnit::kMilliseconds},
                        {100'000'000'000'000, EpochUnit::kMicroseconds},
                        {99'999'999'999'999'999, EpochUnit::kMicroseconds},
                        {100'000'000'000'000'000, EpochUnit::kBeyond},
                        {std::numeric_limits<std::int64_t>::max(), EpochUnit::kBeyond},
                        {std::numeric_limits<std::int64_t>::min(), EpochUnit::kBeyond}};
  for (const Case& c : cases) EXPECT_EQ(data::unit_by_magnitude(c.ts), c.unit) << c.ts;
}

// The warning comes only when no timestamp is plausible as seconds.
TEST(EpochUnit, WarningOnlyWhenEveryTimestampIsBeyondSeconds) {
  const std::string ms =
      "varnek: warning: timestamps look like milliseconds since 1970; convert with varnek-csv "
      "convert --unit ms";
  const std::string us =
      "varnek: warning: timestamps look like microseconds since 1970; convert with varnek-csv "
      "convert --unit us";
  struct Case {
    std::vector<std::int64_t> ts;
    std::string expected;  // empty: no warning
  };
  const std::vector<Case> cases = {
      {{}, ""},
      {{1704153600, 1704157200, 1704160800}, ""},
      {{1704153600000, 1704157200000, 1704160800000}, ms},
      {{100'000'000'000, 100'000'003'600, 99'999'999'999'999}, ms},
      {{1704153600000000, 1704157200000000, 1704160800000000}, us},
      {{99'999'999'999'999'999, 100'000'000'000'000, 100'000'000'000'000}, us},
      {{1704153600000, 1704153600000000, 1704153600000000}, us},
      {{1704153600000, 1704153600000000}, ms},  // a tie names milliseconds
      {{1704153600000, 1704157200, 1704160800000}, ""},
      {{1704153600000, 99'999'999'999, 1704160800000}, ""},
      {{1704153600000, 100'000'000'000'000'000, 1704160800000}, ""},
      {{-1704153600000, -1704157200000, -1704160800000}, ""},
  };
  for (const Case& c : cases) {
    data::BarSeries bars;
    for (const std::int64_t t : c.ts) bars.push(t, 1.0, 2.0, 0.5, 1.5, 0.0);
    const auto warning = data::timestamp_unit_warning(bars);
    EXPECT_EQ(warning.value_or(""), c.expected) << ::testing::PrintToString(c.ts);
  }
}

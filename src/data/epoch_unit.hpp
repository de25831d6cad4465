#pragma once
// The unit an epoch timestamp is most likely written in, judged by its magnitude.
//
// Seconds since 1970 stay below 10^11 until the year 5138, so a larger value is read as
// milliseconds up to 10^14 and as microseconds up to 10^17; beyond that no unit fits.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "data/bars.hpp"

namespace varnek::data {

enum class EpochUnit { kSeconds, kMilliseconds, kMicroseconds, kBeyond };

inline constexpr std::int64_t kMillisecondsFrom = 100'000'000'000;      // 10^11
inline constexpr std::int64_t kMicrosecondsFrom = 100'000'000'000'000;  // 10^14
inline constexpr std::int64_t kBeyondFrom = 100'000'000'000'000'000;    // 10^17

// The unit whose range holds |ts|: below 10^11 seconds, then milliseconds below 10^14,
// microseconds below 10^17, kBeyond from there (INT64_MIN included).
EpochUnit unit_by_magnitude(std::int64_t ts);

// "s", "ms" or "us" (kBeyond: "?"), as the converter's --unit option spells them.
std::string_view unit_symbol(EpochUnit unit);

// "seconds", "milliseconds" or "microseconds" (kBeyond: "no known unit").
std::string_view unit_name(EpochUnit unit);

// The warning line, without its line feed, when every timestamp lies in [10^11, 10^17),
// i.e. the file is almost surely not in seconds:
//   "varnek: warning: timestamps look like milliseconds since 1970; convert with varnek-csv
//    convert --unit ms" (one line; "microseconds" and "--unit us" for the other range).
// The unit named is the one that more of the timestamps fall in (milliseconds on a tie).
// No bars, or any timestamp outside that band: no warning.
std::optional<std::string> timestamp_unit_warning(const BarSeries& bars);

}  // namespace varnek::data

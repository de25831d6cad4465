#include "data/epoch_unit.hpp"

#include <limits>

namespace varnek::data {

EpochUnit unit_by_magnitude(std::int64_t ts) {
  if (ts == std::numeric_limits<std::int64_t>::min()) return EpochUnit::kBeyond;
  const std::int64_t m = ts < 0 ? -ts : ts;
  if (m < kMillisecondsFrom) return EpochUnit::kSeconds;
  if (m < kMicrosecondsFrom) return EpochUnit::kMilliseconds;
  if (m < kBeyondFrom) return EpochUnit::kMicroseconds;
  return EpochUnit::kBeyond;
}

std::string_view unit_symbol(EpochUnit unit) {
  switch (unit) {
    case EpochUnit::kSeconds:
      return "s";
    case EpochUnit::kMilliseconds:
      return "ms";
    case EpochUnit::kMicroseconds:
      return "us";
    case EpochUnit::kBeyond:
      break;
  }
  return "?";
}

std::string_view unit_name(EpochUnit unit) {
  switch (unit) {
    case EpochUnit::kSeconds:
      return "seconds";
    case EpochUnit::kMilliseconds:
      return "milliseconds";
    case EpochUnit::kMicroseconds:
      return "microseconds";
    case EpochUnit::kBeyond:
      break;
  }
  return "no known unit";
}

std::optional<std::string> timestamp_unit_warning(const BarSeries& bars) {
  if (bars.empty()) return std::nullopt;
  std::size_t millis = 0, micros = 0;
  for (const std::int64_t t : bars.ts) {
    // Negative values are plausible seconds before 1970 and never warn.
    if (t < kMillisecondsFrom || t >= kBeyondFrom) return std::nullopt;
    if (t < kMicrosecondsFrom) {
      ++millis;
    } else {
      ++micros;
    }
  }
  const EpochUnit unit = millis >= micros ? EpochUnit::kMilliseconds : EpochUnit::kMicroseconds;
  return "varnek: warning: timestamps look like " + std::string(unit_name(unit)) +
         " since 1970; convert with varnek-csv convert --unit " + std::string(unit_symbol(unit));
}

}  // namespace varnek::data

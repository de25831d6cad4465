#pragma once
// Monotonic time since a command started, in 64-bit float seconds; and the wall clock,
// read only for the report's timestamps.
#include <algorithm>
#include <chrono>
#include <cstdint>

namespace varnek::core {

struct Stopwatch {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
};

// Whole seconds since 1970-01-01 UTC (0 for a clock set before the epoch).
inline std::uint64_t unix_seconds() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::seconds>(now).count()));
}

}  // namespace varnek::core

#pragma once
// Monotonic time since a command started, in 64-bit float seconds.
#include <chrono>

namespace varnek::core {

struct Stopwatch {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
};

}  // namespace varnek::core

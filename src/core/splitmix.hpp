#pragma once
// SplitMix64: the one random generator of the system.
//
// Seeding XORs the seed with the golden-ratio constant; every Part of the system
// that draws passes its own seed. A generator is never shared between threads.
#include <cstdint>

namespace varnek::core {

struct SplitMix64 {
  static constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ULL;

  std::uint64_t state = 0;

  explicit constexpr SplitMix64(std::uint64_t seed) : state(seed ^ kGolden) {}

  // The published SplitMix64 step; all arithmetic wraps modulo 2^64.
  constexpr std::uint64_t next() {
    state += kGolden;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  // A float in [0, 1) from the top 53 bits of the next output.
  constexpr double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

  // next() mod n: an index in [0, n); n must be at least 1.
  constexpr std::uint64_t below(std::uint64_t n) { return next() % n; }
};

}  // namespace varnek::core

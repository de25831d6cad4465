#pragma once
// Finding the next bar whose signal, gate and side bytes agree, eight bars per step.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varnek::strategy {

namespace detail {

inline std::uint64_t load8(const std::uint8_t* p) {
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

// Offset of the lowest-addressed non-zero byte of a non-zero word.
inline std::size_t first_byte(std::uint64_t x) {
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::size_t>(std::countr_zero(x)) / 8;
  } else {
    return static_cast<std::size_t>(std::countl_zero(x)) / 8;
  }
}

}  // namespace detail

// The first k in [from, end) where the AND of rows[i][k] over all rows and mask is
// non-zero, or end.
template <std::size_t N>
inline std::size_t next_flagged(const std::array<const std::uint8_t*, N>& rows, std::uint8_t mask,
                                std::size_t from, std::size_t end) {
  const std::uint64_t wide = 0x0101010101010101ULL * mask;
  std::size_t k = from;
  for (; k + 8 <= end; k += 8) {
    std::uint64_t x = wide;
    for (const std::uint8_t* row : rows) x &= detail::load8(row + k);
    if (x != 0) return k + detail::first_byte(x);
  }
  for (; k < end; ++k) {
    unsigned x = mask;
    for (const std::uint8_t* row : rows) x &= row[k];
    if (x != 0) return k;
  }
  return end;
}

}  // namespace varnek::strategy

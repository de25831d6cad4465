#pragma once
// Finding the next bar whose side bits agree in every row, 64 bars per step.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace varnek::strategy {

// Walks rows of SideBits words (long and short word of each 64 bars side by side) in
// increasing bar order. A bar is flagged where every row admits the long side, or every
// row admits the short side and shorts are allowed. The AND of the rows is kept for the
// word last read, since consecutive requests mostly fall in the same 64 bars.
template <std::size_t N>
class FlagCursor {
 public:
  FlagCursor(const std::array<const std::uint64_t*, N>& rows, bool shorts)
      : rows_(rows), short_mask_(shorts ? ~std::uint64_t{0} : 0) {}

  // The first flagged k in [from, end), or end when there is none; at k, d gets the long
  // bit minus the short bit: +1 long, -1 short.
  [[gnu::always_inline]] std::size_t next(std::size_t from, std::size_t end, int& d) {
    if (from >= end) return end;
    const std::size_t last_word = (end - 1) >> 6;
    std::uint64_t from_mask = ~std::uint64_t{0} << (from & 63);
    for (std::size_t w = from >> 6; w <= last_word; ++w, from_mask = ~std::uint64_t{0}) {
      if (w != word_) load(w);
      const std::uint64_t longs = longs_ & from_mask, shorts = shorts_ & from_mask;
      const std::uint64_t any = longs | shorts;
      if (any == 0) continue;
      const auto b = static_cast<unsigned>(std::countr_zero(any));
      const std::size_t k = w * 64 + b;
      if (k >= end) return end;
      d = static_cast<int>((longs >> b) & 1) - static_cast<int>((shorts >> b) & 1);
      return k;
    }
    return end;
  }

  // The long and the short flags of bars 64w .. 64w + 63, as two masks.
  [[gnu::always_inline]] std::array<std::uint64_t, 2> flags(std::size_t w) {
    if (w != word_) load(w);
    return {longs_, shorts_};
  }

 private:
  [[gnu::always_inline]] void load(std::size_t w) {
    std::uint64_t longs = ~std::uint64_t{0}, shorts = short_mask_;
    for (const std::uint64_t* row : rows_) {
      longs &= row[2 * w];
      shorts &= row[2 * w + 1];
    }
    word_ = w;
    longs_ = longs;
    shorts_ = shorts;
  }

  std::array<const std::uint64_t*, N> rows_;
  std::uint64_t short_mask_;
  std::size_t word_ = SIZE_MAX;  // the word whose AND is held, none yet
  std::uint64_t longs_ = 0, shorts_ = 0;
};

}  // namespace varnek::strategy

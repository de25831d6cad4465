#include "core/utf8.hpp"

namespace varnek::core {
namespace {

// Length of the valid sequence starting at text[i], or 0 with `bad` set to the length of
// the maximal invalid subpart to replace (at least 1).
std::size_t valid_sequence(std::string_view text, std::size_t i, std::size_t& bad) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  bad = 1;
  if (b0 < 0x80) return 1;
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= text.size()) return 0;
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (b < lo || b > hi) return 0;
    lo = 0x80;
    hi = 0xBF;
    bad = k + 1;
  }
  return need + 1;
}

}  // namespace

std::size_t utf8_invalid_at(std::string_view text) {
  std::size_t i = 0, bad = 0;
  while (i < text.size()) {
    // ASCII fast path: eight bytes at a time.
    while (i + 8 <= text.size()) {
      unsigned long long w = 0;
      for (int k = 0; k < 8; ++k)
        w |= static_cast<unsigned long long>(static_cast<unsigned char>(text[i + k])) << (8 * k);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= text.size()) break;
    const std::size_t n = valid_sequence(text, i, bad);
    if (n == 0) return i;
    i += n;
  }
  return std::string_view::npos;
}

std::string utf8_lossy(std::string_view text) {
  std::size_t first = utf8_invalid_at(text);
  if (first == std::string_view::npos) return std::string(text);
  std::string out(text.substr(0, first));
  std::size_t i = first, bad = 0;
  while (i < text.size()) {
    const std::size_t n = valid_sequence(text, i, bad);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      i += bad;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace varnek::core

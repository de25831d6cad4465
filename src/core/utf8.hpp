#pragma once
// UTF-8 validation and lossy decoding, and the one case-insensitive comparison the
// loaders need.
#include <cstddef>
#include <string>
#include <string_view>

namespace varnek::core {

// Byte offset of the first invalid UTF-8 sequence, or std::string_view::npos when
// the whole text is valid (no overlong forms, surrogates or code points above U+10FFFF).
std::size_t utf8_invalid_at(std::string_view text);

// The text with every invalid sequence replaced by U+FFFD, one replacement per
// maximal invalid subpart (the substitution rule of the Unicode standard, as
// WHATWG decoders apply it). Valid text comes back unchanged.
std::string utf8_lossy(std::string_view text);

// Whether `s` equals `lower` (itself lower-case ASCII) when s's ASCII letters are lowered;
// other bytes compare as they are.
inline bool equals_ascii_lower(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace varnek::core

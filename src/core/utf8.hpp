#pragma once
// UTF-8 validation and lossy decoding.
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

}  // namespace varnek::core

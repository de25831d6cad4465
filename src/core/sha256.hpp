#pragma once
// SHA-256 (FIPS 180-4) through OpenSSL's EVP interface, rendered as 64 lowercase hex digits.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace varnek::core {

std::string sha256_hex(std::span<const std::byte> bytes);
std::string sha256_hex(std::string_view text);

}  // namespace varnek::core

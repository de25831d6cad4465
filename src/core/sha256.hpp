#pragma once
// SHA-256 (FIPS 180-4) through OpenSSL's EVP interface, rendered as 64 lowercase hex digits.
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace varnek::core {

std::string sha256_hex(std::span<const std::byte> bytes);
std::string sha256_hex(std::string_view text);

// The digest of bytes that arrive in pieces: hex() equals sha256_hex of everything given to
// update(), in order. hex() ends the stream.
class Sha256Stream {
 public:
  Sha256Stream();
  void update(std::string_view bytes);
  std::string hex();

 private:
  struct Free {
    void operator()(evp_md_ctx_st* ctx) const;
  };
  std::unique_ptr<evp_md_ctx_st, Free> ctx_;
};

}  // namespace varnek::core

#include "core/sha256.hpp"

#include <openssl/evp.h>

#include "core/fatal.hpp"

namespace varnek::core {

namespace {

std::string hex32(const unsigned char* digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(64, '0');
  for (unsigned i = 0; i < 32; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace

std::string sha256_hex(std::span<const std::byte> bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &len, EVP_sha256(), nullptr) != 1 ||
      len != 32) {
    fatal("sha256 digest failed");
  }
  return hex32(digest);
}

std::string sha256_hex(std::string_view text) {
  return sha256_hex(std::as_bytes(std::span(text.data(), text.size())));
}

void Sha256Stream::Free::operator()(evp_md_ctx_st* ctx) const {
  EVP_MD_CTX_free(ctx);
}

Sha256Stream::Sha256Stream() : ctx_(EVP_MD_CTX_new()) {
  if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1) {
    fatal("sha256 digest failed");
  }
}

void Sha256Stream::update(std::string_view bytes) {
  if (EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size()) != 1) fatal("sha256 digest failed");
}

std::string Sha256Stream::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx_.get(), digest, &len) != 1 || len != 32) {
    fatal("sha256 digest failed");
  }
  return hex32(digest);
}

}  // namespace varnek::core

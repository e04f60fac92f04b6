#include "archive/Md5.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace dtl {

std::array<uint8_t, 16> Md5(std::span<const uint8_t> data) {
  std::array<uint8_t, 16> digest{};
  unsigned int len = 0;
  // A key made from a digest that silently failed would encrypt every segment with zeros;
  // better to fail loudly than to ship archives nobody can open.
  if (EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_md5(), nullptr) != 1 ||
      len != digest.size())
    throw std::runtime_error("MD5 is not available from OpenSSL");
  return digest;
}

}  // namespace dtl

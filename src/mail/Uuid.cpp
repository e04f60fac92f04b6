#include "mail/Uuid.h"

#include <openssl/rand.h>

#include <climits>

namespace dtl {

bool OpenSslRandomBytes(uint8_t* out, size_t n) {
  if (n > static_cast<size_t>(INT_MAX)) return false;
  return RAND_bytes(out, static_cast<int>(n)) == 1;
}

std::string UuidV4FromBytes(std::array<uint8_t, 16> b) {
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  s.reserve(36);
  for (size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
    s.push_back(kHex[b[i] >> 4]);
    s.push_back(kHex[b[i] & 0x0F]);
  }
  return s;
}

std::string NewUuid(const RandomByteSource& source) {
  std::array<uint8_t, 16> bytes{};
  if (!source || !source(bytes.data(), bytes.size())) return {};
  return UuidV4FromBytes(bytes);
}

}  // namespace dtl

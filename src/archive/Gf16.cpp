#include "archive/Gf16.h"

#include <array>
#include <cstring>

namespace dtl::gf16 {
namespace {

constexpr uint32_t kPolynomial = 0x1100B;

// Log and antilog tables over the generator 2. The antilog table is doubled so that
// log a + log b indexes it without a modulo.
struct Tables {
  std::array<uint16_t, 65536> log{};
  std::array<uint16_t, 2 * 65535> exp{};
  Tables() {
    uint32_t v = 1;
    for (uint32_t i = 0; i < 65535; ++i) {
      exp[i] = exp[i + 65535] = static_cast<uint16_t>(v);
      log[v] = static_cast<uint16_t>(i);
      v <<= 1;
      if (v & 0x10000) v ^= kPolynomial;
    }
  }
};

const Tables& T() {
  static const Tables tables;
  return tables;
}

}  // namespace

uint16_t Mul(uint16_t a, uint16_t b) {
  if (a == 0 || b == 0) return 0;
  const Tables& t = T();
  return t.exp[t.log[a] + t.log[b]];
}

uint16_t Inverse(uint16_t a) {
  if (a == 0) return 0;
  const Tables& t = T();
  return t.exp[(65535 - t.log[a]) % 65535];
}

uint16_t Power(uint16_t a, uint32_t n) {
  if (n == 0) return 1;
  if (a == 0) return 0;
  const Tables& t = T();
  return t.exp[static_cast<uint64_t>(t.log[a]) * n % 65535];
}

void MulAddPortable(uint16_t c, const uint8_t* src, uint8_t* dst, size_t bytes) {
  if (c == 0) return;
  // c * w = c * low byte + c * (high byte << 8): two 256-entry tables per constant, rebuilt per
  // call because a slice is large enough that 512 multiplications are noise.
  uint16_t lo[256], hi[256];
  for (uint32_t b = 0; b < 256; ++b) {
    lo[b] = Mul(c, static_cast<uint16_t>(b));
    hi[b] = Mul(c, static_cast<uint16_t>(b << 8));
  }
  for (size_t i = 0; i + 1 < bytes; i += 2) {
    const uint16_t p = lo[src[i]] ^ hi[src[i + 1]];
    dst[i] ^= static_cast<uint8_t>(p);
    dst[i + 1] ^= static_cast<uint8_t>(p >> 8);
  }
}

void MulAdd(uint16_t c, const uint8_t* src, uint8_t* dst, size_t bytes) {
  MulAddPortable(c, src, dst, bytes);
}

}  // namespace dtl::gf16

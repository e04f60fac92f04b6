// The recovery field: products worked out by hand with the polynomial 0x1100B, the field laws on
// a spread of samples, inverses, powers, and the buffer multiply-accumulate against the scalar
// product word by word.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "archive/Gf16.h"

namespace {

using namespace dtl::gf16;

// Carry-less product reduced bit by bit: an independent route to the same answer.
uint16_t SlowMul(uint16_t a, uint16_t b) {
  uint32_t r = 0, x = a;
  for (int i = 0; i < 16; ++i) {
    if (b & (1u << i)) r ^= x;
    x <<= 1;
    if (x & 0x10000) x ^= 0x1100B;
  }
  return static_cast<uint16_t>(r);
}

std::vector<uint16_t> Samples() {
  std::vector<uint16_t> s = {0, 1, 2, 3, 0x8000, 0xFFFF, 0x100B, 0x1234, 0xFF00, 0x00FF};
  std::mt19937 rng(17);
  for (int i = 0; i < 60; ++i) s.push_back(static_cast<uint16_t>(rng()));
  return s;
}

TEST(Gf16, KnownProductsIncludingReductionByThePolynomial) {
  struct Case { uint16_t a, b, product; } cases[] = {
      {0, 0x1234, 0},       {1, 0xBEEF, 0xBEEF}, {2, 0x4000, 0x8000},
      {2, 0x8000, 0x100B},  // x^16 = x^12 + x^3 + x + 1
      {4, 0x8000, 0x2016},  {0x8000, 0x8000, SlowMul(0x8000, 0x8000)},
      {3, 3, 5},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Mul(c.a, c.b), c.product) << c.a << " * " << c.b;
    EXPECT_EQ(Mul(c.b, c.a), c.product);
  }
}

TEST(Gf16, MatchesBitByBitMultiplication) {
  for (uint16_t a : Samples())
    for (uint16_t b : Samples()) ASSERT_EQ(Mul(a, b), SlowMul(a, b)) << a << " * " << b;
}

TEST(Gf16, FieldLawsHoldOnSamples) {
  const auto s = Samples();
  for (uint16_t a : s)
    for (uint16_t b : s)
      for (size_t k = 0; k < s.size(); k += 7) {
        const uint16_t c = s[k];
        ASSERT_EQ(Mul(Mul(a, b), c), Mul(a, Mul(b, c)));
        ASSERT_EQ(Mul(a, b ^ c), Mul(a, b) ^ Mul(a, c));
      }
}

TEST(Gf16, EveryNonZeroElementHasAnInverse) {
  for (uint32_t a = 1; a < 65536; ++a)
    ASSERT_EQ(Mul(static_cast<uint16_t>(a), Inverse(static_cast<uint16_t>(a))), 1) << a;
}

TEST(Gf16, PowersAgreeWithRepeatedMultiplication) {
  for (uint16_t a : Samples()) {
    uint16_t p = 1;
    for (uint32_t n = 0; n < 40; ++n) {
      ASSERT_EQ(Power(a, n), p) << a << "^" << n;
      p = Mul(p, a);
    }
  }
  EXPECT_EQ(Power(2, 65535), 1);  // 2 generates the whole multiplicative group
  EXPECT_NE(Power(2, 65535 / 3), 1);
  EXPECT_NE(Power(2, 65535 / 5), 1);
  EXPECT_NE(Power(2, 65535 / 17), 1);
  EXPECT_NE(Power(2, 65535 / 257), 1);
}

TEST(Gf16, MulAddAccumulatesLittleEndianWordsForEveryLength) {
  std::mt19937 rng(5);
  for (size_t bytes : {0u, 2u, 14u, 30u, 32u, 34u, 62u, 64u, 66u, 126u, 128u, 130u, 1000u, 4098u}) {
    std::vector<uint8_t> src(bytes), dst(bytes);
    for (auto& b : src) b = static_cast<uint8_t>(rng());
    for (auto& b : dst) b = static_cast<uint8_t>(rng());
    for (uint16_t c : {uint16_t{0}, uint16_t{1}, uint16_t{2}, uint16_t{0x1234}, uint16_t{0xFFFF}}) {
      std::vector<uint8_t> expect = dst, best = dst, portable = dst;
      for (size_t i = 0; i < bytes; i += 2) {
        const uint16_t w = static_cast<uint16_t>(src[i] | src[i + 1] << 8);
        const uint16_t p = Mul(c, w);
        expect[i] ^= static_cast<uint8_t>(p);
        expect[i + 1] ^= static_cast<uint8_t>(p >> 8);
      }
      MulAdd(c, src.data(), best.data(), bytes);
      MulAddPortable(c, src.data(), portable.data(), bytes);
      ASSERT_EQ(portable, expect) << bytes << " bytes, c=" << c;
      ASSERT_EQ(best, expect) << bytes << " bytes, c=" << c;
    }
  }
}

// Every vector form this processor runs against the portable one, on unaligned buffers and a
// spread of constants, including words whose every nibble is set.
TEST(Gf16, VectorFormsGiveTheSameBytesAsThePortableForm) {
  std::mt19937 rng(11);
  std::vector<uint8_t> store(4096 + 3), out(4096 + 3);
  for (auto& b : store) b = static_cast<uint8_t>(rng());
  for (size_t i = 0; i < 64; ++i) store[1 + i] = 0xFF;
  int ran = 0;
  for (Form form : {Form::Ssse3, Form::Avx2, Form::Gfni, Form::Gfni512}) {
    if (!Supported(form)) continue;
    ++ran;
    for (int trial = 0; trial < 200; ++trial) {
      const uint16_t c = trial < 3 ? uint16_t(0xFFFF - trial) : static_cast<uint16_t>(rng());
      const size_t offset = trial % 3, bytes = 2 * (rng() % 2000);
      for (auto& b : out) b = static_cast<uint8_t>(rng());
      std::vector<uint8_t> expect = out, got = out;
      MulAddPortable(c, store.data() + offset, expect.data() + 1, bytes);
      MulAddUsing(form, c, store.data() + offset, got.data() + 1, bytes);
      ASSERT_EQ(got, expect) << "form " << static_cast<int>(form) << ", c=" << c << ", " << bytes << " bytes";
    }
  }
  if (ran == 0) GTEST_SKIP() << "no vector form on this processor";
  EXPECT_TRUE(Supported(BestForm()));
}

}  // namespace

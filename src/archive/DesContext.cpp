#include "archive/DesContext.h"

#include <openssl/crypto.h>

#include <bit>

namespace dtl {
namespace {

// Bit numbers count from 1 at the most significant bit, as the standard's tables do.
constexpr uint8_t kIp[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                             62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                             57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                             61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr uint8_t kFp[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                             38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                             36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                             34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};
constexpr uint8_t kS[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11}};

// Output bit j of `outBits` bits takes input bit table[j] of `inBits` bits.
constexpr uint64_t Permute(uint64_t in, int inBits, const uint8_t* table, int outBits) {
  uint64_t out = 0;
  for (int j = 0; j < outBits; ++j) out = (out << 1) | ((in >> (inBits - table[j])) & 1);
  return out;
}

using ByteTables = std::array<std::array<uint64_t, 256>, 8>;

// A 64-bit permutation is linear over the bits, so it is the OR of the permutations of each
// input byte on its own: eight look-ups per block instead of 64 bit moves.
constexpr ByteTables MakeByteTables(const uint8_t* table) {
  ByteTables t{};
  for (int pos = 0; pos < 8; ++pos)
    for (int v = 0; v < 256; ++v) t[pos][v] = Permute(uint64_t(v) << (56 - 8 * pos), 64, table, 64);
  return t;
}

// S-box i followed by the P permutation, indexed by the 6-bit input group of that S-box.
using SpTables = std::array<std::array<uint32_t, 64>, 8>;
constexpr SpTables MakeSpTables() {
  SpTables t{};
  for (int i = 0; i < 8; ++i)
    for (int v = 0; v < 64; ++v) {
      int row = ((v >> 4) & 2) | (v & 1);
      int col = (v >> 1) & 15;
      uint32_t s = uint32_t(kS[i][row * 16 + col]) << (28 - 4 * i);
      t[i][v] = uint32_t(Permute(s, 32, kP, 32));
    }
  return t;
}

constexpr ByteTables kIpTables = MakeByteTables(kIp);
constexpr ByteTables kFpTables = MakeByteTables(kFp);
constexpr SpTables kSp = MakeSpTables();

inline uint64_t ApplyTables(const ByteTables& t, uint64_t x) {
  uint64_t out = 0;
  for (int pos = 0; pos < 8; ++pos) out |= t[pos][(x >> (56 - 8 * pos)) & 0xFF];
  return out;
}

inline uint32_t Feistel(uint32_t r, const uint8_t k[8]) {
  // The expansion E hands S-box i the bits 4i .. 4i+5 of R (numbered from 1, cyclically), which
  // is the top six bits of R rotated left by 4i - 1.
  uint32_t f = 0;
  for (int i = 0; i < 8; ++i) {
    uint32_t group = (std::rotl(r, 4 * i - 1) >> 26) & 63;
    f |= kSp[i][group ^ k[i]];
  }
  return f;
}

void Crypt(uint8_t block[8], const uint8_t (*keys)[8]) {
  uint64_t x = 0;
  for (int i = 0; i < 8; ++i) x = (x << 8) | block[i];
  x = ApplyTables(kIpTables, x);
  uint32_t l = uint32_t(x >> 32), r = uint32_t(x);
  for (int round = 0; round < 16; ++round) {
    uint32_t next = l ^ Feistel(r, keys[round]);
    l = r;
    r = next;
  }
  x = ApplyTables(kFpTables, (uint64_t(r) << 32) | l);  // the halves swap before the last step
  for (int i = 7; i >= 0; --i) {
    block[i] = uint8_t(x);
    x >>= 8;
  }
}

}  // namespace

DesContext::DesContext(const uint8_t key[8]) {
  uint64_t k = 0;
  for (int i = 0; i < 8; ++i) k = (k << 8) | key[i];
  uint64_t cd = Permute(k, 64, kPc1, 56);
  uint32_t c = uint32_t(cd >> 28) & 0x0FFFFFFF, d = uint32_t(cd) & 0x0FFFFFFF;
  for (int round = 0; round < 16; ++round) {
    for (int s = 0; s < kShifts[round]; ++s) {
      c = ((c << 1) | (c >> 27)) & 0x0FFFFFFF;
      d = ((d << 1) | (d >> 27)) & 0x0FFFFFFF;
    }
    uint64_t sub = Permute((uint64_t(c) << 28) | d, 56, kPc2, 48);
    for (int i = 0; i < 8; ++i) {
      enc_[round][i] = uint8_t((sub >> (42 - 6 * i)) & 63);
      dec_[15 - round][i] = enc_[round][i];
    }
  }
  OPENSSL_cleanse(&k, sizeof k);
  OPENSSL_cleanse(&cd, sizeof cd);
}

DesContext::~DesContext() {
  OPENSSL_cleanse(enc_, sizeof enc_);
  OPENSSL_cleanse(dec_, sizeof dec_);
}

void DesContext::EncryptBlock(uint8_t block[8]) const { Crypt(block, enc_); }
void DesContext::DecryptBlock(uint8_t block[8]) const { Crypt(block, dec_); }

std::array<uint8_t, 8> DesKeyFromPassword(std::string_view password) {
  std::array<uint8_t, 8> key{};
  if (password.empty()) return key;
  for (size_t i = 0; i < key.size(); ++i) key[i] = uint8_t(password[i % password.size()]);
  return key;
}

}  // namespace dtl

#include "archive/Md5Lanes.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define DTL_MD5_X86 1
#endif

namespace dtl::md5 {
namespace {

struct Constants {
  uint32_t k[64];
  Constants() {
    for (int i = 0; i < 64; ++i)
      k[i] = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
  }
};
const Constants& K() {
  static const Constants c;
  return c;
}

constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr int WordOf(int i) {
  return i < 16 ? i : i < 32 ? (5 * i + 1) % 16 : i < 48 ? (3 * i + 5) % 16 : (7 * i) % 16;
}

inline uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

void CompressScalar(uint32_t* state, const uint8_t* p, size_t blocks) {
  const uint32_t* k = K().k;
  for (; blocks > 0; --blocks, p += 64) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
      m[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
             uint32_t(p[4 * i + 3]) << 24;
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
#pragma GCC unroll 64
    for (int i = 0; i < 64; ++i) {
      uint32_t f;
      switch (i / 16) {
        case 0: f = (b & c) | (~b & d); break;
        case 1: f = (d & b) | (~d & c); break;
        case 2: f = b ^ c ^ d; break;
        default: f = c ^ (b | ~d); break;
      }
      f += a + k[i] + m[WordOf(i)];
      a = d;
      d = c;
      c = b;
      b += Rotl(f, kShift[i / 16][i % 4]);
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
  }
}

#ifdef DTL_MD5_X86
bool HaveAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f");
}

// GCC 12's own intrinsics (the gather, the rotate) trip its uninitialised-value warning.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
// Sixteen streams in the sixteen lanes: each round's function is one ternary-logic
// instruction. A block of every lane is copied side by side first and read back a word of every
// lane at a time with a gather; lanes with fewer blocks keep their state through a mask.
__attribute__((target("avx512f"))) void CompressLanes512(uint32_t* const* states,
                                                         const uint8_t* const* data,
                                                         const size_t* blocks, size_t count) {
  alignas(64) uint32_t st[4][kLanes] = {};
  size_t most = 0;
  for (size_t l = 0; l < count; ++l) {
    for (int j = 0; j < 4; ++j) st[j][l] = states[l][j];
    most = std::max(most, blocks[l]);
  }
  __m512i sa = _mm512_load_si512(st[0]), sb = _mm512_load_si512(st[1]);
  __m512i sc = _mm512_load_si512(st[2]), sd = _mm512_load_si512(st[3]);
  alignas(64) uint8_t stage[kLanes][64] = {};
  const __m512i lane =
      _mm512_setr_epi32(0, 16, 32, 48, 64, 80, 96, 112, 128, 144, 160, 176, 192, 208, 224, 240);
  const uint32_t* k = K().k;
  for (size_t b = 0; b < most; ++b) {
    __mmask16 active = 0;
    for (size_t l = 0; l < count; ++l)
      if (b < blocks[l]) {
        std::memcpy(stage[l], data[l] + 64 * b, 64);
        active = static_cast<__mmask16>(active | (1u << l));
      }
    __m512i m[16];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i)
      m[i] = _mm512_i32gather_epi32(lane, reinterpret_cast<const int*>(stage) + i, 4);
    __m512i a = sa, bb = sb, c = sc, d = sd;
    // A macro, not a lambda: a lambda would not carry this function's target.
#define DTL_MD5_STEP(F, i)                                                                         \
  do {                                                                                             \
    const __m512i f = _mm512_add_epi32(                                                            \
        _mm512_add_epi32((F), a),                                                                  \
        _mm512_add_epi32(_mm512_set1_epi32(static_cast<int>(k[i])), m[WordOf(i)]));                \
    a = d;                                                                                         \
    d = c;                                                                                         \
    c = bb;                                                                                        \
    bb = _mm512_add_epi32(bb, _mm512_rolv_epi32(f, _mm512_set1_epi32(kShift[(i) / 16][(i) % 4]))); \
  } while (0)
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i)
      DTL_MD5_STEP(_mm512_ternarylogic_epi32(bb, c, d, 0xCA), i);  // b ? c : d
#pragma GCC unroll 16
    for (int i = 16; i < 32; ++i)
      DTL_MD5_STEP(_mm512_ternarylogic_epi32(d, bb, c, 0xCA), i);  // d ? b : c
#pragma GCC unroll 16
    for (int i = 32; i < 48; ++i)
      DTL_MD5_STEP(_mm512_ternarylogic_epi32(bb, c, d, 0x96), i);  // b ^ c ^ d
#pragma GCC unroll 16
    for (int i = 48; i < 64; ++i)
      DTL_MD5_STEP(_mm512_ternarylogic_epi32(bb, c, d, 0x39), i);  // c ^ (b | ~d)
#undef DTL_MD5_STEP
    sa = _mm512_mask_add_epi32(sa, active, sa, a);
    sb = _mm512_mask_add_epi32(sb, active, sb, bb);
    sc = _mm512_mask_add_epi32(sc, active, sc, c);
    sd = _mm512_mask_add_epi32(sd, active, sd, d);
  }
  _mm512_store_si512(st[0], sa);
  _mm512_store_si512(st[1], sb);
  _mm512_store_si512(st[2], sc);
  _mm512_store_si512(st[3], sd);
  for (size_t l = 0; l < count; ++l)
    for (int j = 0; j < 4; ++j) states[l][j] = st[j][l];
}
#pragma GCC diagnostic pop
#endif

}  // namespace

bool LanesInParallel() {
#ifdef DTL_MD5_X86
  static const bool have = HaveAvx512();
  return have;
#else
  return false;
#endif
}

void Stream::Add(const uint8_t* p, size_t n) {
  const uint8_t* one = p;
  AddLanes(std::array<Stream*, 1>{this}.data(), &one, &n, 1);
}

void Stream::AddZeros(uint64_t n) {
  static const uint8_t zeros[4096] = {};
  while (n > 0) {
    const size_t step = static_cast<size_t>(std::min<uint64_t>(n, sizeof zeros));
    Add(zeros, step);
    n -= step;
  }
}

std::array<uint8_t, 16> Stream::Finish() const {
  Stream s = *this;
  const uint64_t bits = bytes_ * 8;
  uint8_t tail[72] = {0x80};
  const size_t have = bytes_ % 64;
  const size_t padding = (have < 56 ? 56 : 120) - have;
  for (int i = 0; i < 8; ++i) tail[padding + i] = static_cast<uint8_t>(bits >> (8 * i));
  s.Add(tail, padding + 8);
  std::array<uint8_t, 16> out{};
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 4; ++i) out[4 * j + i] = static_cast<uint8_t>(s.state_[j] >> (8 * i));
  return out;
}

void AddLanes(Stream* const* streams, const uint8_t* const* data, const size_t* sizes,
              size_t count) {
  const uint8_t* p[kLanes];
  size_t left[kLanes], blocks[kLanes];
  uint32_t* states[kLanes];
  count = std::min(count, kLanes);
  for (size_t l = 0; l < count; ++l) {
    Stream& s = *streams[l];
    p[l] = data[l];
    left[l] = sizes[l];
    // Bytes waiting from the last call complete their block first, alone.
    if (const size_t have = s.bytes_ % 64; have != 0 && left[l] > 0) {
      const size_t take = std::min(64 - have, left[l]);
      std::memcpy(s.pending_ + have, p[l], take);
      s.bytes_ += take;
      p[l] += take;
      left[l] -= take;
      if (s.bytes_ % 64 == 0) CompressScalar(s.state_, s.pending_, 1);
    }
    blocks[l] = left[l] / 64;
    states[l] = s.state_;
  }
#ifdef DTL_MD5_X86
  if (LanesInParallel() && count > 1) {
    CompressLanes512(states, p, blocks, count);
  } else
#endif
  {
    for (size_t l = 0; l < count; ++l) CompressScalar(states[l], p[l], blocks[l]);
  }
  for (size_t l = 0; l < count; ++l) {
    Stream& s = *streams[l];
    const size_t whole = blocks[l] * 64, rest = left[l] - whole;
    s.bytes_ += whole;
    if (rest > 0) {  // the pending block is empty here: the loop above filled or emptied it
      std::memcpy(s.pending_, p[l] + whole, rest);
      s.bytes_ += rest;
    }
  }
}

}  // namespace dtl::md5

#include "archive/Gf16.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define DTL_GF16_X86 1
#endif

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

#ifdef DTL_GF16_X86
namespace {

// c * w is the sum of c times each of w's four nibbles in place; each of those products has a
// low and a high byte, so eight 16-entry tables, looked up sixteen or thirty-two at a time with
// a byte shuffle. The words' low and high bytes are first gathered apart (pack) and the
// products put back together (unpack) afterwards.
struct NibbleTables {
  alignas(16) uint8_t t[8][16];  // [2k]: low bytes for nibble k, [2k+1]: high bytes
  explicit NibbleTables(uint16_t c) {
    for (int k = 0; k < 4; ++k)
      for (int n = 0; n < 16; ++n) {
        const uint16_t p = Mul(c, static_cast<uint16_t>(n << (4 * k)));
        t[2 * k][n] = static_cast<uint8_t>(p);
        t[2 * k + 1][n] = static_cast<uint8_t>(p >> 8);
      }
  }
};

__attribute__((target("ssse3"))) size_t MulAddSsse3(uint16_t c, const uint8_t* src, uint8_t* dst,
                                                    size_t bytes) {
  const NibbleTables nt(c);
  __m128i tl[4], th[4];
  for (int k = 0; k < 4; ++k) {
    tl[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(nt.t[2 * k]));
    th[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(nt.t[2 * k + 1]));
  }
  const __m128i lowByte = _mm_set1_epi16(0x00FF), nibble = _mm_set1_epi8(0x0F);
  size_t i = 0;
  for (; i + 32 <= bytes; i += 32) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 16));
    const __m128i lo = _mm_packus_epi16(_mm_and_si128(a, lowByte), _mm_and_si128(b, lowByte));
    const __m128i hi = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    const __m128i n[4] = {_mm_and_si128(lo, nibble), _mm_and_si128(_mm_srli_epi16(lo, 4), nibble),
                          _mm_and_si128(hi, nibble), _mm_and_si128(_mm_srli_epi16(hi, 4), nibble)};
    __m128i rl = _mm_setzero_si128(), rh = _mm_setzero_si128();
    for (int k = 0; k < 4; ++k) {
      rl = _mm_xor_si128(rl, _mm_shuffle_epi8(tl[k], n[k]));
      rh = _mm_xor_si128(rh, _mm_shuffle_epi8(th[k], n[k]));
    }
    __m128i* d = reinterpret_cast<__m128i*>(dst + i);
    _mm_storeu_si128(d, _mm_xor_si128(_mm_loadu_si128(d), _mm_unpacklo_epi8(rl, rh)));
    _mm_storeu_si128(d + 1, _mm_xor_si128(_mm_loadu_si128(d + 1), _mm_unpackhi_epi8(rl, rh)));
  }
  return i;
}

// The 256-bit forms differ only in how they multiply; gathering 32 words' low and high bytes
// apart and adding the products back in word order is the same for both. Always inlined so the
// split stays in registers and costs nothing over writing it out in each loop.
__attribute__((target("avx2"), always_inline)) inline void SplitBytes256(const uint8_t* src,
                                                                         __m256i& lo, __m256i& hi) {
  const __m256i lowByte = _mm256_set1_epi16(0x00FF);
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + 32));
  lo = _mm256_packus_epi16(_mm256_and_si256(a, lowByte), _mm256_and_si256(b, lowByte));
  hi = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
}

__attribute__((target("avx2"), always_inline)) inline void AddWords256(uint8_t* dst, __m256i rl,
                                                                       __m256i rh) {
  __m256i* d = reinterpret_cast<__m256i*>(dst);
  _mm256_storeu_si256(d, _mm256_xor_si256(_mm256_loadu_si256(d), _mm256_unpacklo_epi8(rl, rh)));
  _mm256_storeu_si256(d + 1,
                      _mm256_xor_si256(_mm256_loadu_si256(d + 1), _mm256_unpackhi_epi8(rl, rh)));
}

// The same on 256-bit registers. Pack and unpack work within each 128-bit lane, so the word
// order they give is undone exactly by the unpack; the tables are the same in both lanes.
__attribute__((target("avx2"))) size_t MulAddAvx2(uint16_t c, const uint8_t* src, uint8_t* dst,
                                                  size_t bytes) {
  const NibbleTables nt(c);
  __m256i tl[4], th[4];
  for (int k = 0; k < 4; ++k) {
    tl[k] =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(nt.t[2 * k])));
    th[k] = _mm256_broadcastsi128_si256(
        _mm_load_si128(reinterpret_cast<const __m128i*>(nt.t[2 * k + 1])));
  }
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  size_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    __m256i lo, hi;
    SplitBytes256(src + i, lo, hi);
    const __m256i n[4] = {
        _mm256_and_si256(lo, nibble), _mm256_and_si256(_mm256_srli_epi16(lo, 4), nibble),
        _mm256_and_si256(hi, nibble), _mm256_and_si256(_mm256_srli_epi16(hi, 4), nibble)};
    __m256i rl = _mm256_setzero_si256(), rh = _mm256_setzero_si256();
    for (int k = 0; k < 4; ++k) {
      rl = _mm256_xor_si256(rl, _mm256_shuffle_epi8(tl[k], n[k]));
      rh = _mm256_xor_si256(rh, _mm256_shuffle_epi8(th[k], n[k]));
    }
    AddWords256(dst + i, rl, rh);
  }
  return i;
}

// Multiplying by c is linear over GF(2) on the 16 bits of a word, so it is four 8x8 bit
// matrices: low byte in to low and high byte out, high byte in to low and high byte out. The
// affine byte instruction applies such a matrix to every byte at once, so a product costs four
// of them on the words' low and high bytes gathered apart, and no table lookups at all.
struct BitMatrices {
  uint64_t lowToLow = 0, highToLow = 0, lowToHigh = 0, highToHigh = 0;
  explicit BitMatrices(uint16_t c) {
    uint8_t images[4][8];  // the image of each input bit, per matrix
    for (int j = 0; j < 8; ++j) {
      const uint16_t fromLow = Mul(c, static_cast<uint16_t>(1u << j));
      const uint16_t fromHigh = Mul(c, static_cast<uint16_t>(1u << (8 + j)));
      images[0][j] = static_cast<uint8_t>(fromLow);
      images[1][j] = static_cast<uint8_t>(fromHigh);
      images[2][j] = static_cast<uint8_t>(fromLow >> 8);
      images[3][j] = static_cast<uint8_t>(fromHigh >> 8);
    }
    uint64_t* out[4] = {&lowToLow, &highToLow, &lowToHigh, &highToHigh};
    for (int m = 0; m < 4; ++m)
      for (int i = 0; i < 8; ++i) {  // output bit i is the parity of row byte 7-i and the input
        uint8_t row = 0;
        for (int j = 0; j < 8; ++j) row |= static_cast<uint8_t>(((images[m][j] >> i) & 1) << j);
        *out[m] |= static_cast<uint64_t>(row) << (8 * (7 - i));
      }
  }
};

__attribute__((target("avx2,gfni"))) size_t MulAddGfni(uint16_t c, const uint8_t* src, uint8_t* dst,
                                                       size_t bytes) {
  const BitMatrices bm(c);
  const __m256i ll = _mm256_set1_epi64x(static_cast<long long>(bm.lowToLow));
  const __m256i hl = _mm256_set1_epi64x(static_cast<long long>(bm.highToLow));
  const __m256i lh = _mm256_set1_epi64x(static_cast<long long>(bm.lowToHigh));
  const __m256i hh = _mm256_set1_epi64x(static_cast<long long>(bm.highToHigh));
  size_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    __m256i lo, hi;
    SplitBytes256(src + i, lo, hi);
    const __m256i rl = _mm256_xor_si256(_mm256_gf2p8affine_epi64_epi8(lo, ll, 0),
                                        _mm256_gf2p8affine_epi64_epi8(hi, hl, 0));
    const __m256i rh = _mm256_xor_si256(_mm256_gf2p8affine_epi64_epi8(lo, lh, 0),
                                        _mm256_gf2p8affine_epi64_epi8(hi, hh, 0));
    AddWords256(dst + i, rl, rh);
  }
  return i;
}

// The same on 512-bit registers; pack and unpack again stay within 128-bit lanes.
__attribute__((target("avx512f,avx512bw,gfni"))) size_t MulAddGfni512(uint16_t c,
                                                                      const uint8_t* src,
                                                                      uint8_t* dst, size_t bytes) {
  const BitMatrices bm(c);
  const __m512i ll = _mm512_set1_epi64(static_cast<long long>(bm.lowToLow));
  const __m512i hl = _mm512_set1_epi64(static_cast<long long>(bm.highToLow));
  const __m512i lh = _mm512_set1_epi64(static_cast<long long>(bm.lowToHigh));
  const __m512i hh = _mm512_set1_epi64(static_cast<long long>(bm.highToHigh));
  const __m512i lowByte = _mm512_set1_epi16(0x00FF);
  size_t i = 0;
  for (; i + 128 <= bytes; i += 128) {
    const __m512i a = _mm512_loadu_si512(src + i);
    const __m512i b = _mm512_loadu_si512(src + i + 64);
    const __m512i lo =
        _mm512_packus_epi16(_mm512_and_si512(a, lowByte), _mm512_and_si512(b, lowByte));
    const __m512i hi = _mm512_packus_epi16(_mm512_srli_epi16(a, 8), _mm512_srli_epi16(b, 8));
    const __m512i rl = _mm512_xor_si512(_mm512_gf2p8affine_epi64_epi8(lo, ll, 0),
                                        _mm512_gf2p8affine_epi64_epi8(hi, hl, 0));
    const __m512i rh = _mm512_xor_si512(_mm512_gf2p8affine_epi64_epi8(lo, lh, 0),
                                        _mm512_gf2p8affine_epi64_epi8(hi, hh, 0));
    _mm512_storeu_si512(
        dst + i, _mm512_xor_si512(_mm512_loadu_si512(dst + i), _mm512_unpacklo_epi8(rl, rh)));
    _mm512_storeu_si512(dst + i + 64, _mm512_xor_si512(_mm512_loadu_si512(dst + i + 64),
                                                       _mm512_unpackhi_epi8(rl, rh)));
  }
  return i;
}

bool CpuHas(Form form) {
  __builtin_cpu_init();
  switch (form) {
    case Form::Gfni512: return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("gfni");
    case Form::Gfni: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("gfni");
    case Form::Avx2: return __builtin_cpu_supports("avx2");
    case Form::Ssse3: return __builtin_cpu_supports("ssse3");
    case Form::Portable: return true;
  }
  return false;
}

}  // namespace
#endif

bool Supported(Form form) {
#ifdef DTL_GF16_X86
  return CpuHas(form);
#else
  return form == Form::Portable;
#endif
}

Form BestForm() {
  static const Form best = [] {
    for (Form f : {Form::Gfni512, Form::Gfni, Form::Avx2, Form::Ssse3})
      if (Supported(f)) return f;
    return Form::Portable;
  }();
  return best;
}

void MulAddUsing(Form form, uint16_t c, const uint8_t* src, uint8_t* dst, size_t bytes) {
  if (c == 0) return;
  size_t done = 0;
#ifdef DTL_GF16_X86
  // Short buffers are not worth building the nibble tables for.
  if (bytes >= 64 && form != Form::Portable && Supported(form)) {
    switch (form) {
      case Form::Gfni512: done = MulAddGfni512(c, src, dst, bytes); break;
      case Form::Gfni: done = MulAddGfni(c, src, dst, bytes); break;
      case Form::Avx2: done = MulAddAvx2(c, src, dst, bytes); break;
      default: done = MulAddSsse3(c, src, dst, bytes); break;
    }
    // What is left of the 512-bit form's steps still fills 256-bit ones.
    if (form == Form::Gfni512 && bytes - done >= 64)
      done += MulAddGfni(c, src + done, dst + done, bytes - done);
  }
#else
  (void)form;
#endif
  if (done < bytes) MulAddPortable(c, src + done, dst + done, bytes - done);
}

void MulAdd(uint16_t c, const uint8_t* src, uint8_t* dst, size_t bytes) {
  MulAddUsing(BestForm(), c, src, dst, bytes);
}

}  // namespace dtl::gf16

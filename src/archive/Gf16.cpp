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

// The same on 256-bit registers. Pack and unpack work within each 128-bit lane, so the word
// order they give is undone exactly by the unpack; the tables are the same in both lanes.
__attribute__((target("avx2"))) size_t MulAddAvx2(uint16_t c, const uint8_t* src, uint8_t* dst,
                                                  size_t bytes) {
  const NibbleTables nt(c);
  __m256i tl[4], th[4];
  for (int k = 0; k < 4; ++k) {
    tl[k] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(nt.t[2 * k])));
    th[k] = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(nt.t[2 * k + 1])));
  }
  const __m256i lowByte = _mm256_set1_epi16(0x00FF), nibble = _mm256_set1_epi8(0x0F);
  size_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 32));
    const __m256i lo = _mm256_packus_epi16(_mm256_and_si256(a, lowByte), _mm256_and_si256(b, lowByte));
    const __m256i hi = _mm256_packus_epi16(_mm256_srli_epi16(a, 8), _mm256_srli_epi16(b, 8));
    const __m256i n[4] = {_mm256_and_si256(lo, nibble), _mm256_and_si256(_mm256_srli_epi16(lo, 4), nibble),
                          _mm256_and_si256(hi, nibble), _mm256_and_si256(_mm256_srli_epi16(hi, 4), nibble)};
    __m256i rl = _mm256_setzero_si256(), rh = _mm256_setzero_si256();
    for (int k = 0; k < 4; ++k) {
      rl = _mm256_xor_si256(rl, _mm256_shuffle_epi8(tl[k], n[k]));
      rh = _mm256_xor_si256(rh, _mm256_shuffle_epi8(th[k], n[k]));
    }
    __m256i* d = reinterpret_cast<__m256i*>(dst + i);
    _mm256_storeu_si256(d, _mm256_xor_si256(_mm256_loadu_si256(d), _mm256_unpacklo_epi8(rl, rh)));
    _mm256_storeu_si256(d + 1, _mm256_xor_si256(_mm256_loadu_si256(d + 1), _mm256_unpackhi_epi8(rl, rh)));
  }
  return i;
}

bool CpuHas(Form form) {
  __builtin_cpu_init();
  switch (form) {
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
  static const Form best = Supported(Form::Avx2) ? Form::Avx2 : Supported(Form::Ssse3) ? Form::Ssse3 : Form::Portable;
  return best;
}

void MulAddUsing(Form form, uint16_t c, const uint8_t* src, uint8_t* dst, size_t bytes) {
  if (c == 0) return;
  size_t done = 0;
#ifdef DTL_GF16_X86
  // Short buffers are not worth building the nibble tables for.
  if (bytes >= 64 && form != Form::Portable && Supported(form))
    done = form == Form::Avx2 ? MulAddAvx2(c, src, dst, bytes) : MulAddSsse3(c, src, dst, bytes);
#else
  (void)form;
#endif
  if (done < bytes) MulAddPortable(c, src + done, dst + done, bytes - done);
}

void MulAdd(uint16_t c, const uint8_t* src, uint8_t* dst, size_t bytes) {
  MulAddUsing(BestForm(), c, src, dst, bytes);
}

}  // namespace dtl::gf16

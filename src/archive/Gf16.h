// Arithmetic in GF(2^16) with the field polynomial x^16 + x^12 + x^3 + x + 1 (0x1100B), the field
// the recovery data is computed in. Elements are 16-bit values; buffers hold 16-bit little-endian
// words. All functions are thread-safe (the tables are built once, on first use).
#pragma once

#include <cstddef>
#include <cstdint>

namespace dtl::gf16 {

// a * b in the field.
uint16_t Mul(uint16_t a, uint16_t b);

// The multiplicative inverse of a; a must not be 0 (0 gives 0, which is no inverse).
uint16_t Inverse(uint16_t a);

// a raised to the power n (Power(0, 0) is 1).
uint16_t Power(uint16_t a, uint32_t n);

// dst[i] ^= c * src[i] for each of the bytes/2 little-endian 16-bit words; bytes must be even.
// src and dst must not overlap unless they are the same buffer. Uses the fastest form this
// processor supports.
void MulAdd(uint16_t c, const uint8_t* src, uint8_t* dst, size_t bytes);

// The same through split byte tables only: the reference the vector form is checked against.
void MulAddPortable(uint16_t c, const uint8_t* src, uint8_t* dst, size_t bytes);

// The ways MulAdd can be computed; all give identical bytes. Gfni and Gfni512 apply the product
// as bit matrices (GF2P8AFFINEQB on 256- and 512-bit registers), the others look nibbles up.
enum class Form { Portable, Ssse3, Avx2, Gfni, Gfni512 };

// The form MulAdd uses: the fastest this processor supports.
Form BestForm();

// Whether this processor (and this build) can run `form`.
bool Supported(Form form);

// MulAdd through the given form, which must be Supported (an unsupported one falls back to the
// portable form).
void MulAddUsing(Form form, uint16_t c, const uint8_t* src, uint8_t* dst, size_t bytes);

}  // namespace dtl::gf16

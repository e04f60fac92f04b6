// MD5 (RFC 1321) of a byte string, computed with OpenSSL's EVP digest interface. The AES form of
// a segment archive takes its key from it. Thread-safe; throws std::runtime_error only if OpenSSL
// cannot provide MD5 at all (a broken installation), which no input can cause.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace dtl {

std::array<uint8_t, 16> Md5(std::span<const uint8_t> data);

}  // namespace dtl

// RFC 4122 version-4 UUIDs in their 36-character text form with hyphens, lower case
// ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx"), as the Message-ID and the multipart boundaries use
// them. The random bytes come from an injectable source so tests can pin the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace dtl {

// Fills `n` bytes at `out`; false when no random bytes could be had.
using RandomByteSource = std::function<bool(uint8_t* out, size_t n)>;

// OpenSSL's RAND_bytes. Thread-safe.
bool OpenSslRandomBytes(uint8_t* out, size_t n);

// The text form of 16 bytes after setting the version (4) and variant (10xx) bits.
std::string UuidV4FromBytes(std::array<uint8_t, 16> bytes);

// A fresh version-4 UUID from `source`. When the source fails the result is "" (callers treat
// an empty UUID as a failure; nothing falls back to a predictable value).
std::string NewUuid(const RandomByteSource& source = OpenSslRandomBytes);

}  // namespace dtl

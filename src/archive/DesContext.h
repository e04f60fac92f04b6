// DES (FIPS 46-3) block cipher with one key, in both directions. The DES form of a segment
// archive uses it in ECB mode; the exported account password uses it with a key of its own.
//
// Construction builds the encryption key schedule and the decryption schedule (the same round
// keys in reverse order); the destructor wipes both. Parity bits of the key are ignored, as the
// algorithm itself ignores them. A context is immutable after construction, so one context may
// be used from several threads at once.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace dtl {

class DesContext {
 public:
  explicit DesContext(const uint8_t key[8]);
  ~DesContext();

  // Encrypts / decrypts one 8-byte block in place.
  void EncryptBlock(uint8_t block[8]) const;
  void DecryptBlock(uint8_t block[8]) const;

 private:
  // Per round: the 48-bit round key as eight 6-bit groups, one per S-box.
  uint8_t enc_[16][8];
  uint8_t dec_[16][8];
};

// The DES key of a password: its bytes repeated cyclically from the first until 8 bytes are
// filled (a password of 8 or more bytes gives its first 8). An empty password gives 8 zero bytes;
// callers that have a default password substitute it before calling.
std::array<uint8_t, 8> DesKeyFromPassword(std::string_view password);

}  // namespace dtl

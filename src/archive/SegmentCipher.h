// The two encrypted forms of a segment archive.
//
// AES form: AES-128-CBC, key = MD5 of the password's UTF-8 bytes, all-zero IV, the zip bytes
// followed by a PKCS#7 pad and then a second whole block of sixteen 0x10 bytes; no header, no
// MAC. Its length is 16 * floor(n / 16) + 32 for n zip bytes. DES form: DES-ECB with the
// password's bytes repeated to 8 as key, zip bytes, p zero bytes to a multiple of 8 (p = 0 when
// the length already is one), seven zero bytes and one byte holding p.
//
// Passwords are taken as UTF-8 bytes. An empty password is never used as a key: the AES
// functions use kDefaultAesPassword and the DES functions kDefaultDesPassword instead, so a
// caller that substitutes the default itself gets the same bytes.
//
// All functions are thread-safe and keep no state between calls. They throw std::runtime_error
// only when OpenSSL itself cannot provide AES or MD5 (a broken installation), never for any
// input.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

inline constexpr std::string_view kDefaultAesPassword = "0x5E2A9";
inline constexpr std::string_view kDefaultDesPassword = "segpass";

enum class CipherAlgorithm { Aes };

// The AES form of `data`. Zero-length input gives zero-length output. `keyBits` must be 128
// (anything else gives no bytes).
std::vector<uint8_t> EncryptBytes(CipherAlgorithm alg, int keyBits, std::string_view password,
                                  std::span<const uint8_t> data);

// Decrypts the AES form and removes both pads: twice, a last byte v with 1 <= v <= 16 drops v
// bytes; any other value, or a v larger than what is left, leaves the bytes as they are.
// Input shorter than one block gives no bytes; trailing bytes beyond whole blocks are ignored.
// A wrong password is not detected: the output is garbage of about the right length.
std::vector<uint8_t> DecryptBytes(CipherAlgorithm alg, int keyBits, std::string_view password,
                                  std::span<const uint8_t> data);

// The AES form under a raw 16-byte key instead of a password (EncryptBytes uses MD5 of the
// password as this key). Zero-length input gives zero-length output.
std::vector<uint8_t> AesFormEncryptWithKey(std::span<const uint8_t, 16> key,
                                           std::span<const uint8_t> data);

// In-place variants for the hot paths (one buffer, no copy). Encrypt appends the two pads to
// `buffer` (no reallocation when its capacity has 32 bytes to spare) and encrypts it; an empty
// buffer stays empty. Decrypt drops trailing bytes beyond whole blocks, decrypts and removes
// the pads exactly as DecryptBytes does.
void AesFormEncryptInPlace(std::vector<uint8_t>& buffer, std::string_view password);
void AesFormDecryptInPlace(std::vector<uint8_t>& buffer, std::string_view password);

// The DES form of `data` in memory (empty for empty input).
std::vector<uint8_t> DesFormBytes(std::string_view password, std::span<const uint8_t> data);
// The same in place: appends the 8 + p bytes (no reallocation with 16 bytes of spare capacity)
// and encrypts; an empty buffer stays empty.
void DesFormEncryptInPlace(std::vector<uint8_t>& buffer, std::string_view password);

// Writes the DES form of `data` to `path` (created or truncated). Fails on zero length
// (InvalidArgument, "Data length must be > 0") or when the file cannot be written (the system's
// text alone, as the user is shown it; `system` holds errno).
Status DesEncryptToFile(const std::filesystem::path& path, std::span<const uint8_t> data,
                        std::string_view password);

}  // namespace dtl

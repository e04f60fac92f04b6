// The two encrypted forms of a segment archive.
//
// AES form: AES-128-CBC, key = MD5 of the password's UTF-8 bytes, all-zero IV, the zip bytes
// followed by a PKCS#7 pad and then a second whole block of sixteen 0x10 bytes; no header, no
// MAC. DES form: DES-ECB with the password's bytes repeated to 8 as key, zip bytes, p zero
// bytes to a multiple of 8, seven zero bytes and one byte holding p.
//
// All functions are thread-safe and keep no state between calls.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dtl {

inline constexpr std::string_view kDefaultAesPassword = "0x5E2A9";
inline constexpr std::string_view kDefaultDesPassword = "segpass";

enum class CipherAlgorithm { Aes };

// The AES form of `data`. Zero-length input gives zero-length output. An empty password is used
// as given (callers substitute the default before calling). `keyBits` must be 128.
std::vector<uint8_t> EncryptBytes(CipherAlgorithm alg, int keyBits, std::string_view password,
                                  std::span<const uint8_t> data);

// Decrypts the AES form and removes both pads (a last byte outside 1..16 is left in place).
// Input shorter than one block gives no bytes; trailing bytes beyond whole blocks are ignored.
// A wrong password is not detected: the output is garbage of about the right length.
std::vector<uint8_t> DecryptBytes(CipherAlgorithm alg, int keyBits, std::string_view password,
                                  std::span<const uint8_t> data);

// The DES form of `data` in memory (empty for empty input).
std::vector<uint8_t> DesFormBytes(std::string_view password, std::span<const uint8_t> data);

// Writes the DES form of `data` to `path` (created or truncated). False on zero length or when
// the file cannot be written; `error` then holds the system's text for the failure.
bool DesEncryptToFile(const std::filesystem::path& path, std::span<const uint8_t> data,
                      std::string_view password, std::string* error = nullptr);

}  // namespace dtl

// Packing and unpacking one segment without an email object: the hot path of the offline split
// and the merge, which run segments of megabytes on every core. Each function works inside one
// buffer (deflate straight into it, pads and cipher in place) and gives exactly the bytes the
// email object's container operations give for the same segment.
//
// Thread-safe; no state between calls.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace dtl {

// The name an attached file carries: everything after the last "/" of the path or, when there is
// none, after the last "\" ("" for a path ending in a separator).
std::string AttachmentNameFromPath(std::string_view path);
// The zip entry name of an attachment that has no name of its own.
inline constexpr std::string_view kFallbackAttachmentName = "attachedFile.dat";

// The AES form of a one-entry zip archive holding `piece` under `entryName` — the bytes that
// AddAttachmentBytes(entryName, ...) + ZipAttachments(any) + AesEncrypt(password) +
// GetAttachmentData(0) give: the entry is named after the last path component of `entryName`
// ("attachedFile.dat" when that is empty). Empty password = "0x5E2A9". `when` stamps the entry
// (0 = now). An empty piece gives the AES form of the 22-byte archive without entries, as the
// email object does. Throws std::length_error for a piece or name too large for a zip entry.
std::vector<uint8_t> PackSegmentAes(std::string_view entryName, std::span<const uint8_t> piece,
                                    std::string_view password, std::time_t when = 0);

// The DES form of the same zip ("segpass" when the password is empty).
std::vector<uint8_t> PackSegmentDes(std::string_view entryName, std::span<const uint8_t> piece,
                                    std::string_view password, std::time_t when = 0);

// Decrypts an AES-form archive in place into its zip bytes (both pads removed); empty password =
// "0x5E2A9". Never fails; garbage in, garbage out (fewer than 16 bytes give no bytes).
void DecryptSegmentInPlace(std::vector<uint8_t>& archive, std::string_view password);

}  // namespace dtl

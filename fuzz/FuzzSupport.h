// Helpers shared by the fuzz targets.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <vector>

#include "archive/SegmentCipher.h"
#include "archive/ZipReader.h"

namespace dtlfuzz {

// Raw AES-128-CBC encryption (MD5 of the password as key, zero IV, no padding added) of
// `plain`, cut to whole blocks. Decrypting the result with the segment cipher yields exactly
// `plain` before the pad removal, so a target can hand it any pads it likes. In CBC the leading
// blocks of the AES form are those of the plaintext alone, so the form cut before its pads is
// that encryption.
inline std::vector<uint8_t> RawAesCbc(std::string_view password, std::vector<uint8_t> plain) {
  plain.resize(plain.size() / 16 * 16);
  std::vector<uint8_t> out = dtl::EncryptBytes(dtl::CipherAlgorithm::Aes, 128, password, plain);
  out.resize(plain.size());
  return out;
}

// Walks every entry of an archive held in memory through the zip reader the way its callers do:
// the entry count, each entry's header, and each entry's data through a small memory buffer so
// the ZIPR_MORE continuation is taken many times per entry.

// Bounds so a hostile archive that inflates well (a zip bomb) costs time, not a time-out.
inline constexpr int32_t kMaxEntriesWalked = 64;
inline constexpr uint64_t kMaxBytesPerEntry = 4u << 20;

// Calls f(index, entry) for each entry whose header reads, up to kMaxEntriesWalked; returns the
// entry count, or -1 when the archive gives none.
inline int32_t ForEachEntry(dtl::ZipHandle h,
                            const std::function<void(int32_t, const dtl::ZipEntryInfo&)>& f) {
  dtl::ZipEntryInfo info{};
  if (dtl::ZipGetEntry(h, -1, info) != dtl::ZIPR_OK) return -1;
  for (int32_t i = 0; i < info.index && i < kMaxEntriesWalked; ++i) {
    dtl::ZipEntryInfo entry{};
    if (dtl::ZipGetEntry(h, i, entry) == dtl::ZIPR_OK) f(i, entry);
  }
  return info.index;
}

// Returns the bytes delivered in all. `chunk` is the memory destination's size (at least 1).
inline uint64_t DrainZip(const uint8_t* data, size_t size, uint32_t chunk) {
  using namespace dtl;
  ZipHandle h = ZipOpen(data, static_cast<uint32_t>(size), ZIP_MEMORY);
  if (!h) return 0;
  uint64_t total = 0;
  std::vector<uint8_t> buffer(chunk);
  const int32_t count = ForEachEntry(h, [&](int32_t i, const ZipEntryInfo& entry) {
    // The name is always terminated inside its array.
    bool terminated = false;
    for (char c : entry.name) terminated |= c == '\0';
    if (!terminated) std::abort();
    uint64_t delivered = 0;
    uint32_t r;
    while ((r = ZipExtract(h, i, buffer.data(), chunk, ZIP_MEMORY)) == ZIPR_MORE) {
      delivered += chunk;
      if (delivered > kMaxBytesPerEntry) break;
    }
    // An entry whose extraction ends well delivered exactly its declared size, so the last
    // call filled at most one buffer (the merge sizes its last chunk from that).
    const uint64_t declared = static_cast<uint32_t>(entry.uncompressedSize);
    if (r == ZIPR_OK && (delivered > declared || declared - delivered > chunk)) std::abort();
    total += delivered;
  });
  // Querying past the end is refused, never read.
  ZipEntryInfo info{};
  if (count >= 0 && ZipGetEntry(h, count, info) == ZIPR_OK) std::abort();
  ZipClose(h);
  return total;
}

}  // namespace dtlfuzz

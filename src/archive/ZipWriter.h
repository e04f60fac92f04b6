// Writes the one-entry (in practice) zip container of a segment archive: local header, raw
// deflate data at level 6, central directory header, end record; no data descriptor, no zip64,
// no archive comment.
//
// Call order: AppendData() once per entry, then WriteToMemory(). Refusals come back as a
// Status / Result (ErrorCode::InvalidArgument) with the texts below; nothing is thrown for them.
// The DOS time and date of every entry come from the clock value given to the constructor (local
// time), so tests can pin them. Moments before 1980 or after 2107, which DOS dates cannot hold, are
// clamped to the nearest end.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

class ZipWriter {
 public:
  // `when` is the moment stamped on every entry; 0 means "now".
  explicit ZipWriter(std::time_t when = 0);

  // Adds an entry. Fails, adding nothing, on an empty name ("No filename was provided"),
  // zero-length bytes ("Data length must be > 0"), a name longer than 65535 bytes ("File name
  // is too long for a zip entry"), 4 GiB of bytes or more, or a 65536th entry. A "\" in the
  // name is stored as "/". The bytes are compressed at once, so `bytes` may be released
  // afterwards.
  Status AppendData(std::string_view name, const std::vector<uint8_t>& bytes);
  Status AppendData(std::string_view name, std::span<const uint8_t> bytes);

  // The whole archive. Fails when the archive does not fit the 32-bit fields.
  Result<std::vector<uint8_t>> WriteToMemory() const;

  uint16_t DosTime() const { return dosTime_; }
  uint16_t DosDate() const { return dosDate_; }

 private:
  struct Entry {
    std::string name;
    uint32_t crc = 0;
    uint64_t size = 0;
    std::vector<uint8_t> deflated;
  };
  std::vector<Entry> entries_;
  uint16_t dosTime_ = 0, dosDate_ = 0;
};

// The archive a ZipWriter gives for this one entry, built straight into `out` (its content
// replaced) with at least `tailRoom` bytes of spare capacity after the end, so a caller can pad
// and encrypt in place without another allocation. Zero-length bytes or an empty name give the
// 22-byte archive without entries, as a writer whose only AppendData was refused does. Throws
// std::length_error when the entry cannot be stored without zip64 (a name over 65535 bytes,
// 4 GiB of data or more): an archive silently missing its data would be worse.
void WriteSingleEntryZip(std::string_view name, std::span<const uint8_t> bytes, std::time_t when,
                         size_t tailRoom, std::vector<uint8_t>& out);

// CRC-32 with the zip polynomial, continuing from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t len);

}  // namespace dtl

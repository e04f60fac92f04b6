// Writes the one-entry (in practice) zip container of a segment archive: local header, raw
// deflate data at level 6, central directory header, end record; no data descriptor, no zip64.
//
// Call order: AppendData() once per entry, then WriteToMemory(). The DOS time and date of every
// entry come from the clock value given to the constructor (local time), so tests can pin them.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace dtl {

class ZipWriter {
 public:
  // `when` is the moment stamped on every entry; 0 means "now".
  explicit ZipWriter(std::time_t when = 0);

  // Adds an entry. False (with the text in LastError()) on an empty name ("No filename was
  // provided") or zero-length bytes ("Data length must be > 0"). A "\" in the name is stored
  // as "/". The bytes are compressed at once, so `bytes` may be released afterwards.
  bool AppendData(std::string_view name, const std::vector<uint8_t>& bytes);

  // Replaces `out` with the whole archive. False when an entry does not fit the 32-bit fields.
  bool WriteToMemory(std::vector<uint8_t>& out) const;

  const std::string& LastError() const { return error_; }

 private:
  struct Entry {
    std::string name;
    uint32_t crc = 0;
    uint64_t size = 0;
    std::vector<uint8_t> deflated;
  };
  std::vector<Entry> entries_;
  uint16_t dosTime_ = 0, dosDate_ = 0;
  std::string error_;
};

// CRC-32 with the zip polynomial, continuing from `crc` (0 to start).
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t len);

}  // namespace dtl

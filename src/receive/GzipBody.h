// A streaming decoder for gzip-encoded HTTP bodies (Content-Encoding gzip or x-gzip).
//
// The gzip header is read here, one byte at a time, so that any split of the body into reads
// works: magic 1F 8B, method 8 (deflate), flags without the reserved bits (E0), modification
// time, extra flags and OS (6 bytes), then in order the extra field (flag 04: 2-byte
// little-endian length and that many bytes), the NUL-terminated name (08), the NUL-terminated
// comment (10) and the 2-byte header CRC (02). The deflate data goes through zlib's raw inflate,
// and the 8-byte trailer (CRC-32 and length modulo 2^32) is checked against what was produced.
//
// A body counts as complete only when the deflate stream ended and the trailer matched: a body
// cut anywhere (a dropped connection, a truncated answer) is never mistaken for the whole file.
// Bytes after the trailer are ignored. Nothing is allocated from a size the body declares.
//
// A body is also refused once it decodes to more than its limit (by default the largest segment
// archive, kLargestSegmentArchive) or once more than that many bytes of it arrived: a few
// hundred kilobytes of gzip can inflate to gigabytes, and nothing this program downloads is
// larger than one segment.
//
// Call order: Feed() for every piece of the body as it arrives, then Complete() at its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <zlib.h>

#include "archive/SegmentBounds.h"

namespace dtl {

class GzipBody {
 public:
  // Receives each run of decoded bytes; returning false stops the decoding (Feed fails).
  using Sink = std::function<bool(const uint8_t* data, size_t size)>;

  // `limit`: the most bytes the body may decode to, and the most bytes of it that may arrive.
  explicit GzipBody(uint64_t limit = kLargestSegmentArchive);
  ~GzipBody();
  GzipBody(const GzipBody&) = delete;
  GzipBody& operator=(const GzipBody&) = delete;

  // Decodes the next piece of the body. False on a bad header, a deflate data error, a trailer
  // mismatch, a body beyond the limit (nothing past the limit reaches the sink) or a sink that
  // refused; Error() then says which, and later calls fail at once.
  bool Feed(const uint8_t* data, size_t size, const Sink& sink);
  // True when the whole gzip member, trailer included, has been decoded without error.
  bool Complete() const { return stage_ == Stage::Done; }
  // Why the body was refused ("" while nothing failed). At the end of a body that is not
  // Complete(), TruncationError() names the part that was cut.
  const std::string& Error() const { return error_; }
  std::string TruncationError() const;
  uint64_t DecodedBytes() const { return produced_; }

 private:
  enum class Stage {
    Magic1,
    Magic2,
    Method,
    Flags,
    Fixed,
    ExtraLen1,
    ExtraLen2,
    Extra,
    Name,
    Comment,
    HeaderCrc,
    Deflate,
    Trailer,
    Done,
    Failed,
  };
  bool HeaderByte(uint8_t b);
  void AfterFlagsField(Stage from);
  bool Fail(const char* why);

  Stage stage_ = Stage::Magic1;
  uint8_t flags_ = 0;
  uint32_t count_ = 0;  // bytes left in the fixed part, extra field or header CRC
  uint8_t trailer_[8] = {};
  uint32_t trailerGot_ = 0;
  uint32_t crc_ = 0;
  uint64_t produced_ = 0;
  uint64_t received_ = 0;
  uint64_t limit_;
  z_stream zs_{};
  bool zsReady_ = false;
  std::string error_;
};

}  // namespace dtl

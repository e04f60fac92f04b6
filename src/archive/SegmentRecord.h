// One entry of a send job's segment list: which file a segment belongs to and where in it the
// segment lies. Records are plain values; the list keeps them in send order.
#pragma once

#include <cstdint>
#include <string>

namespace dtl {

// Segment size of a plain transfer: the whole file travels as one unzipped piece.
inline constexpr uint64_t kWholeFileSegment = 4294967295u;

// The segment-size slider counts in units of 10000 bytes (position 1 = 10000 bytes,
// position 1000 = 10000000 bytes); the unit is decimal, not 10240.
inline constexpr uint64_t kSegmentUnit = 10000;

struct SegmentRecord {
  std::string path;          // full path of the source file
  std::string name;          // base name plus extension of the source, e.g. "movie.avi"
  uint64_t segmentSize = 0;  // bytes per segment; kWholeFileSegment for a plain transfer
  uint64_t fileSize = 0;     // size of the source when it was chosen
  uint8_t pending = 1;       // 1 = still to be sent; 0 = delivered or unticked
  int32_t index = 0;         // segment number within its file, from 0
};

}  // namespace dtl

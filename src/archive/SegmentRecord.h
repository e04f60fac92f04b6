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
  int32_t index = 0;         // segment number within its file, from 0; a recovery record's
                             // place among its file's recovery files, from 0
  // Recovery data (split transfers only). 1..100 on every record of a file whose segments travel
  // with recovery files: its segments are packed once into `spool` and mailed from there, so the
  // recovery files describe the very bytes that go out; 0 for everything else.
  uint8_t recoveryPercent = 0;
  std::string spool;         // the file's spool folder: a plain name under the run's spool folder
  std::string recoveryFile;  // a recovery record: the recovery file it mails ("NAME.vol00+01.par2");
                             // empty for a segment
  uint8_t spoolReady = 0;    // 1 once the spool was made: from then on only its bytes may go out

  bool IsRecovery() const { return !recoveryFile.empty(); }
};

}  // namespace dtl

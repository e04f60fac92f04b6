// Building the segment list of a send job and naming segments.
//
// A file of F bytes cut with segment size S gives the pieces [0, S), [S, 2S), ..., [(n-1)S, F);
// segment 0 is the descriptor ("NAME.dtl.doc"), the others are "NAME.001.doc", "NAME.002.doc",
// ... The same names serve as mail attachment names and as file names of the offline split, so a
// segment on disk and the same segment received by mail are interchangeable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/SegmentRecord.h"

namespace dtl {

// Number of segments of a file of `fileSize` bytes: 1 when the segment is larger than the file
// (so an empty file still has its descriptor), otherwise ceil(fileSize / segmentSize).
// A segment size of 0 is meaningless and gives 0.
uint64_t SegmentCount(uint64_t fileSize, uint64_t segmentSize);

// The records of one file for a split transfer: indices 0 .. n-1, every one pending. Empty when
// the segment size is 0 or the file would need more segments than an index can number.
std::vector<SegmentRecord> SplitRecords(const std::string& path, const std::string& name,
                                        uint64_t fileSize, uint64_t segmentSize);

// The single record of a plain transfer: the whole file, index 0, pending.
SegmentRecord PlainRecord(const std::string& path, const std::string& name, uint64_t fileSize);

// Gives the segment records of one file (SplitRecords, in order) recovery data at `percent`
// (1..100): marks each of them with the percentage and `spool` (the file's spool folder name)
// and returns the recovery records to mail after them, one per recovery file in
// RecoveryFileNames() order (index 0, 1, ...), pending. Nothing changes and nothing is returned
// for 0 %, a percentage above 100, no records or an empty spool name.
std::vector<SegmentRecord> MakeRecoveryRecords(std::vector<SegmentRecord>& segments,
                                               unsigned percent, const std::string& spool);

// The number of recovery files mailed for the file a record belongs to (0 without recovery).
uint32_t RecoveryFileCount(const SegmentRecord& record);

// The name a record's bytes have in its spool folder, which is also the name the receiver saves
// them under: "NAME.dtl", "NAME.001", ... for a segment, the recovery file's own name for a
// recovery record.
std::string SpooledFileName(const SegmentRecord& record);

// "NAME.dtl.doc" for index 0, else "NAME.%.3d.doc" (at least three digits: "NAME.1000.doc"
// follows "NAME.999.doc").
std::string SegmentFileName(std::string_view name, int64_t index);

// The attachment name of a record's segment: SegmentFileName() in split mode, the file's own
// name unchanged in plain mode; a recovery record's is its recovery file's name with ".doc"
// appended ("movie.avi.vol00+01.par2.doc").
std::string SegmentAttachmentName(const SegmentRecord& record, bool plainTransfer);

// Base name plus extension of a path ("/a/b/movie.avi" -> "movie.avi"); "" for a path that ends
// in "/".
std::string FileNameOf(const std::string& path);

}  // namespace dtl

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

// "NAME.dtl.doc" for index 0, else "NAME.%.3d.doc" (at least three digits: "NAME.1000.doc"
// follows "NAME.999.doc").
std::string SegmentFileName(std::string_view name, int64_t index);

// The attachment name of a record's segment: SegmentFileName() in split mode, the file's own
// name unchanged in plain mode.
std::string SegmentAttachmentName(const SegmentRecord& record, bool plainTransfer);

// Base name plus extension of a path ("/a/b/movie.avi" -> "movie.avi"); "" for a path that ends
// in "/".
std::string FileNameOf(const std::string& path);

}  // namespace dtl

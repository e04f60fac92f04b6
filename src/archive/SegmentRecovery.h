// Recovery data for a split file: how many recovery blocks a percentage buys, what the recovery
// files are called, making them over a file's segment files, and repairing missing or damaged
// segment files from them before a merge.
//
// A file NAME split into segment files gets one recovery set (archive/Par2.h) whose slice is as
// large as its largest segment file, so one lost mail costs exactly one recovery block. The set
// names the segment files as they lie beside it: "NAME.dtl", "NAME.001", ... where a download
// saved them (the names the sender's spool used), "NAME.dtl.doc", "NAME.001.doc", ... in an
// offline split's folder. The recovery files are "NAME.par2" (the set's description only) and
// one "NAME.volF+1.par2" per block, so each mails as one attachment of about a segment's size;
// mailed, each attachment gets ".doc" appended like the segments, and the receiving side's
// ".doc" removal gives the file name back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

// The largest recovery percentage; 0 means no recovery data.
inline constexpr unsigned kMaxRecoveryPercent = 100;

// Recovery blocks for `segmentFiles` segment files (descriptor included) at `percent` (0..100):
// ceil(segmentFiles * percent / 100), 0 for 0 %.
uint32_t RecoveryBlockCount(uint64_t segmentFiles, unsigned percent);

// The recovery files of `name` ("movie.avi") with `blocks` blocks, in the order they are made
// and mailed: "movie.avi.par2", then "movie.avi.vol00+01.par2", "movie.avi.vol01+01.par2", ...
// (the numbers at least two digits, as wide as the decimal block count). Empty for 0 blocks.
std::vector<std::string> RecoveryFileNames(std::string_view name, uint32_t blocks);

// True for a recovery file's name: "X.par2" or "X.volF+C.par2" (F and C decimal digits), the
// ending in any letter case, X not empty. A trailing ".doc" is not removed here.
bool IsRecoveryFileName(std::string_view fileName);

// The file a recovery file belongs to: "movie.avi.vol00+05.par2" and "movie.avi.par2" give
// "movie.avi". Nullopt when the name is no recovery file name.
std::optional<std::string> RecoveryDataName(std::string_view fileName);

// The recovery blocks a recovery file's name announces: C of "X.volF+C.par2", 0 for "X.par2"
// and for anything else. Only a hint for listings: the files themselves are what count.
uint32_t RecoveryBlocksInName(std::string_view fileName);

// Makes the recovery files of one split file in `folder`: `segmentNames` are the segment files
// there (descriptor first, then 1, 2, ... in order) and the names the set holds; `name` is the
// split file's own name (the recovery files' base). The slice size is the largest segment file
// rounded up to a multiple of 4; RecoveryBlockCount(segmentNames.size(), percent) blocks, one per
// volume. Returns the recovery file names written (RecoveryFileNames order); nothing for 0 %.
// Files are written under temporary names and renamed when whole; on failure or a stop none of
// them is left. Errors: InvalidArgument (percent > 100, no segment names), NotFound/Io, Cancelled.
Result<std::vector<std::string>> MakeSegmentRecovery(const std::filesystem::path& folder,
                                                     const std::vector<std::string>& segmentNames,
                                                     const std::string& name, unsigned percent,
                                                     std::stop_token stop = {});

// The recovery files for split file `name` in `folder` (NAME.par2, NAME.volF+C.par2, with or
// without a trailing ".doc", any ending case), sorted by name. Empty when there are none.
std::vector<std::filesystem::path> FindRecoveryFiles(const std::filesystem::path& folder,
                                                     std::string_view name);

// True for a segment file name of split file `name`: "NAME.dtl" or "NAME.k" (k at least three
// decimal digits), either with ".doc" appended. The only names a recovery set may write.
bool IsSegmentFileOf(std::string_view fileName, std::string_view name);

// What a repair before a merge did.
struct SegmentRepair {
  bool haveSet = false;               // usable recovery files for the file were found
  std::vector<std::string> repaired;  // segment file names rebuilt, descriptor first, then by number
  uint32_t blocksMissing = 0;         // when it could not repair: blocks short of a repair
  std::vector<std::string> unrepaired;  // then also: the segment files missing or damaged
  std::string message;                // what went wrong, for the user ("" when nothing did)
  bool ok() const { return message.empty(); }
};

// Checks the segment files of split file `name` in `folder` against its recovery set, when
// `folder` holds one, and rebuilds the missing or damaged ones before a merge. The set is used
// only when every file it names is a segment file of `name` (NAME.dtl or NAME.k, with or without
// ".doc", k at least three digits): a set naming anything else is ignored with a message and
// never writes. A rebuilt file replaces a damaged one only when its MD5 matches the set.
// No set: haveSet false, nothing done, ok. Too few blocks: message "NAME: N more recovery blocks
// are needed to repair M missing or damaged segments", blocksMissing N, nothing written.
// Cancelled: message empty, haveSet true and the stop visible to the caller through `stop`.
SegmentRepair RepairSegments(const std::filesystem::path& folder, std::string_view name,
                             std::stop_token stop = {});

}  // namespace dtl

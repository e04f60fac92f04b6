#include "archive/SegmentList.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

namespace dtl {

uint64_t SegmentCount(uint64_t fileSize, uint64_t segmentSize) {
  if (segmentSize == 0) return 0;
  if (segmentSize > fileSize) return 1;
  return fileSize / segmentSize + (fileSize % segmentSize != 0 ? 1 : 0);
}

std::vector<SegmentRecord> SplitRecords(const std::string& path, const std::string& name,
                                        uint64_t fileSize, uint64_t segmentSize) {
  std::vector<SegmentRecord> records;
  const uint64_t count = SegmentCount(fileSize, segmentSize);
  // The index is 32-bit signed: a cut that needs more segments cannot be numbered, and
  // wrapping around would give two segments the same name.
  if (count == 0 || count > static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) + 1)
    return records;
  records.reserve(count);
  for (uint64_t i = 0; i < count; ++i)
    records.push_back({path, name, segmentSize, fileSize, 1, static_cast<int32_t>(i)});
  return records;
}

SegmentRecord PlainRecord(const std::string& path, const std::string& name, uint64_t fileSize) {
  return {path, name, kWholeFileSegment, fileSize, 1, 0};
}

std::string SegmentFileName(std::string_view name, int64_t index) {
  std::string out(name);
  if (index == 0) return out + ".dtl.doc";
  char number[32];
  std::snprintf(number, sizeof number, ".%.3" PRId64 ".doc", index);
  return out + number;
}

std::string SegmentAttachmentName(const SegmentRecord& record, bool plainTransfer) {
  if (plainTransfer) return record.name;
  return SegmentFileName(record.name, record.index);
}

std::string FileNameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace dtl

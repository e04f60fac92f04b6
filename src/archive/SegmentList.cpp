#include "archive/SegmentList.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

#include "archive/SegmentRecovery.h"

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
  for (uint64_t i = 0; i < count; ++i) {
    SegmentRecord r;
    r.path = path;
    r.name = name;
    r.segmentSize = segmentSize;
    r.fileSize = fileSize;
    r.index = static_cast<int32_t>(i);
    records.push_back(std::move(r));
  }
  return records;
}

SegmentRecord PlainRecord(const std::string& path, const std::string& name, uint64_t fileSize) {
  SegmentRecord r;
  r.path = path;
  r.name = name;
  r.segmentSize = kWholeFileSegment;
  r.fileSize = fileSize;
  return r;
}

std::vector<SegmentRecord> MakeRecoveryRecords(std::vector<SegmentRecord>& segments,
                                               unsigned percent, const std::string& spool) {
  std::vector<SegmentRecord> out;
  if (percent == 0 || percent > kMaxRecoveryPercent || segments.empty() || spool.empty())
    return out;
  const uint32_t blocks = RecoveryBlockCount(segments.size(), percent);
  const std::vector<std::string> names = RecoveryFileNames(segments.front().name, blocks);
  for (SegmentRecord& r : segments) {
    r.recoveryPercent = static_cast<uint8_t>(percent);
    r.spool = spool;
  }
  for (size_t k = 0; k < names.size(); ++k) {
    SegmentRecord r = segments.front();
    r.index = static_cast<int32_t>(k);
    r.pending = 1;
    r.recoveryFile = names[k];
    out.push_back(std::move(r));
  }
  return out;
}

uint32_t RecoveryFileCount(const SegmentRecord& record) {
  if (record.recoveryPercent == 0) return 0;
  // Worked out from the record alone, as the records were made: the same answer on a resume.
  const uint32_t blocks = RecoveryBlockCount(SegmentCount(record.fileSize, record.segmentSize),
                                             record.recoveryPercent);
  return blocks == 0 ? 0 : blocks + 1;
}

std::string SpooledFileName(const SegmentRecord& record) {
  if (record.IsRecovery()) return record.recoveryFile;
  std::string name = SegmentFileName(record.name, record.index);
  name.resize(name.size() - 4);  // without ".doc"
  return name;
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
  if (record.IsRecovery()) return record.recoveryFile + ".doc";
  return SegmentFileName(record.name, record.index);
}

std::string FileNameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace dtl

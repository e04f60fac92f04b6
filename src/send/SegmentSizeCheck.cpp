#include "send/SegmentSizeCheck.h"

#include <algorithm>

#include "archive/SegmentList.h"
#include "base/SettingsStore.h"
#include "send/SendEngine.h"

namespace dtl {

SmtpSettings SizeCheckSettings(const SettingsStore& settings, std::chrono::milliseconds timeout) {
  SmtpSettings smtp;
  smtp.host = settings.SmtpServer();
  smtp.port = static_cast<int>(settings.SmtpPort() ? settings.SmtpPort() : 25);
  smtp.ssl = settings.Ssl();
  // The same certificate checks as the run: a server the run would refuse to talk to has no
  // say in how large the segments may be.
  smtp.startTls = StartTlsMode::Verified;
  smtp.connectTimeout = timeout;
  smtp.replyTimeout = timeout;
  return smtp;
}

uint64_t LargestPieceBytes(const std::vector<SegmentRecord>& records) {
  uint64_t largest = 0;
  for (const auto& r : records) largest = std::max(largest, std::min(r.segmentSize, r.fileSize));
  return largest;
}

uint64_t LargestRecoveryMailBytes(const std::vector<SegmentRecord>& records) {
  uint64_t largest = 0;
  for (const auto& r : records) {
    if (!r.IsRecovery()) continue;
    const uint64_t segments = SegmentCount(r.fileSize, r.segmentSize);
    // The recovery packet (its header, exponent and a slice: the largest archive, with the
    // archive's slack, rounded up to 4), then the set's description as every volume repeats
    // it: the main packet (16 bytes per segment), per segment a file description (its name
    // at most 12 characters longer than the file's, padded) and a slice checksum packet, and
    // the creator packet.
    const uint64_t slice = (std::min(r.segmentSize, r.fileSize) + 1024 + 3) / 4 * 4;
    const uint64_t perSegment = 16 + (64 + 56 + r.name.size() + 12 + 3) + (64 + 16 + 20);
    const uint64_t file = (64 + 4 + slice) + (64 + 12) + segments * perSegment + (64 + 256);
    // Taken as a piece, the file gets an archive's slack on top: still an upper estimate.
    largest = std::max(largest, EstimatedSegmentMailBytes(file));
  }
  return largest;
}

uint64_t LargestRecoveryMailBytes(const SendRequest& request, bool plain) {
  if (plain || request.recoveryPercent == 0) return 0;
  const uint64_t segmentSize =
      request.segmentSize ? request.segmentSize : uint64_t{request.position} * kSegmentUnit;
  uint64_t largest = 0;
  for (const auto& f : request.files) {
    auto segments = SplitRecords(f.path, FileNameOf(f.path), f.size, segmentSize);
    // The spool name only has to be there for the records to be made; nothing is written.
    largest = std::max(largest, LargestRecoveryMailBytes(
                                    MakeRecoveryRecords(segments, request.recoveryPercent, "x")));
  }
  return largest;
}

uint64_t LargestPieceBytes(const SendRequest& request, bool plain) {
  uint64_t largestFile = 0;
  for (const auto& f : request.files) largestFile = std::max(largestFile, f.size);
  if (plain) return largestFile;
  const uint64_t segment =
      request.segmentSize ? request.segmentSize : uint64_t{request.position} * kSegmentUnit;
  return std::min(segment, largestFile);
}

Result<SegmentSizeCheck> CheckSegmentSize(const SmtpSettings& probe, uint64_t pieceBytes,
                                          std::stop_token stop) {
  SmtpClient client(probe, nullptr, std::move(stop));
  const auto limit = client.ProbeSizeLimit();
  if (!limit) return limit.error();
  SegmentSizeCheck check;
  check.limit = *limit;
  check.pieceBytes = pieceBytes;
  check.mailBytes = EstimatedSegmentMailBytes(pieceBytes);
  check.fits = check.limit ? LargestFittingSegmentSize(check.limit) : 0;
  return check;
}

}  // namespace dtl

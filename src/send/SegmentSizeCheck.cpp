#include "send/SegmentSizeCheck.h"

#include <algorithm>

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

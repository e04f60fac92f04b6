#include "receive/ImapReceive.h"

namespace dtl {

std::string ImapItemKey(uint32_t uid, std::string_view section) {
  return std::to_string(uid) + "/" + std::string(section);
}

std::vector<ImapSegmentRef> ImapListing::AllSegments() const {
  std::vector<ImapSegmentRef> all;
  for (const auto& file : files) all.insert(all.end(), file.segments.begin(), file.segments.end());
  return all;
}

Result<ImapListing> ListImapSegments(const ImapSettings&, std::string_view, ImapListObserver&,
                                     std::stop_token, const ImapSession::Connector&) {
  return Error(ErrorCode::Unsupported, "IMAP listing is not built yet");
}

bool ImapReceiveJob::Summary::AllRebuilt() const {
  if (!merged || mergeResults.empty()) return false;
  for (const auto& r : mergeResults)
    if (r.outcome != MergeJob::Outcome::Complete) return false;
  return true;
}

ImapReceiveJob::Summary ImapReceiveJob::Run(const Params&, DownloadObserver&, std::stop_token) {
  Summary summary;
  summary.outcome = Outcome::Failed;
  summary.error = Error(ErrorCode::Unsupported, "IMAP receive is not built yet");
  return summary;
}

Status VerifySegmentFile(const std::filesystem::path&, std::string_view) {
  return Error(ErrorCode::Unsupported, "segment verification is not built yet");
}

}  // namespace dtl

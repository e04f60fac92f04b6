// The check before sending: asks the stored SMTP server how large a mail it takes (the SIZE of
// its EHLO reply, RFC 1870) and compares the largest segment's mail with it, so a run whose
// segments the server would refuse is never started. `dtl send` and the desktop send dialogs
// share it; the send run still checks every mail for itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <stop_token>
#include <vector>

#include "archive/SegmentRecord.h"
#include "base/Error.h"
#include "mail/SmtpClient.h"
#include "send/SendRequest.h"

namespace dtl {

class SettingsStore;

// The stored SMTP server (SMTPServer, SMTPPort with 0 as 25, SSL) for the check: STARTTLS with
// the run's certificate checks, never a login, `timeout` for the connection and for each reply.
SmtpSettings SizeCheckSettings(const SettingsStore& settings, std::chrono::milliseconds timeout);

// The largest piece a job cut from these records sends in one mail (its segment size, or the
// whole file when that is smaller); 0 for no records.
uint64_t LargestPieceBytes(const std::vector<SegmentRecord>& records);
// The same for a job not yet built from `request`: each file whole for a plain transfer, else
// the segment size the request names (capped by the largest file).
uint64_t LargestPieceBytes(const SendRequest& request, bool plain);

// An upper estimate of the largest recovery-file mail a job of these records sends (0 when it
// sends none). A recovery file holds one block as large as its file's largest segment archive
// and, besides, the description of every segment of the file (about 260 bytes each), so with
// many small segments its mail is much larger than a segment's.
uint64_t LargestRecoveryMailBytes(const std::vector<SegmentRecord>& records);
// The same for a File Split job not yet built from `request` (0 for a plain transfer or 0 %).
uint64_t LargestRecoveryMailBytes(const SendRequest& request, bool plain);

// What the server said and what follows for the largest piece.
struct SegmentSizeCheck {
  uint64_t limit = 0;       // the server's SIZE; 0 when it announced none
  uint64_t pieceBytes = 0;  // the largest piece, as given
  uint64_t mailBytes = 0;   // an upper estimate of that piece's mail (EstimatedSegmentMailBytes)
  uint64_t fits = 0;        // the largest segment size whose mail fits (0: none does)
  // True when the server would refuse the largest piece's mail.
  bool TooLarge() const { return limit > 0 && mailBytes > limit; }
};

// Connects with `probe` (a quick EHLO, QUIT; see SmtpClient::ProbeSizeLimit) and measures
// `pieceBytes` against the answer. Blocks for at most about the probe's time-outs; `stop` ends
// it early. Fails when the server cannot be asked (unreachable, TLS failure, a greeting other
// than 220): the caller then goes ahead and lets the run report.
Result<SegmentSizeCheck> CheckSegmentSize(const SmtpSettings& probe, uint64_t pieceBytes,
                                          std::stop_token stop = {});

}  // namespace dtl

// The progress callback the mail sender reports to while it works. Stopping the sender is not
// done through here: the caller hands the SMTP client a std::stop_token, and a stop requested on
// it makes the sender give up at its next check with ErrorCode::Cancelled and the message "Mail
// sending aborted by application".
//
// Both calls are made on the sending thread and must not block for long.
#pragma once

namespace dtl {

class MailProgress {
 public:
  virtual ~MailProgress() = default;
  // Called while the message is being written out, with the share of it sent so far (0..100).
  virtual void SendProgress(int percent) = 0;
  // Called while a reply is awaited after the message was written (percent of the read).
  virtual void ReadProgress(int percent) = 0;
};

}  // namespace dtl

// The progress callback the mail sender reports to while it works, and through which the
// caller cancels it. The send engine's implementation posts the upload percent to its observer
// and answers every call with its abort flag (a std::atomic<bool> the Stop command sets).
//
// All three calls are made on the sending thread. Setting `abort` to true makes the sender give
// up at its next check with "Mail sending aborted by application"; leaving it untouched (it
// arrives false) lets the work go on.
#pragma once

namespace dtl {

class MailProgress {
 public:
  virtual ~MailProgress() = default;
  // Called while the message is being written out, with the share of it sent so far (0..100).
  virtual void SendProgress(int percent, bool& abort) = 0;
  // Called while a reply is awaited after the message was written (percent of the read).
  virtual void ReadProgress(int percent, bool& abort) = 0;
  // Called between the steps of the dialogue (before connecting, between recipients, ...).
  virtual void AbortPoll(bool& abort) = 0;
};

}  // namespace dtl

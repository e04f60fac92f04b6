// Delivery through the desktop mail system: the message is handed to a sendmail-compatible
// submission program (`program -t -i`, the whole message on its standard input), which takes
// the recipients from the To field and delivers the mail itself. It stands in for the mail
// client's messaging session, so the send engine's logon, compose and submit steps keep their
// meaning.
//
// Call order: Logon(), Compose(), Submit(). One object per delivery attempt, used on one thread.
// Every failure comes back as the Status of the call, its message the reason; nothing is
// printed. Submit() waits for the program without polling for a stop: the program is bounded by
// its own time-outs, as the mail client's submit call was.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"
#include "mail/EmailObject.h"

namespace dtl {

inline constexpr std::string_view kDefaultSubmissionProgram = "/usr/sbin/sendmail";

class MapiSession {
 public:
  // The program is $DTL_SENDMAIL when that is set and not empty, else /usr/sbin/sendmail.
  MapiSession();

  // The submission program: a path, or a bare name looked up in $PATH. Change it before Logon().
  std::string program;
  // The stamp of the composed message (tests pin Date and Message-ID with it).
  std::function<MessageStamp()> stamp = CurrentMessageStamp;

  // Succeeds when the submission program exists and may be executed; otherwise fails with
  // NotFound, "No mail submission program found at <path>". A non-empty `profile` is remembered and
  // passed to the program as its account ("-a NAME", as msmtp and its kin take it). The password is
  // not used: the submission program keeps its own credentials.
  Status Logon(std::string_view profile, std::string_view password);
  bool LoggedOn() const { return loggedOn_; }

  // Builds the message: every non-blank recipient as a To entry in the given order, the
  // subject, the text body and, when `attachment` is not empty, one base64 attachment named
  // `attachmentName` and typed by its extension (the mail engine's table). `highImportance`
  // marks the message as important. Fails before Logon() or without any recipient
  // (InvalidArgument, "No recipients").
  Status Compose(const std::vector<std::string>& recipients, std::string_view subject,
                 std::string_view body, const std::vector<uint8_t>& attachment,
                 std::string_view attachmentName, bool highImportance = false);

  // Runs the program (no shell) and writes the composed message to it. Succeeds when the program
  // read it and exited with status 0. Its output (standard output and error together, the first
  // 64 KiB) is kept in ProgramOutput() for the log. Fails before Compose(); when the program
  // cannot be started (Io, errno in `system`); when it exits with another status (Refused,
  // "The mail submission program exited with status N[: output]", N in `system`), is killed,
  // or does not read the whole message.
  Status Submit();

  const std::string& ProgramOutput() const { return output_; }
  // The message as composed (what Submit() writes), for logs and tests.
  const std::string& ComposedMessage() const { return message_; }
  // The program path that Logon() found.
  const std::string& ResolvedProgram() const { return resolved_; }

 private:
  static Error Fail(std::string text, ErrorCode code = ErrorCode::Failed);

  bool loggedOn_ = false;
  std::string profile_;
  std::string resolved_;
  std::string message_;
  bool composed_ = false;
  std::string output_;
};

// The logon order of a MAPI run: with the stored profile `userName` and password `pass` when
// either is non-empty; then with no profile; then with the profile "Outlook" and no password.
// `logon` is tried in that order until it succeeds. The step that succeeded, or the error of the
// last attempt when none did (the run then ends with "Could not logon to MAPI session.").
// With `after`, the order resumes at the step following it (a stored profile the submission
// program refused falls back to no profile); nothing follows Outlook (NotFound).
enum class MapiLogonStep { StoredProfile, NoProfile, Outlook };
Result<MapiLogonStep> LogonInOrder(
    std::string_view userName, std::string_view pass,
    const std::function<Status(std::string_view profile, std::string_view password)>& logon,
    std::optional<MapiLogonStep> after = std::nullopt);

}  // namespace dtl

#include "mail/ServerTest.h"

namespace dtl {

std::string ServerTest(SmtpSettings settings, MailLog* log) {
  if (settings.host.size() < 2) return "Failure.";
  if (settings.port == 0) settings.port = 25;
  SmtpClient client(std::move(settings));
  const bool ok = client.VerifySmtpConnection().ok();
  if (log) *log = client.LastLog();
  return ok ? "Success." : "Failure.";
}

}  // namespace dtl

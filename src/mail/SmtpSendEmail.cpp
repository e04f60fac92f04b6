// SendEmail over an email object. Kept in its own file so that programs which only use the
// lower-level SendMessage() (the server test, the benchmark's sender) do not pull in the
// message renderer.
#include "mail/EmailObject.h"
#include "mail/SmtpClient.h"

namespace dtl {

namespace {

// The envelope wants the bare address; a From written as "Name <addr>" gives its angle part.
std::string BareAddress(const std::string& text) {
  size_t open = text.rfind('<');
  size_t close = text.rfind('>');
  if (open != std::string::npos && close != std::string::npos && close > open)
    return text.substr(open + 1, close - open - 1);
  return text;
}

}  // namespace

Status SmtpClient::SendEmail(const EmailObject& email) {
  SmtpEnvelope envelope;
  envelope.from = BareAddress(email.From());
  for (const auto* list : {&email.ToList(), &email.CcList(), &email.BccList()})
    for (const auto& a : *list)
      if (!a.address.empty()) envelope.recipients.push_back(BareAddress(a.address));
  return Send(
      envelope,
      [](const void* src, std::string& storage, std::string_view& wire) {
        if (!static_cast<const EmailObject*>(src)->Render(storage)) return false;
        wire = storage;
        return true;
      },
      &email);
}

}  // namespace dtl

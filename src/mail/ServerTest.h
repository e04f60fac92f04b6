// The server test shared by the settings dialogs and `dtl test-server`: does an SMTP server
// answer with a 220 greeting? No login is tried.
#pragma once

#include <string>

#include "mail/MailLog.h"
#include "mail/SmtpClient.h"

namespace dtl {

// Returns "Success." when the server at settings.host:settings.port (port 0 means 25; TLS
// from the first byte when settings.ssl) greets with 220, else "Failure.". A host shorter than
// two characters fails at once without touching the network. When `log` is given it receives
// the mail sender's log of the attempt (the reason of a failure). Blocks up to the connect and
// reply time-outs in `settings`.
std::string ServerTest(SmtpSettings settings, MailLog* log = nullptr);

}  // namespace dtl

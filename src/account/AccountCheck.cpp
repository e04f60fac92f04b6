#include "account/AccountCheck.h"

#include "mail/SmtpClient.h"
#include "receive/ImapSession.h"

namespace dtl {

AccountCheckResult TestAccountLogins(const AccountProfile& profile,
                                     const AccountCredentials& credentials,
                                     const AccountCheckSettings& settings, std::stop_token stop) {
  AccountCheckResult result;

  SmtpSettings smtp;
  smtp.host = profile.smtp.host;
  smtp.port = profile.smtp.port;
  smtp.ssl = profile.smtp.security == ServerSecurity::ImplicitTls;
  // Without implicit TLS the upgrade is required and checked, and a login never goes out in
  // the clear whatever the server offers.
  smtp.startTls = StartTlsMode::Verified;
  smtp.allowPlainLogin = false;
  smtp.user = profile.smtp.user;
  smtp.caFile = settings.caFile;
  smtp.connectTimeout = settings.connectTimeout;
  smtp.replyTimeout = settings.replyTimeout;
  if (credentials.accessToken)
    smtp.accessToken = credentials.accessToken;
  else
    smtp.password = credentials.password;
  {
    SmtpClient client(std::move(smtp), nullptr, stop);
    result.smtp = client.VerifyLogin();
    result.smtpSecurity = client.Security();
    // The client keeps its settings (and the password in them) until it goes.
    client.Settings().password.assign(client.Settings().password.size(), '\0');
  }

  if (stop.stop_requested()) {
    result.imap = Error::Cancelled();
    return result;
  }
  ImapSettings imap;
  imap.host = profile.imap.host;
  imap.port = profile.imap.port;
  imap.security = profile.imap.security == ServerSecurity::StartTls ? ImapSecurity::StartTls
                                                                    : ImapSecurity::ImplicitTls;
  imap.user = profile.imap.user;
  imap.caFile = settings.caFile;
  imap.connectTimeout = settings.connectTimeout;
  imap.ioTimeout = settings.replyTimeout;
  if (credentials.accessToken)
    imap.accessToken = credentials.accessToken;
  else
    imap.password = credentials.password;
  ImapSession session(std::move(imap), stop);
  result.imap = session.Open();
  if (result.imap.ok()) (void)session.Logout();
  return result;
}

}  // namespace dtl

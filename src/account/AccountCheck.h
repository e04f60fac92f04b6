// Trying an account's logins before it is kept: for SMTP and for IMAP each, connect, secure the
// connection as the profile says, log in and leave (QUIT / LOGOUT). Nothing is sent or changed.
#pragma once

#include <chrono>
#include <stop_token>
#include <string>

#include "account/AccountProfile.h"
#include "base/Error.h"
#include "mail/AccessToken.h"

namespace dtl {

// What the logins use. With accessToken set the logins are OAuth2 (the password is unused).
struct AccountCredentials {
  std::string password;
  AccessTokenFn accessToken;
};

struct AccountCheckSettings {
  std::string caFile;  // PEM bundle; empty: DTL_CA_FILE, else the system CAs
  std::chrono::milliseconds connectTimeout{15000};
  std::chrono::milliseconds replyTimeout{30000};
};

struct AccountCheckResult {
  Status smtp;  // the SMTP login's outcome (Auth for a refused login, Tls, Network, ...)
  Status imap;  // the IMAP login's outcome
  std::string smtpSecurity;  // "implicit TLS" or "STARTTLS" once connected
  bool ok() const { return smtp.ok() && imap.ok(); }
};

// Tries both logins of `profile`, one after the other, on the caller's thread. A stop makes the
// login under way (and the next) fail with Cancelled. The credentials are not kept.
AccountCheckResult TestAccountLogins(const AccountProfile& profile,
                                     const AccountCredentials& credentials,
                                     const AccountCheckSettings& settings,
                                     std::stop_token stop = {});

}  // namespace dtl

// The account as the settings store keeps it: SMTPServer/SMTPPort/SSL/SMTPUserName/SMTPAuth,
// IMAPServer/IMAPPort/IMAPSecurity/IMAPUserName/IMAPAuth, FromAddress, SendType and, for an
// OAuth2 account, OAuth2Provider/OAuth2User. Passwords go through SettingsStore::SetString,
// which decides where secrets are kept.
#pragma once

#include <string>

#include "account/AccountProfile.h"
#include "base/Error.h"

namespace dtl {

class SettingsStore;

// The profile the settings describe now (source Settings). SSL 1 = SMTP implicit TLS, 0 =
// STARTTLS (the SMTP client requires it before any login); LoginKind is OAuth2 when SMTPAuth or
// IMAPAuth says so.
AccountProfile ProfileFromSettings(const SettingsStore& store);

// Writes the profile's servers, login names, login kind, FromAddress (the profile's address)
// and SendType SMTP; for an OAuth2 profile also OAuth2Provider and OAuth2User. Passwords and
// tokens are not touched. The store's error when a value cannot be written (values written
// before it stay).
Status StoreProfile(SettingsStore& store, const AccountProfile& profile);

// Writes `password` as both the SMTP and the IMAP password (SMTPPass, IMAPPass).
Status StoreAccountPassword(SettingsStore& store, const std::string& password);

}  // namespace dtl

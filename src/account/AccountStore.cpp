#include "account/AccountStore.h"

#include "base/SettingsStore.h"
#include "send/SendRequest.h"

namespace dtl {

AccountProfile ProfileFromSettings(const SettingsStore& store) {
  AccountProfile p;
  p.address = store.FromAddress();
  p.smtp.host = store.SmtpServer();
  p.smtp.port = static_cast<int>(store.SmtpPort());
  // SSL 0 is not plain: the SMTP client upgrades with STARTTLS and refuses a login without it.
  p.smtp.security = store.Ssl() ? ServerSecurity::ImplicitTls : ServerSecurity::StartTls;
  p.smtp.user = store.SmtpUserName();
  p.imap.host = store.ImapServer();
  p.imap.port = static_cast<int>(store.ImapPort());
  p.imap.security = store.ImapStartTls() ? ServerSecurity::StartTls : ServerSecurity::ImplicitTls;
  p.imap.user = store.ImapUserName();
  const bool oauth = store.GetDword("SMTPAuth") == 1 || store.GetDword("IMAPAuth") == 1;
  p.login = oauth ? LoginKind::OAuth2 : LoginKind::Password;
  p.oauthProvider = store.GetString("OAuth2Provider");
  p.source = ProfileSource::Settings;
  p.sourceDetail = store.Path().string();
  return p;
}

Status StoreProfile(SettingsStore& store, const AccountProfile& profile) {
  const uint32_t auth = profile.login == LoginKind::OAuth2 ? 1 : 0;
  const std::pair<const char*, std::string> strings[] = {{"FromAddress", profile.address},
                                                         {"SMTPServer", profile.smtp.host},
                                                         {"SMTPUserName", profile.smtp.user},
                                                         {"IMAPServer", profile.imap.host},
                                                         {"IMAPUserName", profile.imap.user}};
  for (const auto& [name, value] : strings)
    if (auto s = store.SetString(name, value); !s) return s;
  const std::pair<const char*, uint32_t> dwords[] = {
      {"SMTPPort", static_cast<uint32_t>(profile.smtp.port)},
      {"SSL", profile.smtp.security == ServerSecurity::ImplicitTls ? 1u : 0u},
      {"IMAPPort", static_cast<uint32_t>(profile.imap.port)},
      {"IMAPSecurity", profile.imap.security == ServerSecurity::StartTls ? 1u : 0u},
      {"SMTPAuth", auth},
      {"IMAPAuth", auth},
      {"SendType", static_cast<uint32_t>(SendMethod::SmtpServer)}};
  for (const auto& [name, value] : dwords)
    if (auto s = store.SetDword(name, value); !s) return s;
  if (profile.login == LoginKind::OAuth2) {
    if (auto s = store.SetString("OAuth2Provider", profile.oauthProvider); !s) return s;
    if (auto s = store.SetString("OAuth2User", profile.smtp.user); !s) return s;
  }
  return {};
}

Status StoreAccountPassword(SettingsStore& store, const std::string& password) {
  if (auto s = store.SetString("SMTPPass", password); !s) return s;
  return store.SetString("IMAPPass", password);
}

}  // namespace dtl

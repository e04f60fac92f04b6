// The built-in provider table against the providers' published settings, recorded by hand in
// data/provider-settings.txt, and the domain matching that picks a row.
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "account/MailProviders.h"

namespace {

struct Published {
  int line;
  std::string domain, protocol, host, security, login;
  int port;
};

std::vector<Published> ReadPublished() {
  std::ifstream in(DTL_SOURCE_DIR "/tests/account/data/provider-settings.txt");
  std::vector<Published> rows;
  int n = 0;
  for (std::string text; std::getline(in, text);) {
    ++n;
    if (text.empty() || text[0] == '#') continue;
    std::istringstream words(text);
    Published p{n};
    words >> p.domain >> p.protocol >> p.host >> p.port >> p.security >> p.login;
    rows.push_back(p);
  }
  return rows;
}

const char* LoginWord(dtl::ProviderLogin l) {
  switch (l) {
    case dtl::ProviderLogin::Password: return "password";
    case dtl::ProviderLogin::AppPassword: return "app-password";
    case dtl::ProviderLogin::OAuth2Only: return "oauth2";
  }
  return "?";
}

TEST(MailProviders, TableAgreesWithEveryPublishedSetting) {
  const auto rows = ReadPublished();
  ASSERT_GE(rows.size(), 40u);
  for (const auto& p : rows) {
    SCOPED_TRACE("provider-settings.txt line " + std::to_string(p.line) + ": " + p.domain);
    const dtl::MailProvider* m = dtl::FindMailProvider(p.domain);
    ASSERT_NE(m, nullptr);
    ASSERT_TRUE(p.protocol == "smtp" || p.protocol == "imap");
    const bool smtp = p.protocol == "smtp";
    EXPECT_EQ(smtp ? m->smtpHost : m->imapHost, p.host);
    EXPECT_EQ(smtp ? m->smtpPort : m->imapPort, p.port);
    const auto security = smtp ? m->smtpSecurity : m->imapSecurity;
    EXPECT_EQ(security == dtl::ServerSecurity::ImplicitTls ? "SSL" : "STARTTLS", p.security);
    EXPECT_EQ(LoginWord(m->login), p.login);
  }
}

TEST(MailProviders, EveryProviderTheIssueNamesIsRecorded) {
  std::set<std::string_view> recorded;
  for (const auto& p : ReadPublished())
    if (auto* m = dtl::FindMailProvider(p.domain)) recorded.insert(m->name);
  for (const char* name : {"Gmail", "Outlook.com", "Microsoft 365", "Yahoo Mail", "iCloud Mail",
                           "Fastmail", "GMX", "mail.com", "Zoho Mail"})
    EXPECT_TRUE(recorded.count(name)) << name;
}

TEST(MailProviders, OAuthProvidersAreTheOnesTheLoginKnows) {
  for (const auto& p : dtl::MailProviders()) {
    SCOPED_TRACE(std::string(p.name));
    if (p.login == dtl::ProviderLogin::OAuth2Only) EXPECT_FALSE(p.oauthProvider.empty());
    if (!p.oauthProvider.empty())
      EXPECT_TRUE(p.oauthProvider == "google" || p.oauthProvider == "microsoft" ||
                  p.oauthProvider == "yahoo");
  }
}

TEST(MailProviders, DomainMatching) {
  const struct {
    const char* domain;
    const char* provider;  // nullptr: no row
  } cases[] = {
      {"GMail.COM", "Gmail"},            // case does not matter
      {"gmail.com.", "Gmail"},           // a fully qualified name
      {"hotmail.fr", "Outlook.com"},     // a country suffix
      {"hotmail.co.uk", "Outlook.com"},  // a two-label suffix
      {"live.com.au", "Outlook.com"},
      {"yahoo.co.jp", "Yahoo Mail"},
      {"contoso.onmicrosoft.com", "Microsoft 365"},
      {"onmicrosoft.com", nullptr},   // the suffix itself is no tenant
      {"live.example.org", nullptr},  // "live.*" is not any domain under "live."
      {"hotmail.mycompany.com", nullptr},
      {"notgmail.com", nullptr},  // whole labels only
      {"gmail.com.evil.test", nullptr},
      {"example.test", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.domain);
    const dtl::MailProvider* m = dtl::FindMailProvider(c.domain);
    if (!c.provider) {
      EXPECT_EQ(m, nullptr) << m->name;
    } else {
      ASSERT_NE(m, nullptr);
      EXPECT_EQ(m->name, c.provider);
    }
  }
}

TEST(MailProviders, ProfileCarriesAddressLoginAndWhereFrom) {
  auto p = dtl::ProfileFromProvider(*dtl::FindMailProvider("outlook.com"), "Ann@Outlook.com");
  EXPECT_EQ(p.smtp.user, "Ann@Outlook.com");
  EXPECT_EQ(p.imap.user, "Ann@Outlook.com");
  EXPECT_EQ(p.login, dtl::LoginKind::OAuth2);
  EXPECT_EQ(p.oauthProvider, "microsoft");
  EXPECT_EQ(p.source, dtl::ProfileSource::BuiltIn);
  EXPECT_FALSE(p.notes.empty());
  auto g = dtl::ProfileFromProvider(*dtl::FindMailProvider("gmail.com"), "b@gmail.com");
  EXPECT_EQ(g.login, dtl::LoginKind::Password);  // an app password; OAuth2 stays possible
  EXPECT_EQ(g.oauthProvider, "google");
}

}  // namespace

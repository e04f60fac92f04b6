// The account as the settings store keeps it: every field goes to its setting and comes back.
#include <gtest/gtest.h>

#include "account/AccountStore.h"
#include "base/SettingsStore.h"
#include "support/TestSupport.h"

namespace {

dtl::AccountProfile Sample(dtl::ServerSecurity smtp, dtl::ServerSecurity imap,
                           dtl::LoginKind login) {
  dtl::AccountProfile p;
  p.address = "ann@example.test";
  p.smtp = {"smtp.example.test", smtp == dtl::ServerSecurity::ImplicitTls ? 465 : 587, smtp,
            "ann@example.test"};
  p.imap = {"imap.example.test", imap == dtl::ServerSecurity::ImplicitTls ? 993 : 143, imap, "ann"};
  p.login = login;
  if (login == dtl::LoginKind::OAuth2) p.oauthProvider = "microsoft";
  return p;
}

TEST(AccountStore, ProfileRoundTripsThroughTheSettings) {
  using S = dtl::ServerSecurity;
  const struct {
    S smtp, imap;
    dtl::LoginKind login;
    uint32_t ssl, imapSecurity, auth;
  } cases[] = {
      {S::ImplicitTls, S::ImplicitTls, dtl::LoginKind::Password, 1, 0, 0},
      {S::StartTls, S::StartTls, dtl::LoginKind::Password, 0, 1, 0},
      {S::StartTls, S::ImplicitTls, dtl::LoginKind::OAuth2, 0, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ssl * 100 + c.imapSecurity * 10 + c.auth);
    dtltest::TempDir dir;
    dtl::SettingsStore store(dir.path() / "settings.reg");
    const auto p = Sample(c.smtp, c.imap, c.login);
    ASSERT_TRUE(dtl::StoreProfile(store, p));
    EXPECT_EQ(store.GetDword("SSL"), c.ssl);
    EXPECT_EQ(store.GetDword("IMAPSecurity"), c.imapSecurity);
    EXPECT_EQ(store.GetDword("SMTPAuth"), c.auth);
    EXPECT_EQ(store.GetDword("IMAPAuth"), c.auth);
    EXPECT_EQ(store.GetDword("SendType"), 2u);  // the SMTP server
    EXPECT_EQ(store.FromAddress(), "ann@example.test");
    EXPECT_EQ(store.SmtpPass(), "");  // a profile carries no secret
    if (c.login == dtl::LoginKind::OAuth2) {
      EXPECT_EQ(store.GetString("OAuth2Provider"), "microsoft");
      EXPECT_EQ(store.GetString("OAuth2User"), "ann@example.test");
    }
    const auto back = dtl::ProfileFromSettings(store);
    EXPECT_EQ(back.address, p.address);
    EXPECT_EQ(back.smtp.host, p.smtp.host);
    EXPECT_EQ(back.smtp.port, p.smtp.port);
    EXPECT_EQ(back.smtp.security, p.smtp.security);
    EXPECT_EQ(back.smtp.user, p.smtp.user);
    EXPECT_EQ(back.imap.host, p.imap.host);
    EXPECT_EQ(back.imap.port, p.imap.port);
    EXPECT_EQ(back.imap.security, p.imap.security);
    EXPECT_EQ(back.imap.user, p.imap.user);
    EXPECT_EQ(back.login, p.login);
    EXPECT_EQ(back.source, dtl::ProfileSource::Settings);
  }
}

TEST(AccountStore, PasswordGoesToBothLogins) {
  dtltest::TempDir dir;
  dtl::SettingsStore store(dir.path() / "settings.reg");
  ASSERT_TRUE(dtl::StoreAccountPassword(store, "s3cret"));
  EXPECT_EQ(store.SmtpPass(), "s3cret");
  EXPECT_EQ(store.ImapPass(), "s3cret");
}

}  // namespace

// A discovered name must look like a server's; a typed one may also be a bare name of the
// user's own network. Nothing with URL parts or blanks passes either way.
TEST(AccountStore, HostNamesFromDocumentsNeedADotAndTypedOnesMayNot) {
  struct Row {
    const char* host;
    bool discovered;
    bool typed;
  };
  for (const Row& r : {Row{"smtp.example.org", true, true}, Row{"localhost", true, true},
                       Row{"192.0.2.7", true, true}, Row{"mailhost", false, true},
                       Row{"mail-1", false, true}, Row{"", false, false},
                       Row{"smtp.example.org:25", false, false}, Row{"evil/x", false, false},
                       Row{"a b", false, false}, Row{"-bad.example", false, false},
                       Row{"user@host.example", false, false}, Row{"trailing.", false, false}}) {
    EXPECT_EQ(dtl::IsUsableHostName(r.host), r.discovered) << r.host;
    EXPECT_EQ(dtl::IsUsableHostName(r.host, true), r.typed) << r.host;
  }
}

// The providers' OAuth2 endpoints and where their client ids come from; nothing secret built in.
#include "account/OAuthProviders.h"

#include <gtest/gtest.h>

#include "base/SettingsStore.h"
#include "support/TestSupport.h"

namespace {

using dtl::ErrorCode;

struct BuiltInCase {
  const char* id;
  const char* authorize;
  const char* token;
  const char* scope;
  const char* idSetting;
  const char* secretSetting;
};

TEST(OAuthProviders, BuiltInProvidersUseTheirPublishedEndpointsAndTheirOwnClientSettings) {
  const BuiltInCase cases[] = {
      {"google", "https://accounts.google.com/o/oauth2/v2/auth",
       "https://oauth2.googleapis.com/token", "https://mail.google.com/", "GoogleClientId",
       "GoogleClientSecret"},
      {"microsoft", "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
       "https://login.microsoftonline.com/common/oauth2/v2.0/token",
       "https://outlook.office.com/IMAP.AccessAsUser.All https://outlook.office.com/SMTP.Send "
       "offline_access",
       "MicrosoftClientId", "MicrosoftClientSecret"},
      {"yahoo", "https://api.login.yahoo.com/oauth2/request_auth",
       "https://api.login.yahoo.com/oauth2/get_token", "mail-w", "YahooClientId",
       "YahooClientSecret"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    dtltest::TempDir dir;
    dtl::SettingsStore store(dir / "settings.reg");
    ASSERT_TRUE(store.SetString(c.idSetting, std::string("id-of-") + c.id));
    ASSERT_TRUE(store.SetString(c.secretSetting, "shh"));
    auto p = dtl::LoadOAuthProvider(store, c.id);
    ASSERT_TRUE(p) << p.error().message;
    EXPECT_EQ(p->authorizeUrl, c.authorize);
    EXPECT_EQ(p->tokenUrl, c.token);
    EXPECT_EQ(p->scope, c.scope);
    EXPECT_EQ(p->clientId, std::string("id-of-") + c.id);
    EXPECT_EQ(p->clientSecret, "shh");
    EXPECT_EQ(dtl::OAuthClientIdSetting(c.id), c.idSetting);
  }
}

TEST(OAuthProviders, MissingClientIdNamesTheSettingAndTheDocs) {
  for (const char* id : {"google", "microsoft", "yahoo", "custom"}) {
    SCOPED_TRACE(id);
    dtltest::TempDir dir;
    dtl::SettingsStore store(dir / "settings.reg");
    ASSERT_TRUE(store.SetString("OAuth2AuthorizeUrl", "https://auth.example/authorize"));
    ASSERT_TRUE(store.SetString("OAuth2TokenUrl", "https://auth.example/token"));
    ASSERT_TRUE(store.SetString("OAuth2Scope", "mail"));
    auto p = dtl::LoadOAuthProvider(store, id);
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error().code, ErrorCode::NotFound);
    EXPECT_NE(p.error().message.find(dtl::OAuthClientIdSetting(id)), std::string::npos)
        << p.error().message;
    EXPECT_NE(p.error().message.find("docs/accounts.md"), std::string::npos);
  }
}

TEST(OAuthProviders, CustomProviderTakesItsEndpointsFromTheSettingsAndOnlyOverHttps) {
  struct Case {
    const char* name;
    const char* authorize;
    const char* token;
    ErrorCode error;  // Failed: accepted
  } cases[] = {
      {"https both", "https://auth.example/authorize", "https://auth.example/token",
       ErrorCode::Failed},
      {"http consent page", "http://auth.example/authorize", "https://auth.example/token",
       ErrorCode::InvalidArgument},
      {"http token endpoint", "https://auth.example/authorize", "http://auth.example/token",
       ErrorCode::InvalidArgument},
      {"no scheme", "auth.example/authorize", "https://auth.example/token",
       ErrorCode::InvalidArgument},
      {"missing token endpoint", "https://auth.example/authorize", "", ErrorCode::NotFound},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dtltest::TempDir dir;
    dtl::SettingsStore store(dir / "settings.reg");
    ASSERT_TRUE(store.SetString("OAuth2AuthorizeUrl", c.authorize));
    ASSERT_TRUE(store.SetString("OAuth2TokenUrl", c.token));
    ASSERT_TRUE(store.SetString("OAuth2Scope", "mail offline"));
    ASSERT_TRUE(store.SetString("OAuth2ClientId", "cid"));
    auto p = dtl::LoadOAuthProvider(store, "custom");
    if (c.error == ErrorCode::Failed) {
      ASSERT_TRUE(p) << p.error().message;
      EXPECT_EQ(p->authorizeUrl, c.authorize);
      EXPECT_EQ(p->tokenUrl, c.token);
      EXPECT_EQ(p->scope, "mail offline");
      EXPECT_EQ(p->clientSecret, "");
    } else {
      ASSERT_FALSE(p);
      EXPECT_EQ(p.error().code, c.error) << p.error().message;
    }
  }
}

TEST(OAuthProviders, UnknownProviderIsRefused) {
  dtltest::TempDir dir;
  dtl::SettingsStore store(dir / "settings.reg");
  auto p = dtl::LoadOAuthProvider(store, "aol");
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().code, ErrorCode::InvalidArgument);
}

TEST(OAuthProviders, HttpsCheckAcceptsOnlyAbsoluteHttpsAddresses) {
  const std::pair<const char*, bool> cases[] = {
      {"https://login.example/token", true},
      {"HTTPS://login.example/token", true},
      {"https://127.0.0.1:4443/token", true},
      {"http://login.example/token", false},
      {"ftp://login.example/token", false},
      {"//login.example/token", false},
      {"", false},
      {"https://", false},
  };
  for (const auto& [url, ok] : cases) {
    SCOPED_TRACE(url);
    EXPECT_EQ(static_cast<bool>(dtl::CheckHttpsUrl(url, "X")), ok);
  }
}

}  // namespace

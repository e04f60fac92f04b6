// Access tokens from a kept refresh token, against the local authorization server: when the
// source renews, what it keeps, and what the user is told when the login has gone bad.
#include "account/AccessTokens.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "base/SettingsStore.h"
#include "fixtures/oauth_server.h"
#include "support/OAuthCase.h"
#include "support/TestSupport.h"

namespace {

using dtl::ErrorCode;
using dtltest::OAuthServer;
using namespace std::chrono_literals;

constexpr const char* kUser = "joe@example.com";

class AccessTokensTest : public dtltest::OAuthServerCase {
 protected:
  void SetUp() override {
    OAuthServerCase::SetUp();
    if (HasFatalFailure()) return;
    store_ = std::make_unique<dtl::SettingsStore>(dir_ / "settings.reg");
    refresh_ = server_->MintRefreshToken(kUser);
    ASSERT_FALSE(refresh_.empty());
    ASSERT_TRUE(store_->SetString("OAuth2User", kUser));
    ASSERT_TRUE(store_->SetString("OAuth2RefreshToken", refresh_));
  }

  dtl::AccessTokenSourceParams Params() {
    dtl::AccessTokenSourceParams p;
    p.provider.id = "custom";
    p.provider.tokenUrl = server_->TokenUrl();
    p.provider.authorizeUrl = server_->AuthorizeUrl();
    p.provider.clientId = "cid";
    p.endpoints = server_->Endpoints();
    p.clock = [this] { return base_ + std::chrono::seconds(offset_.load()); };
    return p;
  }
  bool Active(const std::string& token) {
    auto r = server_->Request(server_->IntrospectUrl(), {{"token", token}});
    return OAuthServer::Field(r.body, "active") == "true";
  }

  dtltest::TempDir dir_;
  std::unique_ptr<dtl::SettingsStore> store_;
  std::string refresh_;
  const std::chrono::system_clock::time_point base_ = std::chrono::system_clock::now();
  std::atomic<long> offset_{0};  // seconds the fake clock has moved on
};

TEST_F(AccessTokensTest, CachedTokenIsRenewedOnlyWhenLessThanAMinuteIsLeft) {
  // Tokens live 3600 s; the source renews once fewer than 60 s are left.
  struct Case {
    const char* name;
    long advance;
    bool renewed;
  } cases[] = {
      {"at once", 0, false},
      {"61 s left", 3539, false},
      {"60 s left", 3540, true},
      {"expired", 4000, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    offset_ = 0;
    auto source = dtl::MakeAccessTokenSource(*store_, Params());
    const int before = server_->Stat("refreshes");
    auto first = source(false);
    ASSERT_TRUE(first) << first.error().message;
    EXPECT_TRUE(Active(*first));
    offset_ = c.advance;
    auto second = source(false);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_EQ(*second != *first, c.renewed);
    EXPECT_EQ(server_->Stat("refreshes") - before, c.renewed ? 2 : 1);
  }
}

TEST_F(AccessTokensTest, RenewAfterAServerRefusalFetchesAFreshTokenAtOnce) {
  auto source = dtl::MakeAccessTokenSource(*store_, Params());
  auto first = source(false);
  ASSERT_TRUE(first) << first.error().message;
  server_->ExpireAccessTokens();  // what a mail server's refusal stands for
  EXPECT_FALSE(Active(*first));
  auto renewed = source(true);
  ASSERT_TRUE(renewed) << renewed.error().message;
  EXPECT_NE(*renewed, *first);
  EXPECT_TRUE(Active(*renewed));
  EXPECT_EQ(server_->Stat("refreshes"), 2);
}

TEST_F(AccessTokensTest, RotatedRefreshTokenIsKeptForTheNextStart) {
  server_->SetRotateRefreshTokens(true);
  {
    auto source = dtl::MakeAccessTokenSource(*store_, Params());
    auto token = source(false);
    ASSERT_TRUE(token) << token.error().message;
  }
  const std::string kept = store_->GetString("OAuth2RefreshToken");
  EXPECT_NE(kept, refresh_);
  EXPECT_FALSE(kept.empty());
  // A later run (a new source over the same store) logs in with the rotated token; the old one
  // is gone at the provider.
  auto later = dtl::MakeAccessTokenSource(*store_, Params());
  auto token = later(false);
  ASSERT_TRUE(token) << token.error().message;
  EXPECT_TRUE(Active(*token));
}

TEST_F(AccessTokensTest, RefusedRefreshTokenAsksTheUserToLogInAgain) {
  struct Case {
    const char* name;
    std::function<void()> breakLogin;
    std::string action;
  } cases[] = {
      {"revoked", [&] { server_->RevokeRefreshToken(refresh_); }, ""},
      {"none kept", [&] { ASSERT_TRUE(store_->SetString("OAuth2RefreshToken", "")); }, ""},
      {"desktop wording", [&] { server_->RevokeRefreshToken(refresh_); }, "Account > Sign in"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(
        store_->SetString("OAuth2RefreshToken", refresh_ = server_->MintRefreshToken(kUser)));
    c.breakLogin();
    auto params = Params();
    if (!c.action.empty()) params.loginAction = c.action;
    auto source = dtl::MakeAccessTokenSource(*store_, params);
    auto token = source(false);
    ASSERT_FALSE(token);
    EXPECT_EQ(token.error().code, ErrorCode::Auth);
    EXPECT_EQ(token.error().message,
              "The OAuth2 login for joe@example.com is no longer valid; log in again (" +
                  (c.action.empty() ? std::string("dtl account login") : c.action) + ")");
  }
}

TEST_F(AccessTokensTest, ConcurrentCallersShareOneRenewal) {
  auto source = dtl::MakeAccessTokenSource(*store_, Params());
  std::vector<std::string> got(8);
  {
    std::vector<std::jthread> threads;
    for (size_t i = 0; i < got.size(); ++i)
      threads.emplace_back([&, i] {
        auto t = source(false);
        got[i] = t ? *t : "error: " + t.error().message;
      });
  }
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), 1u) << got[0];
  EXPECT_EQ(server_->Stat("refreshes"), 1);
}

TEST_F(AccessTokensTest, UnreachableTokenEndpointIsANetworkErrorNotALogout) {
  auto params = Params();
  server_.reset();  // nobody listens on its port any more
  auto source = dtl::MakeAccessTokenSource(*store_, params);
  auto token = source(false);
  ASSERT_FALSE(token);
  EXPECT_EQ(token.error().code, ErrorCode::Network) << token.error().message;
  EXPECT_EQ(store_->GetString("OAuth2RefreshToken"), refresh_);
}

TEST_F(AccessTokensTest, SourceFromSettingsUsesTheConfiguredProvider) {
  ASSERT_TRUE(store_->SetString("OAuth2Provider", "custom"));
  ASSERT_TRUE(store_->SetString("OAuth2AuthorizeUrl", server_->AuthorizeUrl()));
  ASSERT_TRUE(store_->SetString("OAuth2TokenUrl", server_->TokenUrl()));
  ASSERT_TRUE(store_->SetString("OAuth2Scope", "mail"));
  ASSERT_TRUE(store_->SetString("OAuth2ClientId", "cid"));
  auto source = dtl::MakeAccessTokenSourceFromSettings(*store_, server_->Endpoints());
  ASSERT_TRUE(source) << source.error().message;
  auto token = (*source)(false);
  ASSERT_TRUE(token) << token.error().message;
  EXPECT_TRUE(Active(*token));

  ASSERT_TRUE(store_->SetString("OAuth2Provider", "google"));
  auto google = dtl::MakeAccessTokenSourceFromSettings(*store_, server_->Endpoints());
  ASSERT_FALSE(google);
  EXPECT_NE(google.error().message.find("GoogleClientId"), std::string::npos);
}

}  // namespace

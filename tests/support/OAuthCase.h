// GoogleTest fixtures for cases that log in with OAuth2 against the authorization-server
// fixture (fixtures/oauth_server.h):
// - OAuthServerCase: the provider PKI once per suite and a case's own server taking client
//   id "cid" (server_);
// - OAuthMailSystemFixture: a case's server and the mail system of fixtures/mail_system.h
//   asking it about every token (oauth_, mail_), with Mint() for a valid token;
// - TokenQueue: an access-token source handing out fixed tokens and recording the asks.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fixtures/mail_system.h"
#include "fixtures/oauth_server.h"
#include "mail/AccessToken.h"
#include "support/MailSystemCase.h"

namespace dtltest {

// Hands out the given tokens in order and records each call's `renew`; past the last token,
// Auth "no more tokens; log in to the account again". Outlives every Fn() it gives.
struct TokenQueue {
  std::vector<std::string> tokens;
  std::vector<bool> asked;
  dtl::AccessTokenFn Fn() {
    return [this](bool renew) -> dtl::Result<std::string> {
      asked.push_back(renew);
      if (asked.size() > tokens.size())
        return dtl::Error(dtl::ErrorCode::Auth, "no more tokens; log in to the account again");
      return tokens[asked.size() - 1];
    };
  }
};

class OAuthServerCase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = new ProviderPki(); }
  static void TearDownTestSuite() {
    delete pki_;
    pki_ = nullptr;
  }
  // Derived SetUp()s call this first and return on HasFatalFailure().
  void SetUp() override {
    ASSERT_TRUE(pki_->ok()) << pki_->output();
    server_ = std::make_unique<OAuthServer>(pki_, std::vector<std::string>{"--client-id", "cid"});
    ASSERT_TRUE(server_->running()) << server_->error();
  }

  static inline ProviderPki* pki_ = nullptr;
  std::unique_ptr<OAuthServer> server_;
};

class OAuthMailSystemFixture : public MailSystemFixture {
 protected:
  // Derived SetUp()s call this first and return on Stopped().
  void SetUp() override {
    MailSystemFixture::SetUp();
    if (Stopped()) return;
    oauth_ = std::make_unique<OAuthServer>(pki_.get());
    ASSERT_TRUE(oauth_->running()) << oauth_->error();
    StartMail(oauth_->IntrospectUrl());
  }
  // A token for the mailbox's login, good for `lifetime` seconds (negative: already over).
  std::string Mint(long lifetime = 3600) const {
    return oauth_->MintAccessToken(MailSystem::login(), lifetime);
  }

  std::unique_ptr<OAuthServer> oauth_;
};

}  // namespace dtltest

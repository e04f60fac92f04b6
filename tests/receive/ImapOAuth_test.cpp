// The IMAP session's OAuth2 login: against Dovecot, whose OAuth2 password database asks the
// authorization-server fixture about every token, and against a scripted server for the
// exchange without SASL-IR that Dovecot never needs.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fixtures/mail_system.h"
#include "fixtures/oauth_server.h"
#include "mail/SmtpAuth.h"
#include "receive/ImapSession.h"
#include "support/LoopbackPeer.h"
#include "support/MailSystemCase.h"
#include "support/OAuthCase.h"
#include "support/ScriptedImap.h"

namespace {

using dtl::ErrorCode;
using dtl::ImapSecurity;
using dtltest::MailSystem;
using dtltest::TokenQueue;

class ImapOAuth : public dtltest::OAuthMailSystemFixture {
 protected:
  dtl::ImapSettings Settings(ImapSecurity security, TokenQueue& tokens) const {
    dtl::ImapSettings s;
    s.host = MailSystem::host();
    s.security = security;
    s.port = security == ImapSecurity::ImplicitTls ? mail_->imapsPort() : mail_->imapPort();
    s.user = MailSystem::login();
    s.accessToken = tokens.Fn();
    s.caFile = mail_->caFile();
    s.connectTimeout = std::chrono::milliseconds(10000);
    s.ioTimeout = std::chrono::milliseconds(30000);
    return s;
  }
  static void ExpectNoSecretIn(const dtl::ImapSession& session, const std::string& token) {
    const std::string xoauth2 = dtl::Base64Encode(dtl::XOAuth2Blob(MailSystem::login(), token));
    for (const std::string& line : session.log()) {
      EXPECT_EQ(line.find(token), std::string::npos) << line;
      EXPECT_EQ(line.find(xoauth2), std::string::npos) << line;
    }
  }
};

TEST_F(ImapOAuth, AValidTokenLogsInWithEitherMechanismOverEitherTls) {
  const struct {
    ImapSecurity security;
    std::vector<std::string> mechanisms;
    std::string used;
  } cases[] = {
      {ImapSecurity::ImplicitTls, {}, "OAUTHBEARER"},
      {ImapSecurity::StartTls, {}, "OAUTHBEARER"},
      {ImapSecurity::ImplicitTls, {"xoauth2"}, "XOAUTH2"},
      {ImapSecurity::StartTls, {"PLAIN", "XOAUTH2"}, "XOAUTH2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.used);
    const std::string token = Mint();
    ASSERT_FALSE(token.empty());
    TokenQueue tokens{{token}};
    auto settings = Settings(c.security, tokens);
    settings.mechanisms = c.mechanisms;
    dtl::ImapSession session(settings);
    const dtl::Status opened = session.Open();
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    EXPECT_EQ(session.loginMethod(), c.used);
    EXPECT_EQ(tokens.asked, std::vector<bool>{false});
    auto inbox = session.Examine("INBOX");
    ASSERT_TRUE(inbox.ok()) << inbox.error().message;
    EXPECT_TRUE(session.Logout().ok());
    ExpectNoSecretIn(session, token);
  }
}

TEST_F(ImapOAuth, AnExpiredTokenIsRenewedOnceOnTheSameConnection) {
  for (const char* mechanism : {"OAUTHBEARER", "XOAUTH2"}) {
    SCOPED_TRACE(mechanism);
    const std::string expired = Mint(-60), fresh = Mint();
    TokenQueue tokens{{expired, fresh}};
    auto settings = Settings(ImapSecurity::ImplicitTls, tokens);
    settings.mechanisms = {mechanism};
    dtl::ImapSession session(settings);
    const dtl::Status opened = session.Open();
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    EXPECT_EQ(tokens.asked, (std::vector<bool>{false, true}));
    EXPECT_EQ(session.state(), dtl::ImapState::Authenticated);
    size_t connections = 0;
    for (const std::string& line : session.log()) connections += line.rfind("-- connected", 0) == 0;
    EXPECT_EQ(connections, 1u);
    EXPECT_TRUE(session.Examine("INBOX").ok());
    ExpectNoSecretIn(session, expired);
    ExpectNoSecretIn(session, fresh);
  }
}

TEST_F(ImapOAuth, ARefusedRenewedTokenFailsAuthAndATokenSourceFailureIsPassedOn) {
  const std::string token = Mint();
  oauth_->ExpireAccessTokens();
  {
    TokenQueue tokens{{token, token}};
    dtl::ImapSession session(Settings(ImapSecurity::StartTls, tokens));
    const dtl::Status opened = session.Open();
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().code, ErrorCode::Auth);
    EXPECT_NE(opened.error().message.find("refused the OAuth2 access token"), std::string::npos)
        << opened.error().message;
    EXPECT_EQ(tokens.asked, (std::vector<bool>{false, true}));
    EXPECT_EQ(session.state(), dtl::ImapState::NotAuthenticated);
  }
  {
    // The refresh token is gone: the source's own words (log in again) reach the caller.
    TokenQueue tokens{{token}};
    dtl::ImapSession session(Settings(ImapSecurity::ImplicitTls, tokens));
    const dtl::Status opened = session.Open();
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.error().code, ErrorCode::Auth);
    EXPECT_EQ(opened.error().message, "no more tokens; log in to the account again");
  }
}

// ---- scripted: what Dovecot does not do ----

// A login as me@x.test to the scripted peer listening on loopback `port`.
dtl::ImapSettings ScriptedSettings(int port) {
  dtl::ImapSettings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.user = "me@x.test";
  s.ioTimeout = std::chrono::milliseconds(10000);
  return s;
}

// One connection: the greeting offers XOAUTH2 without SASL-IR; the token must wait for the
// continuation, and an error challenge must be answered with an empty line before the NO.
TEST(ImapOAuthScripted, WithoutSaslIrTheTokenFollowsTheContinuation) {
  const std::string first = dtl::Base64Encode(dtl::XOAuth2Blob("me@x.test", "tok-0"));
  const std::string second = dtl::Base64Encode(dtl::XOAuth2Blob("me@x.test", "tok-1"));
  const std::string challenge = dtl::Base64Encode(R"({"status":"401","schemes":"bearer"})");
  std::vector<std::string> heard;
  dtltest::LoopbackPeer peer([&](int fd) {
    std::string buf;
    dtltest::SendAll(fd, "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN AUTH=XOAUTH2] hi\r\n");
    auto next = [&] {
      auto line = dtltest::ReadUntil(fd, buf, "\r\n");
      heard.push_back(line ? *line : "<gone>");
      return line ? *line : std::string();
    };
    if (next() != "a1 AUTHENTICATE XOAUTH2") return false;
    dtltest::SendAll(fd, "+ \r\n");
    if (next() != first) return false;
    dtltest::SendAll(fd, "+ " + challenge + "\r\n");
    if (next() != "") return false;
    dtltest::SendAll(fd, "a1 NO [AUTHENTICATIONFAILED] no\r\n");
    if (next() != "a2 AUTHENTICATE XOAUTH2") return false;
    dtltest::SendAll(fd, "+ \r\n");
    if (next() != second) return false;
    dtltest::SendAll(fd, "a2 OK [CAPABILITY IMAP4rev1] in\r\n");
    if (next() != "a3 LOGOUT") return false;
    dtltest::SendAll(fd, "* BYE bye\r\na3 OK done\r\n");
    return false;
  });
  dtl::ImapSettings s = ScriptedSettings(peer.port());
  std::vector<bool> asked;
  s.accessToken = [&](bool renew) -> dtl::Result<std::string> {
    asked.push_back(renew);
    return std::string(renew ? "tok-1" : "tok-0");
  };
  dtl::ImapSession session(s);
  session.SetConnector(dtltest::PretendTlsConnector());
  const dtl::Status opened = session.Open();
  EXPECT_TRUE(opened.ok()) << opened.error().message;
  EXPECT_EQ(session.loginMethod(), "XOAUTH2");
  EXPECT_TRUE(session.Logout().ok());
  peer.Join();
  EXPECT_EQ(asked, (std::vector<bool>{false, true}));
  EXPECT_EQ(heard.size(), 6u);
  for (const std::string& line : heard) EXPECT_NE(line, "<gone>");
  for (const std::string& line : session.log()) {
    EXPECT_EQ(line.find(first), std::string::npos) << line;
    EXPECT_EQ(line.find(second), std::string::npos) << line;
  }
}

TEST(ImapOAuthScripted, NoOAuthMechanismOfferedFailsWithoutAskingForAToken) {
  dtltest::LoopbackPeer peer([](int fd) {
    dtltest::SendAll(fd, "* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] hi\r\n");
    std::string buf;
    dtltest::ReadUntil(fd, buf, "\r\n");
    return false;
  });
  dtl::ImapSettings s = ScriptedSettings(peer.port());
  bool asked = false;
  s.accessToken = [&](bool) -> dtl::Result<std::string> {
    asked = true;
    return std::string("tok");
  };
  dtl::ImapSession session(s);
  session.SetConnector(dtltest::PretendTlsConnector());
  const dtl::Status opened = session.Open();
  ASSERT_FALSE(opened.ok());
  EXPECT_EQ(opened.error().code, ErrorCode::Unsupported);
  EXPECT_NE(opened.error().message.find("no OAuth2 login"), std::string::npos);
  EXPECT_FALSE(asked);
}

}  // namespace

// The SMTP client's OAuth2 login against Postfix taking its logins from Dovecot, whose OAuth2
// password database asks the authorization-server fixture about every token: what a real
// submission server does with fresh, expired and refused tokens.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fixtures/mail_system.h"
#include "fixtures/oauth_server.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpClient.h"
#include "support/MailSystemCase.h"
#include "support/OAuthCase.h"

namespace {

using dtl::ErrorCode;
using dtltest::MailSystem;
using dtltest::TokenQueue;

class SmtpOAuth : public dtltest::OAuthMailSystemFixture {
 protected:
  dtl::SmtpSettings Settings(int port, bool implicitTls) const {
    dtl::SmtpSettings s;
    s.host = MailSystem::host();
    s.port = port;
    s.ssl = implicitTls;
    s.user = MailSystem::login();
    s.localHostName = "client.test";
    s.caFile = mail_->caFile();
    s.connectTimeout = std::chrono::milliseconds(10000);
    s.replyTimeout = std::chrono::milliseconds(30000);
    return s;
  }
  static std::string Message(const std::string& subject) {
    return "From: " + MailSystem::address() + "\r\nTo: " + MailSystem::address() +
           "\r\nSubject: " + subject + "\r\n\r\nhello\r\n";
  }
  static dtl::SmtpEnvelope Envelope() { return {MailSystem::address(), {MailSystem::address()}}; }
  static std::string LogText(const dtl::MailLogNode& n) {
    std::string out = n.name + "=" + n.text + "\n";
    for (const auto& c : n.children) out += LogText(c);
    return out;
  }
};

TEST_F(SmtpOAuth, AValidTokenLogsInOverStartTlsAndImplicitTlsAndTheMailArrives) {
  const struct {
    const char* name;
    bool implicitTls;
  } cases[] = {{"submission (STARTTLS)", false}, {"smtps", true}};
  size_t delivered = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string token = Mint();
    ASSERT_FALSE(token.empty());
    TokenQueue tokens{{token}};
    auto settings =
        Settings(c.implicitTls ? mail_->smtpsPort() : mail_->submissionPort(), c.implicitTls);
    settings.accessToken = tokens.Fn();
    dtl::SmtpClient client(settings);
    const dtl::Status sent = client.SendMessage(Envelope(), Message(c.name));
    ASSERT_TRUE(sent.ok()) << sent.error().message << "\n" << LogText(client.LastLog().Root());
    EXPECT_EQ(tokens.asked, std::vector<bool>{false});
    const std::string log = LogText(client.LastLog().Root());
    EXPECT_NE(log.find("login_method=OAUTHBEARER"), std::string::npos) << log;
    // Postfix passes on Dovecot's list: both bearer-token mechanisms are offered.
    const size_t offer = log.find("250 AUTH ");
    ASSERT_NE(offer, std::string::npos) << log;
    const std::string line = log.substr(offer, log.find('\n', offer) - offer);
    EXPECT_NE(line.find(" XOAUTH2"), std::string::npos) << line;
    EXPECT_NE(line.find(" OAUTHBEARER"), std::string::npos) << line;
    EXPECT_EQ(log.find(token), std::string::npos) << log;
    ++delivered;
    const auto mails = mail_->ReadMailbox(delivered);
    ASSERT_EQ(mails.size(), delivered);
    EXPECT_EQ(mails.back().subject, c.name);
  }
}

TEST_F(SmtpOAuth, AnExpiredTokenIsRenewedOnceAndTheMailGoesOut) {
  const std::string expired = Mint(-60), fresh = Mint();
  TokenQueue tokens{{expired, fresh}};
  auto settings = Settings(mail_->submissionPort(), false);
  settings.accessToken = tokens.Fn();
  dtl::SmtpClient client(settings);
  const dtl::Status sent = client.SendMessage(Envelope(), Message("after renewal"));
  ASSERT_TRUE(sent.ok()) << sent.error().message << "\n" << LogText(client.LastLog().Root());
  EXPECT_EQ(tokens.asked, (std::vector<bool>{false, true}));
  const auto mails = mail_->ReadMailbox(1);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].subject, "after renewal");
}

TEST_F(SmtpOAuth, ARefusedRenewedTokenFailsTheLoginAndNothingIsDelivered) {
  const std::string token = Mint();
  oauth_->ExpireAccessTokens();
  TokenQueue tokens{{token, token}};
  auto settings = Settings(mail_->submissionPort(), false);
  settings.accessToken = tokens.Fn();
  dtl::SmtpClient client(settings);
  const dtl::Status sent = client.SendMessage(Envelope(), Message("never"));
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().code, ErrorCode::Auth);
  EXPECT_NE(client.FailureCause().find("refused the OAuth2 access token"), std::string::npos)
      << client.FailureCause();
  EXPECT_EQ(tokens.asked, (std::vector<bool>{false, true}));
  EXPECT_FALSE(client.MessageAccepted());
  EXPECT_TRUE(mail_->ReadMailbox(1, {}, std::chrono::seconds(2)).empty());
}

TEST_F(SmtpOAuth, NoTokenGoesOverAConnectionWithoutTls) {
  TokenQueue tokens{{Mint()}};
  auto settings = Settings(mail_->submissionPort(), false);
  settings.startTls = dtl::StartTlsMode::Off;
  settings.accessToken = tokens.Fn();
  dtl::SmtpClient client(settings);
  const dtl::Status sent = client.SendMessage(Envelope(), Message("plain"));
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().code, ErrorCode::Tls);
  // The token was never even asked for, so it cannot have been sent.
  EXPECT_TRUE(tokens.asked.empty());
  EXPECT_EQ(oauth_->Stat("introspections"), 0);
}

}  // namespace

// Trying an account's logins: SmtpClient::VerifyLogin against the scripted SMTP server (a login
// that passes, one refused, a server without STARTTLS never gets the password, a server with no
// usable login method is no pass), and TestAccountLogins against Postfix and Dovecot.
#include <gtest/gtest.h>

#include "account/AccountCheck.h"
#include "fixtures/mail_system.h"
#include "fixtures/smtp_fixture.h"
#include "mail/SmtpClient.h"
#include "support/MailSystemCase.h"

namespace {

using dtltest::MailSystem;

// The whole log as text, one node a line, so a test can look for a command in it.
void Flatten(const dtl::MailLogNode& n, std::string& out) {
  out += n.name + " " + n.text + "\n";
  for (const auto& c : n.children) Flatten(c, out);
}

class VerifyLogin : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = std::make_unique<dtltest::ProviderPki>(); }
  static void TearDownTestSuite() { pki_.reset(); }
  void SetUp() override { ASSERT_TRUE(pki_->ok()) << pki_->output(); }

  dtl::Status Verify(std::vector<std::string> serverArgs, const std::string& password) {
    serverArgs.insert(serverArgs.end(), {"--sink", "--cert", pki_->file("server.pem"), "--key",
                                         pki_->file("server.key"), "--auth", "ann:pw"});
    dtltest::SmtpFixture server(serverArgs);
    if (server.port() <= 0) return dtl::Error(dtl::ErrorCode::Failed, "fixture did not start");
    dtl::SmtpSettings s;
    s.host = "localhost";
    s.port = server.port();
    s.user = "ann";
    s.password = password;
    s.caFile = pki_->file("ca.pem");
    s.connectTimeout = std::chrono::seconds(5);
    s.replyTimeout = std::chrono::seconds(10);
    dtl::SmtpClient client(s);
    auto r = client.VerifyLogin();
    log_.clear();
    Flatten(client.LastLog().Root(), log_);
    return r;
  }
  static inline std::unique_ptr<dtltest::ProviderPki> pki_;
  std::string log_;
};

TEST_F(VerifyLogin, Outcomes) {
  const struct {
    const char* what;
    std::vector<std::string> server;
    const char* password;
    std::optional<dtl::ErrorCode> failure;
  } cases[] = {
      {"the right password over STARTTLS", {"--starttls"}, "pw", std::nullopt},
      {"a wrong password", {"--starttls"}, "nope", dtl::ErrorCode::Auth},
      // The password must not go out in the clear: the check fails before any AUTH.
      {"no STARTTLS offered", {}, "pw", dtl::ErrorCode::Tls},
      {"no login method it speaks",
       {"--starttls", "--mechanisms", "XFOO"},
       "pw",
       dtl::ErrorCode::Unsupported},
      {"no password at all", {"--starttls"}, "", dtl::ErrorCode::InvalidArgument},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = Verify(c.server, c.password);
    if (!c.failure) {
      EXPECT_TRUE(r) << r.error().message << "\n" << log_;
    } else {
      ASSERT_FALSE(r) << log_;
      EXPECT_EQ(r.error().code, *c.failure) << r.error().message;
    }
    if (std::string_view(c.what) == "no STARTTLS offered")
      EXPECT_EQ(log_.find("C: AUTH"), std::string::npos) << log_;
  }
}

class AccountCheckMail : public dtltest::MailSystemFixture {
 protected:
  dtl::AccountProfile Profile(bool startTls) const {
    dtl::AccountProfile p;
    p.address = MailSystem::address();
    p.smtp = {MailSystem::host(), mail_->submissionPort(), dtl::ServerSecurity::StartTls,
              MailSystem::login()};
    p.imap = {MailSystem::host(), startTls ? mail_->imapPort() : mail_->imapsPort(),
              startTls ? dtl::ServerSecurity::StartTls : dtl::ServerSecurity::ImplicitTls,
              MailSystem::login()};
    if (!startTls)
      p.smtp = {MailSystem::host(), mail_->smtpsPort(), dtl::ServerSecurity::ImplicitTls,
                MailSystem::login()};
    return p;
  }
  dtl::AccountCheckSettings Settings() const {
    dtl::AccountCheckSettings s;
    s.caFile = mail_->caFile();
    s.connectTimeout = std::chrono::seconds(10);
    s.replyTimeout = std::chrono::seconds(30);
    return s;
  }
};

TEST_F(AccountCheckMail, BothLoginsPassOverEitherSecurity) {
  StartMail();
  if (Stopped()) return;
  for (bool startTls : {true, false}) {
    SCOPED_TRACE(startTls ? "STARTTLS" : "implicit TLS");
    auto r = dtl::TestAccountLogins(Profile(startTls), {MailSystem::password(), {}}, Settings());
    EXPECT_TRUE(r.smtp) << r.smtp.error().message;
    EXPECT_TRUE(r.imap) << r.imap.error().message;
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.smtpSecurity, startTls ? "STARTTLS" : "implicit TLS");
  }
}

TEST_F(AccountCheckMail, WrongPasswordFailsBothAsAuth) {
  StartMail();
  if (Stopped()) return;
  auto r = dtl::TestAccountLogins(Profile(true), {"wrong", {}}, Settings());
  ASSERT_FALSE(r.smtp);
  ASSERT_FALSE(r.imap);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.smtp.error().code, dtl::ErrorCode::Auth) << r.smtp.error().message;
  EXPECT_EQ(r.imap.error().code, dtl::ErrorCode::Auth) << r.imap.error().message;
}

TEST(AccountCheck, StopBeforeStartingCancelsBoth) {
  std::stop_source stop;
  stop.request_stop();
  dtl::AccountProfile p;
  p.smtp = {"localhost", 1, dtl::ServerSecurity::StartTls, "a"};
  p.imap = {"localhost", 1, dtl::ServerSecurity::ImplicitTls, "a"};
  auto r = dtl::TestAccountLogins(p, {"pw", {}}, {}, stop.get_token());
  ASSERT_FALSE(r.smtp);
  ASSERT_FALSE(r.imap);
  EXPECT_EQ(r.imap.error().code, dtl::ErrorCode::Cancelled);
}

}  // namespace

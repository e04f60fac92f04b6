// GoogleTest fixtures for cases against the real mail system of fixtures/mail_system.h:
// MailSystemFixture makes the provider PKI once per suite and starts a case's mail system;
// MailSystemCase adds, for `dtl` runs, a private home and folder per case holding "pw" (the
// segments' password) and "login" (the mailbox's), and the helpers every such case writes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fixtures/mail_system.h"
#include "support/PrivateHome.h"
#include "support/TestSupport.h"

namespace dtltest {

class MailSystemFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { pki_ = std::make_unique<ProviderPki>(); }
  static void TearDownTestSuite() { pki_.reset(); }

  void SetUp() override { ASSERT_TRUE(pki_->ok()) << pki_->output(); }

  // Starts the case's mail system into mail_ (taking OAuth2 tokens checked at
  // `oauthIntrospectUrl` when one is given). Skips the case where the machine has no mail
  // system; fails it where one does not start. Callers check Stopped() afterwards.
  void StartMail(const std::string& oauthIntrospectUrl = {}) {
    mail_ = std::make_unique<MailSystem>(*pki_, oauthIntrospectUrl);
    if (!mail_->skipReason().empty()) GTEST_SKIP() << mail_->skipReason();
    ASSERT_TRUE(mail_->running()) << mail_->error();
  }
  bool Stopped() const { return HasFatalFailure() || IsSkipped(); }

  static inline std::unique_ptr<ProviderPki> pki_;
  std::unique_ptr<MailSystem> mail_;
};

class MailSystemCase : public MailSystemFixture {
 protected:
  void SetUp() override {
    MailSystemFixture::SetUp();
    if (Stopped()) return;
    WriteFileText(dir_ / "pw", "segment secret\n");
    WriteFileText(dir_ / "login", MailSystem::password() + "\n");
  }
  void TearDown() override { mail_.reset(); }

  // StartMail(), then points `dtl send` at the submission port (STARTTLS and a login); runs
  // from then on are killed after `timeoutSeconds`.
  void StartMailWithSmtpLogin(int timeoutSeconds) {
    StartMail();
    if (Stopped()) return;
    timeoutSeconds_ = timeoutSeconds;
    Config("SMTPServer", MailSystem::host());
    Config("SMTPPort", std::to_string(mail_->submissionPort()));
    Config("SMTPUserName", MailSystem::login());
    auto r = Dtl("config set SMTPPass --password-file " + Quoted("login"));
    ASSERT_EQ(r.status, 0) << r.all();
  }
  // Runs dtl with `env` before it. Once mail_ runs, every run trusts its CA and is killed after
  // the time limit given to StartMailWithSmtpLogin: a run that hangs is a failure, not a stuck
  // test.
  DtlResult Dtl(const std::string& args, const std::string& env = {}) {
    if (!mail_) return RunDtl(args, {}, env);
    return RunDtl(args, {},
                  "DTL_CA_FILE=" + ShellQuote(mail_->caFile()) + " " + env + " timeout " +
                      std::to_string(timeoutSeconds_));
  }
  void Config(const std::string& name, const std::string& value) {
    auto r = Dtl("config set " + name + " " + ShellQuote(value));
    ASSERT_EQ(r.status, 0) << name << ": " << r.all();
  }
  std::string Quoted(const std::string& name) const { return ShellQuote((dir_ / name).string()); }

  TempDir dir_;
  PrivateHome home_{dir_.path()};
  int timeoutSeconds_ = 0;
};

}  // namespace dtltest

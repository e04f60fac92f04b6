// dtl account setup: its usage errors, an OAuth2-only provider stored for the login command,
// and the whole way against a real mail system (Postfix + Dovecot): the servers found through
// an autoconfig document served over HTTPS, both logins tried, the settings stored only when
// both pass.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "account/AutoconfigFixture.h"
#include "fixtures/dns_server.h"
#include "fixtures/mail_system.h"
#include "support/MailSystemCase.h"
#include "support/PrivateHome.h"
#include "support/TestSupport.h"

namespace {

using dtltest::MailSystem;
using dtltest::ShellQuote;

class AccountSetupCli : public ::testing::Test {
 protected:
  dtltest::DtlResult Dtl(const std::string& args, const std::string& env = {}) {
    return dtltest::RunDtl(args, {}, env + " timeout 60");
  }
  std::string Get(const std::string& name) {
    auto r = dtltest::RunDtl("config get " + name);
    std::string v = r.out;
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r')) v.pop_back();
    return v;
  }
  dtltest::TempDir dir_;
  dtltest::PrivateHome home_{dir_.path()};
};

TEST_F(AccountSetupCli, UsageErrorsExitTwoAndStoreNothing) {
  const struct {
    const char* what;
    const char* args;
    const char* says;
  } cases[] = {
      {"no address", "account setup --yes", "ADDRESS"},
      {"not an address", "account setup --yes nobody", "not an e-mail address"},
      {"a domain with a path", "account setup --yes a@example.test/x", "not an e-mail address"},
      {"no terminal and no --yes", "account setup a@gmail.com", "--yes"},
      {"a password on the command line", "account setup --yes --password secret a@gmail.com",
       "never taken from the command line"},
      {"a bad port", "account setup --yes --no-test --smtp-port 70000 a@gmail.com", "1 to 65535"},
      {"a bad security", "account setup --yes --no-test --imap-security plain a@gmail.com",
       "tls or starttls"},
      {"a host with a URL part", "account setup --yes --no-test --smtp-host h/x a@gmail.com",
       "not a host name"},
      {"no password source without a terminal", "account setup --yes a@gmail.com",
       "--password-file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = Dtl(std::string(c.args) + " </dev/null");
    EXPECT_EQ(r.status, 2) << r.all();
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(Get("SMTPServer"), "");
  }
}

TEST_F(AccountSetupCli, OAuthOnlyProviderIsStoredForTheLoginCommand) {
  auto r = Dtl("account setup --yes ann@hotmail.co.uk </dev/null");
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_NE(r.out.find("built-in table"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("dtl account login"), std::string::npos) << r.out;
  EXPECT_EQ(Get("SMTPServer"), "smtp-mail.outlook.com");
  EXPECT_EQ(Get("SMTPPort"), "587");
  EXPECT_EQ(Get("SSL"), "0");
  EXPECT_EQ(Get("IMAPServer"), "outlook.office365.com");
  EXPECT_EQ(Get("SMTPAuth"), "1");
  EXPECT_EQ(Get("IMAPAuth"), "1");
  EXPECT_EQ(Get("OAuth2Provider"), "microsoft");
  EXPECT_EQ(Get("OAuth2User"), "ann@hotmail.co.uk");
  EXPECT_EQ(Get("SendType"), "2");
}

TEST_F(AccountSetupCli, OptionsCorrectWhatWasFound) {
  auto r =
      Dtl("account setup --yes --no-test --smtp-host out.example.test --smtp-port 2465 "
          "--smtp-security tls --imap-user ann b@gmail.com </dev/null");
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_EQ(Get("SMTPServer"), "out.example.test");
  EXPECT_EQ(Get("SMTPPort"), "2465");
  EXPECT_EQ(Get("SSL"), "1");
  EXPECT_EQ(Get("IMAPServer"), "imap.gmail.com");
  EXPECT_EQ(Get("IMAPUserName"), "ann");
  EXPECT_EQ(Get("SMTPUserName"), "b@gmail.com");
}

// On a terminal: "n" to the first question, then one answer per field (Enter keeps it).
TEST_F(AccountSetupCli, TerminalAnswersCorrectTheFields) {
  if (!dtltest::HaveCommand("script")) GTEST_SKIP() << "no script(1) for a terminal";
  dtltest::WriteFileText(dir_.path() / "pw", "app password\n");
  const std::string command = dtltest::DtlPath() + " account setup --no-test --password-file " +
                              ShellQuote((dir_.path() / "pw").string()) + " a@gmail.com";
  auto r = dtltest::RunCommand("timeout 60 script -qec " + ShellQuote(command) + " /dev/null",
                               "n\nout.example.test\n\nstarttls\n\n\n\n\nann\n");
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("Use these settings?"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("corrected by hand"), std::string::npos) << r.output;
  EXPECT_EQ(Get("SMTPServer"), "out.example.test");
  EXPECT_EQ(Get("SMTPPort"), "465");
  EXPECT_EQ(Get("SSL"), "0");
  EXPECT_EQ(Get("IMAPServer"), "imap.gmail.com");
  EXPECT_EQ(Get("IMAPUserName"), "ann");
}

TEST_F(AccountSetupCli, NothingFoundWithoutServersGivenFails) {
  dtltest::AutoconfigPki pki;
  ASSERT_TRUE(pki.ok()) << pki.output();
  dtltest::AutoconfigServer server(pki);  // answers 404 to everything
  ASSERT_TRUE(server.running()) << server.error();
  dtltest::DnsServer dns({"--host-record=example.test,127.0.0.9"});
  ASSERT_TRUE(dns.running()) << dns.error();
  dtltest::WriteFileText(dir_.path() / "resolv.conf", dns.ResolvConf());
  std::string connect;
  for (const auto& c : server.Endpoints().connectTo) connect += " --connect-to " + c;
  const std::string env = "DTL_CA_FILE=" + ShellQuote(server.caFile()) +
                          " DTL_RESOLV_CONF=" + ShellQuote((dir_.path() / "resolv.conf").string());
  auto r = Dtl("account setup --yes" + connect + " ann@example.test </dev/null", env);
  EXPECT_EQ(r.status, 1) << r.all();
  EXPECT_NE(r.err.find("no settings found for example.test"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--smtp-host"), std::string::npos) << r.err;
  EXPECT_EQ(Get("SMTPServer"), "");
}

// ---- against Postfix and Dovecot ----

class AccountSetupMail : public dtltest::MailSystemCase {
 protected:
  // Starts the mail system and an autoconfig server whose document for mail.test names its
  // submission port (STARTTLS) and IMAPS port.
  void StartAll() {
    StartMail();
    if (Stopped()) return;
    timeoutSeconds_ = 90;
    ASSERT_TRUE(pki_auto_.ok()) << pki_auto_.output();
    server_ = std::make_unique<dtltest::AutoconfigServer>(pki_auto_);
    ASSERT_TRUE(server_->running()) << server_->error();
    const std::string doc =
        "<?xml version=\"1.0\"?><clientConfig version=\"1.1\"><emailProvider id=\"mail.test\">"
        "<domain>mail.test</domain><displayName>Test Mail</displayName>"
        "<incomingServer type=\"imap\"><hostname>localhost</hostname><port>" +
        std::to_string(mail_->imapsPort()) +
        "</port><socketType>SSL</socketType><username>%EMAILADDRESS%</username>"
        "<authentication>password-cleartext</authentication></incomingServer>"
        "<outgoingServer type=\"smtp\"><hostname>localhost</hostname><port>" +
        std::to_string(mail_->submissionPort()) +
        "</port><socketType>STARTTLS</socketType><username>%EMAILADDRESS%</username>"
        "<authentication>password-cleartext</authentication></outgoingServer>"
        "</emailProvider></clientConfig>";
    server_->Route("autoconfig.mail.test/mail/config-v1.1.xml", 200, doc);
    // One CA file for both: the autoconfig host's and the mail servers' certificates.
    std::string bundle;
    for (const std::string& f : {mail_->caFile(), server_->caFile()}) {
      std::ifstream in(f);
      bundle += std::string(std::istreambuf_iterator<char>(in), {});
    }
    dtltest::WriteFileText(dir_ / "ca-bundle.pem", bundle);
    for (const auto& c : server_->Endpoints().connectTo) connect_ += " --connect-to " + c;
  }
  dtltest::DtlResult Setup(const std::string& passwordFile) {
    return Dtl("account setup --yes" + connect_ + " --password-file " + Quoted(passwordFile) + " " +
                   MailSystem::address() + " </dev/null",
               "DTL_CA_FILE=" + Quoted("ca-bundle.pem"));
  }
  std::string Get(const std::string& name) {
    auto r = Dtl("config get " + name);
    std::string v = r.out;
    while (!v.empty() && v.back() == '\n') v.pop_back();
    return v;
  }
  dtltest::AutoconfigPki pki_auto_;
  std::unique_ptr<dtltest::AutoconfigServer> server_;
  std::string connect_;
};

TEST_F(AccountSetupMail, FoundByAutoconfigTestedAndStored) {
  StartAll();
  if (Stopped()) return;
  auto r = Setup("login");
  ASSERT_EQ(r.status, 0) << r.all();
  EXPECT_NE(r.out.find("autoconfig: https://autoconfig.mail.test/mail/config-v1.1.xml"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("SMTP login: ok"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("IMAP login: ok"), std::string::npos) << r.out;
  EXPECT_EQ(Get("SMTPServer"), "localhost");
  EXPECT_EQ(Get("SMTPPort"), std::to_string(mail_->submissionPort()));
  EXPECT_EQ(Get("SSL"), "0");
  EXPECT_EQ(Get("IMAPServer"), "localhost");
  EXPECT_EQ(Get("IMAPPort"), std::to_string(mail_->imapsPort()));
  EXPECT_EQ(Get("IMAPSecurity"), "0");
  EXPECT_EQ(Get("SMTPUserName"), MailSystem::login());
  EXPECT_EQ(Get("IMAPUserName"), MailSystem::login());
  EXPECT_EQ(Get("FromAddress"), MailSystem::address());
  EXPECT_EQ(Get("SendType"), "2");
  EXPECT_EQ(Get("SMTPAuth"), "0");
  auto secrets = Dtl("config list --show-secrets");
  EXPECT_NE(secrets.out.find("SMTPPass=" + MailSystem::password()), std::string::npos);
  EXPECT_NE(secrets.out.find("IMAPPass=" + MailSystem::password()), std::string::npos);
  // The password never shows in what the command printed.
  EXPECT_EQ(r.all().find(MailSystem::password()), std::string::npos);
}

TEST_F(AccountSetupMail, WrongPasswordFailsAndStoresNothing) {
  StartAll();
  if (Stopped()) return;
  dtltest::WriteFileText(dir_ / "wrong", "not the password\n");
  auto r = Setup("wrong");
  EXPECT_EQ(r.status, 1) << r.all();
  EXPECT_NE(r.err.find("nothing stored"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("SMTP login: ok"), std::string::npos) << r.out;
  EXPECT_EQ(Get("SMTPServer"), "");
  EXPECT_EQ(Get("IMAPServer"), "");
  auto secrets = Dtl("config list --show-secrets");
  EXPECT_NE(secrets.out.find("SMTPPass=\n"), std::string::npos) << secrets.out;
}

TEST_F(AccountSetupMail, StoreAnywayKeepsAFailedAccount) {
  StartAll();
  if (Stopped()) return;
  dtltest::WriteFileText(dir_ / "wrong", "not the password\n");
  auto r = Dtl("account setup --yes --store-anyway" + connect_ + " --password-file " +
                   Quoted("wrong") + " " + MailSystem::address() + " </dev/null",
               "DTL_CA_FILE=" + Quoted("ca-bundle.pem"));
  EXPECT_EQ(r.status, 0) << r.all();
  EXPECT_EQ(Get("SMTPServer"), "localhost");
}

}  // namespace

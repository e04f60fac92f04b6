// dtl account login end to end: the test reads the address the program prints, plays the
// browser against the local authorization server, and checks what the program kept and said.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "base/SettingsStore.h"
#include "fixtures/oauth_server.h"
#include "support/OAuthCase.h"
#include "support/TestSupport.h"

namespace {

using dtltest::OAuthServer;
using dtltest::ShellQuote;

constexpr const char* kUser = "joe@example.com";
// The provider's host as the settings name it; --connect-to carries it to the fixture.
constexpr const char* kProviderBase = "https://localhost:443";

class AccountLoginTest : public dtltest::OAuthServerCase {
 protected:
  void SetUp() override {
    OAuthServerCase::SetUp();
    if (HasFatalFailure()) return;
    store_ = std::make_unique<dtl::SettingsStore>(home_ / "config" / "drovetail" / "settings.reg");
    ASSERT_TRUE(store_->SetString("OAuth2AuthorizeUrl", std::string(kProviderBase) + "/authorize"));
    ASSERT_TRUE(store_->SetString("OAuth2TokenUrl", std::string(kProviderBase) + "/token"));
    ASSERT_TRUE(store_->SetString("OAuth2Scope", "mail offline"));
    ASSERT_TRUE(store_->SetString("OAuth2ClientId", "cid"));
  }
  std::string Env() const {
    return "XDG_CONFIG_HOME=" + ShellQuote((home_ / "config").string()) +
           " HOME=" + ShellQuote(home_.path().string()) +
           " DTL_CA_FILE=" + ShellQuote(pki_->file("ca.pem"));
  }
  std::string ConnectTo() const {
    return "--connect-to localhost:443:127.0.0.1:" + std::to_string(server_->port());
  }

  struct Login {
    int status = -1;
    std::string output;  // stdout and stderr
    std::string consentUrl;
    OAuthServer::Reply landing;
  };
  // Runs `dtl account login ARGS`; once it prints the consent address, the test's browser opens
  // it (at the fixture) and follows the redirect back to the program.
  Login RunLogin(const std::string& args) {
    Login l;
    const std::string cmd =
        Env() + " " + ShellQuote(dtltest::DtlPath()) + " account login " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return l;
    char line[8192];
    while (std::fgets(line, sizeof line, p)) {
      l.output += line;
      std::string s(line);
      if (l.consentUrl.empty() && s.rfind(kProviderBase, 0) == 0) {
        l.consentUrl = s.substr(0, s.find_last_not_of("\r\n") + 1);
        const auto consent =
            server_->Request(server_->BaseUrl() + l.consentUrl.substr(std::strlen(kProviderBase)));
        l.landing = server_->Request(consent.location);
      }
    }
    const int st = pclose(p);
    l.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return l;
  }

  dtltest::TempDir home_;
  std::unique_ptr<dtl::SettingsStore> store_;
};

TEST_F(AccountLoginTest, LoginKeepsAWorkingRefreshTokenAndPrintsNoToken) {
  auto l =
      RunLogin("--provider custom --user " + std::string(kUser) + " --timeout 60 " + ConnectTo());
  ASSERT_EQ(l.status, 0) << l.output;
  EXPECT_NE(l.output.find("Open this address in a browser to log in:\n" + l.consentUrl + "\n"),
            std::string::npos)
      << l.output;
  EXPECT_NE(l.output.find("Logged in as joe@example.com"), std::string::npos);
  EXPECT_EQ(l.landing.status, 200);

  dtl::SettingsStore after(store_->Path());
  const std::string refresh = after.GetString("OAuth2RefreshToken");
  ASSERT_FALSE(refresh.empty());
  EXPECT_EQ(after.GetString("OAuth2User"), kUser);
  EXPECT_EQ(after.GetString("OAuth2Provider"), "custom");
  // The kept token is one the provider honours, and neither token was printed.
  auto r = server_->Request(
      server_->TokenUrl(),
      {{"grant_type", "refresh_token"}, {"refresh_token", refresh}, {"client_id", "cid"}});
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(l.output.find(refresh), std::string::npos);
  EXPECT_EQ(l.output.find("at-"), std::string::npos);
}

TEST_F(AccountLoginTest, ProviderAndAddressComeFromTheSettingsWhenNotGiven) {
  ASSERT_TRUE(store_->SetString("OAuth2Provider", "custom"));
  ASSERT_TRUE(store_->SetString("SMTPUserName", "smtp.user@example.com"));
  auto l = RunLogin("--timeout 60 " + ConnectTo());
  ASSERT_EQ(l.status, 0) << l.output;
  EXPECT_NE(l.consentUrl.find("login_hint=smtp.user%40example.com"), std::string::npos);
  EXPECT_EQ(dtl::SettingsStore(store_->Path()).GetString("OAuth2User"), "smtp.user@example.com");
}

TEST_F(AccountLoginTest, RefusedLoginsKeepNothing) {
  const struct {
    const char* name;
    OAuthServer::Outcome outcome;
    const char* says;
  } cases[] = {
      {"wrong state", OAuthServer::Outcome::WrongState, "wrong state"},
      {"consent declined", OAuthServer::Outcome::AccessDenied, "access_denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server_->SetNextAuthorize(c.outcome);
    auto l = RunLogin("--provider custom --user joe@example.com --timeout 60 " + ConnectTo());
    EXPECT_EQ(l.status, 1) << l.output;
    EXPECT_NE(l.output.find("dtl account login: "), std::string::npos) << l.output;
    EXPECT_NE(l.output.find(c.says), std::string::npos) << l.output;
    dtl::SettingsStore after(store_->Path());
    EXPECT_EQ(after.GetString("OAuth2RefreshToken"), "");
    EXPECT_EQ(after.GetString("OAuth2User"), "");
    EXPECT_EQ(server_->Stat("code_exchanges"), 0);
  }
}

TEST_F(AccountLoginTest, MissingPiecesAreNamedBeforeAnyBrowserIsNeeded) {
  const struct {
    std::string args;
    const char* says;
  } cases[] = {
      {"--user joe@example.com", "give --provider"},
      {"--provider custom", "give --user"},
      {"--provider google --user joe@example.com", "set GoogleClientId"},
      {"--provider aol --user joe@example.com", "Unknown OAuth2 provider"},
      {"--provider custom --user joe@example.com --timeout 0", "--timeout takes"},
      {"--provider custom --user joe@example.com --timeout soon", "--timeout takes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    auto r = dtltest::RunDtl("account login " + c.args, "", Env());
    EXPECT_EQ(r.status, 1) << r.all();
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Open this address"), std::string::npos);
  }
}

TEST_F(AccountLoginTest, TokenLoginsWithoutALoginSetUpSaySo) {
  // With SMTPAuth / IMAPAuth at OAuth2 the commands ask for a login instead of a password.
  ASSERT_TRUE(store_->SetDword("SMTPAuth", 1));
  ASSERT_TRUE(store_->SetDword("IMAPAuth", 1));
  ASSERT_TRUE(store_->SetString("SMTPServer", "127.0.0.1"));
  ASSERT_TRUE(store_->SetDword("SMTPPort", 1));
  dtltest::WriteFileText(home_ / "data.bin", "some bytes");
  const struct {
    std::string args;
  } cases[] = {
      {"fetch --imap imaps://127.0.0.1:1/INBOX --user u --list"},
      {"send " + ShellQuote((home_ / "data.bin").string()) + " --to a@b.test --method smtp"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    auto r = dtltest::RunDtl(c.args, "",
                             Env() + " XDG_STATE_HOME=" + ShellQuote((home_ / "state").string()),
                             home_.path());
    EXPECT_EQ(r.status, 1) << r.all();
    EXPECT_NE(r.err.find("No OAuth2 login is set up"), std::string::npos) << r.all();
    EXPECT_NE(r.err.find("dtl account login"), std::string::npos);
  }
}

}  // namespace

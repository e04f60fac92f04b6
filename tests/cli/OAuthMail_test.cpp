// dtl send and dtl fetch --imap with an OAuth2 account, end to end: Postfix and Dovecot take
// only bearer tokens checked at the authorization-server fixture, the settings hold a refresh
// token for the "custom" provider pointing at that fixture. A file goes out and comes back byte
// for byte; access tokens that stop being valid in the middle of a run are renewed and the run
// goes on; a revoked refresh token ends the run with the instruction to log in again.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/mail_system.h"
#include "fixtures/oauth_server.h"
#include "support/MailSystemCase.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using dtltest::MailSystem;
using dtltest::ShellQuote;

class OAuthMail : public dtltest::MailSystemCase {
 protected:
  void SetUp() override {
    MailSystemCase::SetUp();
    if (Stopped()) return;
    oauth_ = std::make_unique<dtltest::OAuthServer>(
        pki_.get(), std::vector<std::string>{"--client-id", "drovetail-test"});
    ASSERT_TRUE(oauth_->running()) << oauth_->error();
    StartMail(oauth_->IntrospectUrl());
    if (Stopped()) return;
    timeoutSeconds_ = 90;
    Config("SMTPServer", MailSystem::host());
    Config("SMTPPort", std::to_string(mail_->submissionPort()));
    Config("SMTPUserName", MailSystem::login());
    Config("SMTPAuth", "1");
    Config("IMAPServer", MailSystem::host());
    Config("IMAPPort", std::to_string(mail_->imapsPort()));
    Config("IMAPSecurity", "0");
    Config("IMAPUserName", MailSystem::login());
    Config("IMAPAuth", "1");
    Config("OAuth2Provider", "custom");
    Config("OAuth2AuthorizeUrl", oauth_->AuthorizeUrl());
    Config("OAuth2TokenUrl", oauth_->TokenUrl());
    Config("OAuth2Scope", "mail offline");
    Config("OAuth2ClientId", "drovetail-test");
    Config("OAuth2User", MailSystem::login());
    refreshToken_ = oauth_->MintRefreshToken(MailSystem::login());
    ASSERT_FALSE(refreshToken_.empty());
    dtltest::WriteFileText(dir_ / "refresh", refreshToken_ + "\n");
    auto r = Dtl("config set OAuth2RefreshToken --password-file " + Quoted("refresh"));
    ASSERT_EQ(r.status, 0) << r.all();
  }

  dtltest::DtlResult Send(const fs::path& file, const std::string& segmentSize) {
    return Dtl("send " + ShellQuote(file.string()) + " --to " + MailSystem::address() +
               " --method smtp --segment-size " + segmentSize + " --password-file " + Quoted("pw"));
  }
  dtltest::DtlResult Fetch(const fs::path& out) {
    return Dtl("fetch --imap --out " + ShellQuote(out.string()) + " --password-file " +
               Quoted("pw"));
  }

  std::unique_ptr<dtltest::OAuthServer> oauth_;
  std::string refreshToken_;
};

TEST_F(OAuthMail, AFileGoesOutAndComesBackWithTokensRenewedOnTheWay) {
  // Many small segments: the run is still sending when the test expires its tokens.
  const auto bytes = dtltest::RandomBytes(120000, 77);
  fs::create_directories(dir_ / "src");
  const fs::path file = dir_ / "src" / "report.pdf";
  dtltest::WriteFileBytes(file, bytes);

  auto sending = std::async(std::launch::async, [&] { return Send(file, "2000"); });
  // Once the first mail is in, every access token handed out so far stops being valid: the
  // rest of the run meets a refusal with the token it holds.
  ASSERT_FALSE(mail_->ReadMailbox(1, {}, std::chrono::seconds(60)).empty());
  const int refreshesBefore = oauth_->Stat("refreshes");
  oauth_->ExpireAccessTokens();
  const auto sent = sending.get();
  ASSERT_EQ(sent.status, 0) << sent.all();
  EXPECT_EQ(sent.all().find(refreshToken_), std::string::npos);
  // A fresh token was fetched after the refusal, mid-run.
  EXPECT_GT(oauth_->Stat("refreshes"), refreshesBefore);

  // Expired again before the fetch; it gets its own token and reads every segment back.
  oauth_->ExpireAccessTokens();
  dtltest::TempDir out;
  const auto fetched = Fetch(out.path());
  ASSERT_EQ(fetched.status, 0) << fetched.all();
  EXPECT_EQ(dtltest::ReadFileBytes(out / "report.pdf"), bytes);
  EXPECT_EQ(fetched.all().find(refreshToken_), std::string::npos);
}

TEST_F(OAuthMail, ARevokedRefreshTokenEndsSendAndFetchWithLogInAgain) {
  const fs::path file = dir_ / "small.txt";
  dtltest::WriteFileText(file, "a few bytes\n");
  ASSERT_EQ(Send(file, "100000").status, 0);
  const size_t before = mail_->ReadMailbox(1).size();
  ASSERT_GE(before, 1u);

  oauth_->RevokeRefreshTokensOf(MailSystem::login());
  oauth_->ExpireAccessTokens();
  const struct {
    const char* name;
    bool send;
  } cases[] = {{"dtl send", true}, {"dtl fetch --imap", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dtltest::TempDir out;
    const auto started = std::chrono::steady_clock::now();
    const auto r = c.send ? Send(file, "100000") : Fetch(out.path());
    EXPECT_EQ(r.status, 1) << r.all();
    EXPECT_NE(r.all().find("log in again"), std::string::npos) << r.all();
    EXPECT_NE(r.all().find("dtl account login"), std::string::npos) << r.all();
    // Said at once, not after the retries a network failure would get.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
  }
  EXPECT_EQ(mail_->ReadMailbox(before + 1, {}, std::chrono::seconds(3)).size(), before);
}

}  // namespace

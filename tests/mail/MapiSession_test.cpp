// Delivery through a sendmail-compatible submission program: msmtp delivering into a real SMTP
// server, scripted programs for the failure cases, and the logon order.
#include "mail/MapiSession.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "fixtures/smtp_fixture.h"
#include "support/TestSupport.h"

namespace dtl {
namespace {

namespace fs = std::filesystem;

MessageStamp PinnedStamp() {
  return {1700000000, 0, "0f8e1c2a-3b4d-4e5f-8a6b-7c8d9e0f1a2b", "testhost"};
}

std::string WriteScript(const fs::path& path, const std::string& body) {
  dtltest::WriteFileText(path, "#!/bin/sh\n" + body);
  ::chmod(path.c_str(), 0755);
  return path.string();
}

class MapiSessionMsmtp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dtltest::HaveCommand("msmtp"));
    fs::create_directory(inbox_);
    sink_ = std::make_unique<dtltest::SmtpFixture>(inbox_, std::vector<std::string>{});
    ASSERT_GT(sink_->port(), 0) << "the SMTP fixture did not start";
    std::string port = std::to_string(sink_->port());
    dtltest::WriteFileText(dir_ / "msmtprc",
                           "defaults\nauth off\ntls off\nhost 127.0.0.1\nport " + port +
                               "\n\naccount default\nfrom dtl@example.net\n\naccount relay2\nfrom "
                               "other@example.net\n");
    ::chmod((dir_ / "msmtprc").c_str(), 0600);
    session_.program = WriteScript(
        dir_ / "sendmail",
        "exec msmtp -C " + dtltest::ShellQuote((dir_ / "msmtprc").string()) + " \"$@\"\n");
    session_.stamp = PinnedStamp;
  }

  // The one stored mail and its envelope as the server saw it.
  std::string Mail(const char* ext) const {
    return dtltest::ReadFileText(inbox_ / ("msg-1" + std::string(ext)));
  }

  dtltest::TempDir dir_;
  fs::path inbox_ = dir_ / "inbox";
  std::unique_ptr<dtltest::SmtpFixture> sink_;
  MapiSession session_;
};

TEST_F(MapiSessionMsmtp, SegmentReachesTheServerWithRecipientsInOrder) {
  auto archive = dtltest::RandomBytes(200000, 3);
  ASSERT_TRUE(session_.Logon("", ""));
  // The recipient text "c@...;a@...;b@...;" cut at ";" leaves an empty last token.
  ASSERT_TRUE(session_.Compose({"c@example.org", "a@example.org", " b@example.org ", ""},
                               "song.mp3 - segment number 0         a1b2c3d4e5",
                               "song.mp3 - segment number 0         a1b2c3d4e5", archive,
                               "song.mp3.dtl.doc"));
  const Status submitted = session_.Submit();
  ASSERT_TRUE(submitted) << submitted.error().message;

  EXPECT_NE(
      Mail(".json").find(
          R"("from": "dtl@example.net", "rcpt": ["c@example.org", "a@example.org", "b@example.org"])"),
      std::string::npos)
      << Mail(".json");
  const std::string m = Mail(".eml");
  EXPECT_NE(m.find("To: c@example.org, a@example.org, b@example.org\r\n"), std::string::npos);
  EXPECT_NE(m.find("Content-Type: application/msword;\r\n\tname=\"song.mp3.dtl.doc\""),
            std::string::npos);
  // The message arrives as composed (the program may only add fields in front of it).
  const std::string& sent = session_.ComposedMessage();
  ASSERT_GE(m.size(), sent.size());
  EXPECT_EQ(m.compare(m.size() - sent.size(), sent.size(), sent), 0);
}

TEST_F(MapiSessionMsmtp, ProfileIsTheProgramsAccount) {
  ASSERT_TRUE(session_.Logon("relay2", "unused"));
  ASSERT_TRUE(session_.Compose({"x@example.org"}, "s", "s", {}, ""));
  const Status submitted = session_.Submit();
  ASSERT_TRUE(submitted) << submitted.error().message;
  EXPECT_NE(Mail(".json").find(R"("from": "other@example.net")"), std::string::npos)
      << Mail(".json");
}

TEST(MapiSession, ArgumentsAndMessageReachTheProgramUnchanged) {
  dtltest::TempDir dir;
  MapiSession s;
  s.program = WriteScript(
      dir / "fake", "for a in \"$@\"; do echo \"[$a]\"; done > \"$0.args\"\ncat > \"$0.stdin\"\n");
  s.stamp = PinnedStamp;
  ASSERT_TRUE(s.Logon(" work; touch pwned ", "secret"));
  ASSERT_TRUE(s.Compose({"x@example.org"}, "subject", "body", {1, 2, 3}, "a.zip", true));
  const Status submitted = s.Submit();
  ASSERT_TRUE(submitted) << submitted.error().message;
  EXPECT_EQ(dtltest::ReadFileText(dir / "fake.args"), "[-a]\n[work; touch pwned]\n[-t]\n[-i]\n");
  EXPECT_EQ(dtltest::ReadFileText(dir / "fake.stdin"), s.ComposedMessage());
  EXPECT_FALSE(fs::exists("pwned"));
  const std::string& m = s.ComposedMessage();
  EXPECT_NE(m.find("X-Priority: 1 (Highest)\r\n"), std::string::npos);
  EXPECT_NE(m.find("Content-Type: application/zip;\r\n\tname=\"a.zip\""), std::string::npos);
  EXPECT_EQ(m.find("secret"), std::string::npos);
  // The program comes from DTL_SENDMAIL or is the system's sendmail.
  ::setenv("DTL_SENDMAIL", "msmtp", 1);
  EXPECT_EQ(MapiSession().program, "msmtp");
  ::setenv("DTL_SENDMAIL", "", 1);
  EXPECT_EQ(MapiSession().program, "/usr/sbin/sendmail");
  ::unsetenv("DTL_SENDMAIL");
  EXPECT_EQ(MapiSession().program, "/usr/sbin/sendmail");
}

TEST(MapiSession, FailuresComeBackWithAReason) {
  dtltest::TempDir dir;
  auto big = dtltest::RandomBytes(4 << 20, 9);
  struct Case {
    const char* name;
    std::string script;  // empty: no program at all
    bool bigMessage;
    const char* error;
    ErrorCode code;
  } cases[] = {
      {"missing program", "", false, "No mail submission program found at ", ErrorCode::NotFound},
      {"non-zero exit", "cat >/dev/null\necho 'relay refused' >&2\nexit 75\n", false,
       "exited with status 75: relay refused", ErrorCode::Refused},
      // Quitting without reading must not kill this process with SIGPIPE.
      {"quits before reading", "exit 1\n", true, "exited with status 1", ErrorCode::Refused},
      {"killed", "kill -9 $$\n", false, "killed by signal 9", ErrorCode::Failed},
      {"exits 0 without reading", "exec 0<&-\nexit 0\n", true, "did not read the whole message",
       ErrorCode::Failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    MapiSession s;
    s.program = c.script.empty()
                    ? (dir / "no-such-sendmail").string()
                    : WriteScript(dir / (std::string("p") + std::to_string(&c - cases)), c.script);
    if (c.script.empty()) {
      const Status logon = s.Logon("", "");
      ASSERT_FALSE(logon);
      EXPECT_EQ(logon.error().message, "No mail submission program found at " + s.program);
      EXPECT_EQ(logon.error().code, c.code);
      EXPECT_FALSE(s.Compose({"x@example.org"}, "s", "b", {}, ""));  // never logged on
      continue;
    }
    ASSERT_TRUE(s.Logon("", ""));
    EXPECT_FALSE(s.Submit());  // nothing composed
    const Status noRecipients = s.Compose({"", "  "}, "s", "b", {}, "");
    ASSERT_FALSE(noRecipients);
    EXPECT_EQ(noRecipients.error().message, "No recipients");
    ASSERT_TRUE(s.Compose({"x@example.org"}, "s", "b", c.bigMessage ? big : std::vector<uint8_t>{},
                          "x.doc"));
    const Status submitted = s.Submit();
    ASSERT_FALSE(submitted);
    EXPECT_NE(submitted.error().message.find(c.error), std::string::npos)
        << submitted.error().message;
    EXPECT_EQ(submitted.error().code, c.code);
  }
}

TEST(MapiSession, LogonOrderStoredProfileThenNoneThenOutlook) {
  struct Case {
    const char* user;
    const char* pass;
    int succeedAt;  // attempt number that succeeds; -1 none
    std::vector<std::string> attempts;
    std::optional<MapiLogonStep> result;
    std::optional<MapiLogonStep> after = std::nullopt;  // resume after this step
  } cases[] = {
      {"", "", 0, {"|"}, MapiLogonStep::NoProfile},
      {"work", "pw", 0, {"work|pw"}, MapiLogonStep::StoredProfile},
      {"work", "", 2, {"work|", "|", "Outlook|"}, MapiLogonStep::Outlook},
      {"work", "pw", -1, {"work|pw", "|", "Outlook|"}, std::nullopt},
      // A stored profile the submission program refused resumes with no profile, then Outlook.
      {"work", "pw", 0, {"|"}, MapiLogonStep::NoProfile, MapiLogonStep::StoredProfile},
      {"work", "pw", 1, {"|", "Outlook|"}, MapiLogonStep::Outlook, MapiLogonStep::StoredProfile},
      {"work", "pw", 0, {"Outlook|"}, MapiLogonStep::Outlook, MapiLogonStep::NoProfile},
  };
  for (const auto& c : cases) {
    std::vector<std::string> attempts;
    auto result = LogonInOrder(
        c.user, c.pass,
        [&](std::string_view profile, std::string_view password) -> Status {
          attempts.push_back(std::string(profile) + "|" + std::string(password));
          if (static_cast<int>(attempts.size()) - 1 == c.succeedAt) return {};
          return Error(ErrorCode::NotFound, "refused " + attempts.back());
        },
        c.after);
    EXPECT_EQ(attempts, c.attempts) << c.user << "/" << c.pass;
    EXPECT_EQ(result ? std::optional<MapiLogonStep>(*result) : std::nullopt, c.result)
        << c.user << "/" << c.pass;
    // When every logon fails, the last one's reason is the answer.
    if (!result) {
      EXPECT_EQ(result.error().message, "refused Outlook|");
    }
  }
  // Nothing follows Outlook.
  int calls = 0;
  EXPECT_FALSE(LogonInOrder(
      "work", "pw",
      [&](std::string_view, std::string_view) -> Status {
        ++calls;
        return {};
      },
      MapiLogonStep::Outlook));
  EXPECT_EQ(calls, 0);
}

}  // namespace
}  // namespace dtl

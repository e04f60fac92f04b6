// Provider limits met by a real SMTP server (the aiosmtpd fixture answering a chosen MAIL, RCPT
// or end of data with a provider's reply): the run pauses with a status saying what was hit
// and when it goes on, waits through the run's wait (recorded here, never slept), and sends
// every segment exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/smtp_fixture.h"
#include "mail/ProviderLimit.h"
#include "send/SendEventLog.h"

namespace {

namespace fs = std::filesystem;
using dtl::SendEventKind;
using namespace std::chrono_literals;

// 2026-12-07 12:00:00 UTC: the run's clock stands still, so every pause is known to the second.
constexpr std::time_t kNow = 1796644800;

class ProviderLimitSend : public dtltest::SendRunTest {
 protected:
  ProviderLimitSend() {
    fs::create_directories(mail_);
    env_.smtpBase.connectTimeout = 10000ms;
    env_.smtpBase.replyTimeout = 20000ms;
    env_.clock = [] { return kNow; };
  }

  std::unique_ptr<dtltest::SmtpFixture> SmtpServer(std::vector<std::string> extra) {
    auto s = std::make_unique<dtltest::SmtpFixture>(mail_, std::move(extra));
    EXPECT_NE(s->port(), 0) << "the SMTP fixture did not start";
    EXPECT_TRUE(settings_.SetString("SMTPServer", "localhost"));
    EXPECT_TRUE(settings_.SetDword("SMTPPort", s->port()));
    return s;
  }

  // Subject lines of the stored mails, with the recipients: "x - segment number 1|TO".
  std::vector<std::string> Mails() {
    std::vector<std::string> out;
    for (const std::string& m : dtltest::ReadStoredMails(mail_))
      out.push_back(m.substr(0, m.find("         ")) + "|" + m.substr(m.rfind('|') + 1));
    std::sort(out.begin(), out.end());
    return out;
  }

  std::vector<dtl::SendEvent> Pauses() const {
    std::vector<dtl::SendEvent> out;
    for (const auto& e : log_.Events())
      if (e.kind == SendEventKind::Status && e.pausedUntil != 0) out.push_back(e);
    return out;
  }

  fs::path mail_ = dir_ / "mail";
};

struct LimitCase {
  const char* name;
  const char* script;  // --reply-at
  const char* status;  // the pause status without its time
  std::time_t wait;
  int pausedAt;  // list position
};

const LimitCase kCases[] = {
    {"QuotaAtMailFromWaitsTheQuotaPause", "mail:2:550 5.4.5 Daily user sending quota exceeded.",
     "Sending paused: the account's sending quota is used up (550 5.4.5 Daily user sending "
     "quota exceeded.). Going on at ",
     1200, 1},
    {"RateLimitAtEndOfDataWaitsTheTimeTheServerNamed",
     "data:1:451 4.7.1 Rate limit exceeded, try again in 10 minutes",
     "Sending paused: the server limits how fast this account may send (451 4.7.1 Rate limit "
     "exceeded, try again in 10 minutes). Going on at ",
     600, 0},
    {"QuotaAtEndOfDataIsNoRefusalForGood",
     "data:3:554 5.2.0 STOREDRV.Submission.Exception:SubmissionQuotaExceededException",
     "Sending paused: the account's sending quota is used up (554 5.2.0 "
     "STOREDRV.Submission.Exception:SubmissionQuotaExceededException). Going on at ",
     1200, 2},
    {"TryAgainLaterAtRcptWaitsTheRatePause", "rcpt:1:421 4.7.0 Try again later, closing connection.",
     "Sending paused: the server limits how fast this account may send (421 4.7.0 Try again "
     "later, closing connection.). Going on at ",
     300, 0},
};

class LimitReplies : public ProviderLimitSend, public testing::WithParamInterface<LimitCase> {};

TEST_P(LimitReplies, PauseWithTheRightMessageThenEverySegmentOnce) {
  const LimitCase& c = GetParam();
  ASSERT_TRUE(settings_.SetDword("QuotaPause", 1200));
  ASSERT_TRUE(settings_.SetDword("RateLimitPause", 300));
  auto server = SmtpServer({"--reply-at", c.script});
  ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer)));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u) << log_.Statuses().back();
  EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), 0u);
  EXPECT_EQ(Waits(), std::vector<std::chrono::milliseconds>{std::chrono::seconds(c.wait)});
  const auto pauses = Pauses();
  ASSERT_EQ(pauses.size(), 1u) << ::testing::PrintToString(log_.Statuses());
  EXPECT_EQ(pauses[0].position, c.pausedAt);
  EXPECT_EQ(pauses[0].pausedUntil, kNow + c.wait);
  EXPECT_EQ(pauses[0].text,
            std::string(c.status) + dtl::LocalResumeTime(kNow + c.wait, kNow) + ".");
  EXPECT_EQ(Mails(), (std::vector<std::string>{"x - segment number 0|one@a.test",
                                               "x - segment number 1|one@a.test",
                                               "x - segment number 2|one@a.test"}));
  for (const auto& r : doc_.Records()) EXPECT_EQ(r.pending, 0);
}

INSTANTIATE_TEST_SUITE_P(Smtp, LimitReplies, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A quota answer to one recipient (a 5xx) does not refuse that recipient for good: the segment
// reaches the other once, and the limited one alone after the pause.
TEST_F(ProviderLimitSend, QuotaForOneRecipientOwesItTheSegmentAfterThePause) {
  auto server = SmtpServer({"--reply-at", "rcpt:2:550 5.4.5 Daily user sending quota exceeded."});
  ASSERT_TRUE(
      doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer, "good@a.test;late@a.test")));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u) << log_.Statuses().back();
  EXPECT_EQ(log_.Positions(SendEventKind::PartlyDelivered), std::vector<int>{0});
  EXPECT_EQ(Waits(), std::vector<std::chrono::milliseconds>{3600s});
  const auto stored = dtltest::ReadStoredMails(mail_);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(dtltest::ReadFileText(mail_ / "msg-1.json").find("late@a.test"), std::string::npos);
  EXPECT_NE(dtltest::ReadFileText(mail_ / "msg-2.json").find("\"rcpt\": [\"late@a.test\"]"),
            std::string::npos);
  EXPECT_EQ(log_.Statuses().back().find("refused"), std::string::npos);
}

// Direct Send to an exchanger meets the same answers and pauses alike.
TEST_F(ProviderLimitSend, DirectSendPausesForALimitAlike) {
  auto server = std::make_unique<dtltest::SmtpFixture>(
      mail_, std::vector<std::string>{"--reply-at", "rcpt:1:450 4.7.1 Rate limit exceeded"});
  ASSERT_NE(server->port(), 0);
  ASSERT_TRUE(settings_.SetString("MX", "localhost"));
  ASSERT_TRUE(settings_.SetDword("Port", static_cast<uint32_t>(server->port())));
  ASSERT_TRUE(settings_.SetDword("RateLimitPause", 60));
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::DirectSend)));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u) << log_.Statuses().back();
  EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), 0u);
  EXPECT_EQ(Waits(), std::vector<std::chrono::milliseconds>{60s});
  ASSERT_EQ(Pauses().size(), 1u);
  EXPECT_EQ(dtltest::ReadStoredMails(mail_).size(), 1u);
}

// An ordinary temporary failure keeps the ordinary back-off and no pause.
TEST_F(ProviderLimitSend, PlainTemporaryFailureKeepsTheBackOff) {
  auto server = SmtpServer({"--reply-at", "mail:1:451 4.3.0 Temporary local problem"});
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u);
  EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), 1u);
  EXPECT_EQ(Waits(), std::vector<std::chrono::milliseconds>{0s});
  EXPECT_TRUE(Pauses().empty());
  EXPECT_EQ(dtltest::ReadStoredMails(mail_).size(), 1u);
}

// A stop during the pause ends the run at once; the segment stays pending, and Send again
// waits the rest of the pause first.
TEST_F(ProviderLimitSend, StopDuringThePauseEndsTheRunAtOnce) {
  auto server = SmtpServer({"--reply-at", "mail:1:550 5.4.5 Daily user sending quota exceeded."});
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.pausedUntil != 0) doc_.Stop();
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  EXPECT_EQ(log_.Statuses().back(), "0:Stopped");
  EXPECT_EQ(doc_.Records().at(0).pending, 1);
  EXPECT_TRUE(dtltest::ReadStoredMails(mail_).empty());

  // Send again (the desktop's resume): the rest of the pause comes first, then the segment.
  log_.onEvent = nullptr;
  log_.Clear();
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u);
  EXPECT_EQ(Waits(), std::vector<std::chrono::milliseconds>{3600s});
  EXPECT_EQ(log_.Statuses().front().rfind("0:Sending paused: the account's sending quota is used "
                                          "up (550 5.4.5 Daily user sending quota exceeded.)",
                                          0),
            0u)
      << log_.Statuses().front();
  EXPECT_EQ(dtltest::ReadStoredMails(mail_).size(), 1u);
}

// A run resumed during a pause an earlier run met waits the rest first, with the same status.
TEST_F(ProviderLimitSend, ResumedRunWaitsTheRestOfAnEarlierPause) {
  auto server = SmtpServer({});
  env_.resumePausedUntil = kNow + 500;
  env_.resumePauseReason = "the account's sending quota is used up (550 5.4.5 quota)";
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u);
  EXPECT_EQ(Waits(), std::vector<std::chrono::milliseconds>{500s});
  EXPECT_EQ(log_.Statuses().front(),
            "0:Sending paused: the account's sending quota is used up (550 5.4.5 quota). Going "
            "on at " +
                dtl::LocalResumeTime(kNow + 500, kNow) + ".");
  EXPECT_EQ(dtltest::ReadStoredMails(mail_).size(), 1u);

  // One already over waits nothing.
  log_.Clear();
  env_.resumePausedUntil = kNow - 5;
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  Run(1);
  EXPECT_EQ(Waits().size(), 1u);
  EXPECT_TRUE(Pauses().empty());
}

}  // namespace

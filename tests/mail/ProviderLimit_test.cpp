// Which server answers are provider limits, and when the work may go on: real providers'
// replies as they arrive, and the ordinary failures that must keep their ordinary handling.
#include "mail/ProviderLimit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

using dtl::LimitKind;
using dtl::LimitPauses;

// 2026-12-07 12:00:00 UTC.
constexpr std::time_t kNow = 1796644800;
const LimitPauses kPauses{std::chrono::seconds(900), std::chrono::seconds(3600)};

struct SmtpCase {
  const char* name;
  int code;
  const char* text;
  std::optional<LimitKind> kind;  // empty: an ordinary failure
  std::time_t wait;               // seconds from kNow to the resume time (with a kind)
};

const SmtpCase kSmtpCases[] = {
    {"GmailDailyQuotaIsAQuotaWithTheQuotaPause", 550,
     "5.4.5 Daily user sending quota exceeded. a1-20020a.5 - gsmtp", LimitKind::Quota, 3600},
    {"GmailDailyLimitWordingIsAQuotaToo", 550,
     "5.4.5 Daily user sending limit exceeded. For more information, go to 5.4.5 "
     "https://support.google.com/a/answer/166852",
     LimitKind::Quota, 3600},
    {"GmailTryAgainLaterIsARateLimit", 421, "4.7.0 Try again later, closing connection. (EHLO)",
     LimitKind::Rate, 900},
    {"GmailTooManyRecipientsIsARateLimit", 452,
     "4.5.3 Your message has too many recipients. For more information regarding Google's "
     "sending limits, go to https://support.google.com/mail/answer/6592",
     LimitKind::Rate, 900},
    {"GmailUnusualRateIsARateLimit", 421,
     "4.7.28 Our system has detected an unusual rate of unsolicited mail", LimitKind::Rate, 900},
    {"GmailTooManyLoginsIsARateLimit", 454, "4.7.0 Too many login attempts, please try again later.",
     LimitKind::Rate, 900},
    {"OutlookSubmissionQuotaIsAQuota", 554,
     "5.2.0 STOREDRV.Submission.Exception:SubmissionQuotaExceededException; Failed to process "
     "message due to a permanent exception",
     LimitKind::Quota, 3600},
    {"OutlookRefuseQuotaVerdictIsAQuota", 554,
     "5.2.0 STOREDRV.Submission.Exception:OutboundSpamException; WASCL UserAction verdict is not "
     "None. Actual verdict is RefuseQuota, ShowTierUpgrade.",
     LimitKind::Quota, 3600},
    {"MicrosoftSenderThreadLimitIsARateLimit", 432,
     "4.3.2 STOREDRV.ClientSubmit; sender thread limit exceeded", LimitKind::Rate, 900},
    {"YahooDeferredVolumeIsARateLimit", 421,
     "4.7.0 [TSS04] Messages from 192.0.2.1 temporarily deferred due to unexpected volume or user "
     "complaints",
     LimitKind::Rate, 900},
    {"SesDailyQuotaIsAQuota", 454, "Throttling failure: Daily message quota exceeded.",
     LimitKind::Quota, 3600},
    {"SesMaximumRateIsARateLimit", 454, "Throttling failure: Maximum sending rate exceeded.",
     LimitKind::Rate, 900},
    {"RelayThrottledIsARateLimit", 451, "4.7.1 Throttled, please slow down", LimitKind::Rate, 900},
    {"RelayRateLimitWithMinutesWaitsTheMinutes", 450,
     "4.7.1 Rate limit exceeded, try again in 30 minutes", LimitKind::Rate, 1800},
    {"HourlyLimitWithRetryAfterTimeWaitsUntilThatTime", 550,
     "5.7.1 Hourly limit reached for this account; retry after 2026-12-07 14:05 UTC",
     LimitKind::Quota, 2 * 3600 + 5 * 60},
    {"ZoneOffsetIsTakenIntoAccount", 451,
     "4.7.1 Too many messages; try again after 2026-12-07T14:05:00+01:00", LimitKind::Rate,
     3600 + 5 * 60},
    {"SuggestedBackoffMillisecondsRoundUp", 421,
     "4.7.0 Request is throttled. Suggested Backoff Time: 92415 milliseconds", LimitKind::Rate,
     93},
    {"ResetInHoursIsTheStatedWait", 550,
     "5.7.1 You have reached your daily sending limit; it will be reset in 24 hours",
     LimitKind::Quota, 24 * 3600},
    {"AWaitBeyondTwoDaysIsCappedAtTwoDays", 550, "5.4.5 Daily quota exceeded, try again in 30 days",
     LimitKind::Quota, 48 * 3600},
    {"ATimeAlreadyPastGoesOnAfterOneSecond", 421,
     "4.7.0 Rate limit; retry after 2026-12-07 11:00 UTC", LimitKind::Rate, 1},
    {"ANumberWithoutWordsOfWaitingIsNoStatedTime", 550,
     "5.7.1 Daily limit of 500 messages in 24 hours exceeded", LimitKind::Quota, 3600},

    // Ordinary failures: refused recipients, full mailboxes, greylisting, shutdowns.
    {"UnknownRecipientIsNoLimit", 550,
     "5.1.1 The email account that you tried to reach does not exist.", std::nullopt, 0},
    {"ServiceShuttingDownIsNoLimit", 421, "4.3.2 Service shutting down, closing transmission channel",
     std::nullopt, 0},
    {"BarePlain421IsNoLimit", 421, "Service not available, closing transmission channel",
     std::nullopt, 0},
    {"RecipientOverQuotaIsNoLimit", 452,
     "4.2.2 The email account that you tried to reach is over quota.", std::nullopt, 0},
    {"RecipientMailboxFullIsNoLimit", 552, "Requested mail action aborted: mailbox full",
     std::nullopt, 0},
    {"DovecotQuotaOfTheRecipientIsNoLimit", 552,
     "5.2.2 <bob@example.test>: Quota exceeded (mailbox for user is full)", std::nullopt, 0},
    {"MessageTooLargeIsNoLimit", 552, "5.3.4 Message size exceeds fixed limit", std::nullopt, 0},
    {"GreylistingIsNoLimit", 451, "4.7.1 Greylisted, please try again later", std::nullopt, 0},
    {"PostfixTemporaryLookupFailureIsNoLimit", 451,
     "4.3.0 <bob@example.test>: Temporary lookup failure", std::nullopt, 0},
    {"LocalProblemTryLaterWithoutPolicyClassIsNoLimit", 451,
     "4.3.0 Error: queue file write error, try again later", std::nullopt, 0},
    {"PolicyRejectionIsNoLimit", 554, "5.7.1 Message rejected due to local policy", std::nullopt, 0},
    {"WrongPasswordIsNoLimit", 535, "5.7.8 Username and Password not accepted.", std::nullopt, 0},
    {"ForwardingLoopIsNoLimit", 554, "5.4.6 Too many hops", std::nullopt, 0},
    {"AnAcceptanceIsNoLimit", 250, "2.0.0 OK quota fine", std::nullopt, 0},
};

class SmtpLimits : public testing::TestWithParam<SmtpCase> {};

TEST_P(SmtpLimits, ClassAndResumeTime) {
  const SmtpCase& c = GetParam();
  const auto limit = dtl::SmtpProviderLimit(c.code, c.text, kNow, kPauses);
  ASSERT_EQ(limit.has_value(), c.kind.has_value()) << c.code << " " << c.text;
  if (!limit) return;
  EXPECT_EQ(limit->kind, *c.kind);
  EXPECT_EQ(limit->until - kNow, c.wait);
  EXPECT_EQ(limit->reply.substr(0, 4), std::to_string(c.code) + " ");
}

INSTANTIATE_TEST_SUITE_P(Providers, SmtpLimits, testing::ValuesIn(kSmtpCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct ImapCase {
  const char* name;
  const char* status;
  const char* code;
  const char* text;
  std::optional<LimitKind> kind;
  std::time_t wait;
};

const ImapCase kImapCases[] = {
    {"MicrosoftThrottledWaitsTheSuggestedBackoff", "NO", "",
     "Request is throttled. Suggested Backoff Time: 92415 milliseconds", LimitKind::Rate, 93},
    {"LimitCodeIsARateLimit", "NO", "LIMIT", "Too many commands, slow down", LimitKind::Rate, 900},
    {"UnavailableCodeIsARateLimit", "BYE", "UNAVAILABLE", "Temporary System Error",
     LimitKind::Rate, 900},
    {"TooManyConnectionsIsARateLimit", "BYE", "", "Too many simultaneous connections. (Failure)",
     LimitKind::Rate, 900},
    {"GmailBandwidthIsAQuota", "NO", "ALERT", "Account exceeded command or bandwidth limits.",
     LimitKind::Quota, 3600},
    {"NoSuchMessageIsNoLimit", "NO", "NONEXISTENT", "No such message", std::nullopt, 0},
    {"OverQuotaMailboxIsNoLimit", "NO", "OVERQUOTA", "Quota exceeded", std::nullopt, 0},
    {"WrongPasswordIsNoLimit", "NO", "AUTHENTICATIONFAILED", "Invalid credentials", std::nullopt,
     0},
    {"LogoutByeIsNoLimit", "BYE", "", "Logging out", std::nullopt, 0},
    {"AnOkIsNoLimit", "OK", "LIMIT", "done", std::nullopt, 0},
};

class ImapLimits : public testing::TestWithParam<ImapCase> {};

TEST_P(ImapLimits, ClassAndResumeTime) {
  const ImapCase& c = GetParam();
  const auto limit = dtl::ImapProviderLimit(c.status, c.code, c.text, kNow, kPauses);
  ASSERT_EQ(limit.has_value(), c.kind.has_value()) << c.status << " " << c.text;
  if (!limit) return;
  EXPECT_EQ(limit->kind, *c.kind);
  EXPECT_EQ(limit->until - kNow, c.wait);
}

INSTANTIATE_TEST_SUITE_P(Providers, ImapLimits, testing::ValuesIn(kImapCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ProviderLimit, StatusSaysWhatWasHitAndTheLocalTimeItGoesOn) {
  // A POSIX zone rule, so the case needs no time-zone database (a bare system has none).
  ::setenv("TZ", "CET-1", 1);
  ::tzset();
  const auto limit =
      dtl::SmtpProviderLimit(550, "5.4.5 Daily user sending quota exceeded.", kNow, kPauses);
  ASSERT_TRUE(limit);
  // 13:00 UTC is 14:00 in Berlin in December.
  EXPECT_EQ(dtl::SendPausedStatus(dtl::SendLimitReason(*limit), limit->until, kNow),
            "Sending paused: the account's sending quota is used up (550 5.4.5 Daily user "
            "sending quota exceeded.). Going on at 14:00.");
  EXPECT_EQ(dtl::LocalResumeTime(kNow + 30, kNow), "13:00:30");
  EXPECT_EQ(dtl::LocalResumeTime(kNow + 86400, kNow), "2026-12-08 13:00");
  ::unsetenv("TZ");
  ::tzset();
}

TEST(ProviderLimit, PeerTextIsCutAndFreedOfControlCharacters) {
  const std::string text = "4.7.0 Rate limit \x1b[31m" + std::string(1000, 'x');
  const auto limit = dtl::SmtpProviderLimit(421, text, kNow, kPauses);
  ASSERT_TRUE(limit);
  EXPECT_LE(limit->reply.size(), 200u);
  EXPECT_EQ(limit->reply.find('\x1b'), std::string::npos);
}

}  // namespace

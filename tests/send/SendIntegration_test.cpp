// The send engine against real peers: the aiosmtpd fixture as SMTP server and exchanger,
// dnsmasq for Direct Send's MX answers, Python's email package and dtl merge on what arrived.
#include <gtest/gtest.h>

#include <netdb.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/dns_server.h"
#include "fixtures/smtp_fixture.h"
#include "send/SendEventLog.h"
#include "support/LoopbackPeer.h"

namespace {

namespace fs = std::filesystem;
using dtl::SendEventKind;
using namespace std::chrono_literals;

class SendIntegration : public dtltest::SendRunTest {
 protected:
  SendIntegration() {
    fs::create_directories(mail_);
    env_.smtpBase.connectTimeout = std::chrono::milliseconds(10000);
    env_.smtpBase.replyTimeout = std::chrono::milliseconds(20000);
  }

  std::unique_ptr<dtltest::SmtpFixture> Server(std::vector<std::string> extra = {}) {
    auto s = std::make_unique<dtltest::SmtpFixture>(mail_, std::move(extra));
    EXPECT_NE(s->port(), 0) << "the SMTP fixture did not start";
    return s;
  }
  // The fixture as the stored SMTP server.
  std::unique_ptr<dtltest::SmtpFixture> SmtpServer(std::vector<std::string> extra = {}) {
    auto s = Server(std::move(extra));
    EXPECT_TRUE(settings_.SetString("SMTPServer", "localhost"));
    EXPECT_TRUE(settings_.SetDword("SMTPPort", s->port()));
    return s;
  }
  // Mails as received ("SUBJECT|ATTACHMENT|CONTENT-TYPE|TO"), attachments saved into got/.
  std::vector<std::string> Mails() {
    fs::create_directories(dir_ / "got");
    return dtltest::ReadStoredMails(mail_, dir_ / "got");
  }

  fs::path mail_ = dir_ / "mail";
};

// The subject as the receiver reads it: name, number, nine blanks, a ten-character tag.
void ExpectSegmentSubject(const std::string& subject, const std::string& name, int index) {
  const std::string head = name + " - segment number " + std::to_string(index) + "         ";
  ASSERT_EQ(subject.substr(0, head.size()), head) << subject;
  const std::string tag = subject.substr(head.size());
  ASSERT_EQ(tag.size(), 10u) << subject;
  for (char c : tag) EXPECT_TRUE((c >= '0' && c <= '8') || (c >= 'a' && c <= 'y')) << subject;
}

// A server announcing SIZE gets no segment mail larger than that: the run stops at once naming
// the largest segment size that fits, and that size then goes through.
TEST_F(SendIntegration, SegmentLargerThanTheServerTakesStopsTheRunNamingASizeThatFits) {
  auto server = SmtpServer({"--size-limit", "60000"});
  // Without the check the refused segment would be retried without end.
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  dtl::SendRequest request = Request(250000, dtl::SendMethod::SmtpServer);
  request.position = 10;  // 100,000-byte segments: mails of about 137 kB
  ASSERT_TRUE(doc_.BuildSplitJob(request));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), 0u);
  EXPECT_EQ(log_.CountOf(SendEventKind::Delivered), 0u);
  EXPECT_TRUE(Mails().empty());
  const auto statuses = log_.Statuses();
  ASSERT_FALSE(statuses.empty());
  const std::string& last = statuses.back();
  const std::string head = "0:Segment number 1 makes a mail of ";
  ASSERT_EQ(last.substr(0, head.size()), head) << last;
  const std::string fitsText = "The largest segment size that fits is ";
  const auto at = last.find(fitsText);
  ASSERT_NE(at, std::string::npos) << last;
  const unsigned long fits = std::stoul(last.substr(at + fitsText.size()));
  EXPECT_NE(last.find("the server takes at most 60000 bytes"), std::string::npos) << last;
  ASSERT_GE(fits, 10000ul);
  EXPECT_EQ(fits % 10000, 0ul);
  EXPECT_NE(dtltest::ReadFileText(dir_ / "DTLErrorLog.xml").find("the server takes at most 60000"),
            std::string::npos);
  doc_.Stop();

  // The size it named fits, and every mail announced its size in MAIL FROM.
  fs::remove_all(mail_);
  fs::create_directories(mail_);
  log_.Clear();
  request.position = static_cast<uint32_t>(fits / 10000);
  ASSERT_TRUE(doc_.BuildSplitJob(request));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u) << log_.Statuses().back();
  EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), 0u);
  ASSERT_EQ(Mails().size(), doc_.Records().size());
  const std::string meta = dtltest::ReadFileText(mail_ / "msg-1.json");
  const std::string eml = dtltest::ReadFileText(mail_ / "msg-1.eml");
  EXPECT_NE(meta.find("\"SIZE=" + std::to_string(eml.size())), std::string::npos) << meta;
}

// A whole message refused for good (5xx at the end of data) is reported and never sent again.
TEST_F(SendIntegration, PermanentRefusalOfTheMessageStopsTheRunAfterOneAttempt) {
  auto server = SmtpServer({"--refuse-data", "552 5.3.4 Message size exceeds fixed limit"});
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  Run(1);
  EXPECT_EQ(dtltest::ReadFileText(mail_ / "data-refused.log"), "1\n");
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  EXPECT_EQ(log_.CountOf(SendEventKind::Delivered), 0u);
  EXPECT_EQ(
      log_.Statuses().back(),
      "0:The server refused segment number 1 for good: 552 5.3.4 Message size exceeds fixed limit");
  EXPECT_EQ(doc_.Records().at(0).pending, 1);
  doc_.Stop();
}

TEST_F(SendIntegration, ThreeSegmentsArriveAsThreeMailsThatMergeBackToTheFile) {
  auto server = SmtpServer();
  ASSERT_TRUE(
      doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer, "one@a.test;two@b.test")));
  Run(1);

  const fs::path got = dir_ / "got";
  const auto mails = Mails();
  ASSERT_EQ(mails.size(), 3u);
  const char* names[] = {"x.dtl.doc", "x.001.doc", "x.002.doc"};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(mails[i]);
    const auto bar = mails[i].find('|');
    ExpectSegmentSubject(mails[i].substr(0, bar), "x", i);
    EXPECT_EQ(mails[i].substr(bar),
              std::string("|") + names[i] + "|application/msword|one@a.test, two@b.test");
  }
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u);
  EXPECT_TRUE(doc_.CanSend());

  // The received attachments merge back into the file.
  fs::create_directories(dir_ / "merged");
  auto r = dtltest::RunCommand(dtltest::DtlPath() + " merge " +
                               dtltest::ShellQuote((got / "x.dtl.doc").string()) + " --out " +
                               dtltest::ShellQuote((dir_ / "merged").string()));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(dtltest::ReadFileBytes(dir_ / "merged" / "x"), source_);
}

TEST_F(SendIntegration, PlainTransferArrivesAsTheFileItself) {
  auto server = SmtpServer();
  ASSERT_TRUE(
      doc_.BuildPlainJob(Request(30000, dtl::SendMethod::SmtpServer, "one@a.test", "report.pdf")));
  Run(1);
  const fs::path got = dir_ / "got";
  const auto mails = Mails();
  ASSERT_EQ(mails.size(), 1u);
  // A plain transfer's subject is the file name and one blank.
  EXPECT_EQ(mails[0], "report.pdf |report.pdf|application/x-msdownload|one@a.test");
  EXPECT_EQ(dtltest::ReadFileBytes(got / "report.pdf"), source_);
}

// The exchanger's address, like its name, is asked of the configured name server only.
const char kLocalhostRecord[] = "--host-record=localhost,127.0.0.1";

TEST_F(SendIntegration, DirectSendFollowsTheMxAnswerToTheStoredPort) {
  dtltest::DnsServer dns({"--mx-host=mx.test,localhost,10", kLocalhostRecord});
  ASSERT_TRUE(dns.running()) << dns.error();
  auto server = Server();
  EXPECT_TRUE(settings_.SetDword("Port", server->port()));
  env_.mxResolverFactory = [&]() -> dtl::Result<std::unique_ptr<dtl::MxResolver>> {
    return std::make_unique<dtl::MxResolver>(dns.ResolvConf());
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(15000, dtl::SendMethod::DirectSend, "someone@mx.test;")));
  Run(1);
  const auto mails = Mails();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_NE(mails[1].find("|x.001.doc|application/msword|someone@mx.test"), std::string::npos)
      << mails[1];
  EXPECT_EQ(log_.Statuses()[0],
            "0:Requesting MX record for someone@mx.test (might take a few seconds).");
}

// The resolver configuration of the run covers the exchanger's address too: a name only the
// configured server knows is reached, where the system resolver would find nothing.
TEST_F(SendIntegration, DirectSendResolvesTheExchangerWithTheConfiguredNameServer) {
  dtltest::DnsServer dns({"--mx-host=a.test,mx.a.test,10", "--host-record=mx.a.test,127.0.0.1"});
  ASSERT_TRUE(dns.running()) << dns.error();
  addrinfo* found = nullptr;
  const int known = getaddrinfo("mx.a.test", "25", nullptr, &found);
  if (known == 0) freeaddrinfo(found);
  ASSERT_NE(known, 0) << "the system resolver knows mx.a.test: the case proves nothing here";
  auto server = Server();
  EXPECT_TRUE(settings_.SetDword("Port", server->port()));
  env_.mxResolverFactory = [&]() -> dtl::Result<std::unique_ptr<dtl::MxResolver>> {
    return std::make_unique<dtl::MxResolver>(dns.ResolvConf());
  };
  // A failed attempt would be retried without end; the first one ends the case.
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(15000, dtl::SendMethod::DirectSend, "someone@a.test")));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), 0u)
      << dtltest::ReadFileText(dir_ / "DTLErrorLog.xml");
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u);
  const auto mails = Mails();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_NE(mails[1].find("|x.001.doc|application/msword|someone@a.test"), std::string::npos)
      << mails[1];
}

TEST_F(SendIntegration, UnresolvableDomainFailsEachRecordAndEndsNormallyWithAllPending) {
  dtltest::DnsServer dns({"--mx-host=mx.test,localhost,10"});
  ASSERT_TRUE(dns.running()) << dns.error();
  env_.mxResolverFactory = [&]() -> dtl::Result<std::unique_ptr<dtl::MxResolver>> {
    return std::make_unique<dtl::MxResolver>(dns.ResolvConf());
  };
  ASSERT_TRUE(
      doc_.BuildSplitJob(Request(15000, dtl::SendMethod::DirectSend, "someone@nowhere.test")));
  Run(1);
  const std::vector<std::string> want = {
      "0:Requesting MX record for someone@nowhere.test (might take a few seconds).",
      "0:Failed retrieving MX record for someone@nowhere.test.",
      "1:Requesting MX record for someone@nowhere.test (might take a few seconds).",
      "1:Failed retrieving MX record for someone@nowhere.test.",
  };
  EXPECT_EQ(log_.Statuses(), want);
  EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), 0u);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u);
  for (const auto& r : doc_.Records()) EXPECT_EQ(r.pending, 1);
}

// A look-up that fails (the name server refuses the query, which says nothing about the domain)
// is asked again for the same segment after the run's back-off, until a server answers; the
// segment is then delivered, not skipped. `failures` refusals come before the answer.
class MxRetry : public SendIntegration {
 protected:
  void FailedMxLookUpsThenAnAnswer(int failures,
                                   const std::vector<std::chrono::milliseconds>& wantWaits) {
    auto dns = std::make_unique<dtltest::DnsServer>(std::vector<std::string>{}, "other");
    ASSERT_TRUE(dns->running()) << dns->error();
    const std::string address = dns->address();
    const std::string conf = dns->ResolvConf();
    auto server = Server();
    EXPECT_TRUE(settings_.SetDword("Port", server->port()));
    env_.mxResolverFactory = [&]() -> dtl::Result<std::unique_ptr<dtl::MxResolver>> {
      return std::make_unique<dtl::MxResolver>(conf);
    };
    int failed = 0;
    log_.onEvent = [&](const dtl::SendEvent& e) {
      if (e.kind == SendEventKind::Status &&
          e.text == "Failed retrieving MX record for someone@late.test." && ++failed == failures) {
        dns.reset();
        dns = dtltest::DnsServer::At(address, {"--mx-host=late.test,localhost,10", kLocalhostRecord});
      }
    };
    ASSERT_TRUE(
        doc_.BuildSplitJob(Request(15000, dtl::SendMethod::DirectSend, "someone@late.test;")));
    Run(1);
    ASSERT_TRUE(dns->running()) << dns->error();
    EXPECT_EQ(failed, failures);
    EXPECT_EQ(Waits(), wantWaits);
    std::vector<std::string> want;
    for (int i = 0; i < failures; ++i) {
      const std::string wait = i == 0 ? "now" : "in " + std::to_string(1 << (i - 1)) + " s";
      want.push_back("0:Requesting MX record for someone@late.test (might take a few seconds).");
      want.push_back("0:Failed retrieving MX record for someone@late.test.");
      want.push_back("0:Failed retrieving MX record for someone@late.test \u2014 trying again " +
                     wait);
    }
    want.push_back("0:Requesting MX record for someone@late.test (might take a few seconds).");
    const auto statuses = log_.Statuses();
    ASSERT_GE(statuses.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(statuses.begin(), statuses.begin() + want.size()), want);
    EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u);
    for (const auto& r : doc_.Records()) EXPECT_EQ(r.pending, 0);
    const auto mails = Mails();
    ASSERT_EQ(mails.size(), 2u);
    // The stored mails come in no fixed order: one of them is the second segment.
    EXPECT_EQ(std::count_if(mails.begin(), mails.end(),
                            [](const std::string& m) {
                              return m.find("|x.001.doc|application/msword|someone@late.test") !=
                                     std::string::npos;
                            }),
              1)
        << ::testing::PrintToString(mails);
  }
};

TEST_F(MxRetry, FailedMxLookUpIsAskedAgainAndTheNextSegmentIsDelivered) {
  FailedMxLookUpsThenAnAnswer(1, {0s});
}

TEST_F(MxRetry, MxLookUpFailingTwiceWaitsWithTheBackOffThenDelivers) {
  FailedMxLookUpsThenAnAnswer(2, {0s, 1s});
}

// A look-up that keeps failing is retried without end, so Stop must end it: the row then says
// it was stopped and every segment stays pending.
TEST_F(MxRetry, StopDuringTheMxRetryEndsTheRunAndTheRowSaysStopped) {
  dtltest::DnsServer dns(std::vector<std::string>{}, "other");
  ASSERT_TRUE(dns.running()) << dns.error();
  env_.mxResolverFactory = [&]() -> dtl::Result<std::unique_ptr<dtl::MxResolver>> {
    return std::make_unique<dtl::MxResolver>(dns.ResolvConf());
  };
  int failures = 0;
  log_.onEvent = [&](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying && ++failures == 3) doc_.Stop();
  };
  ASSERT_TRUE(
      doc_.BuildSplitJob(Request(15000, dtl::SendMethod::DirectSend, "someone@late.test;")));
  Run(1);
  EXPECT_EQ(failures, 3);
  EXPECT_EQ(Waits(), (std::vector<std::chrono::milliseconds>{0s, 1s}));
  ASSERT_FALSE(log_.Statuses().empty());
  EXPECT_EQ(log_.Statuses().back(), "0:Stopped");
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  for (const auto& r : doc_.Records()) EXPECT_EQ(r.pending, 1);
}

// A recipient refused for now (450) is retried without end, each failure writing its log.
TEST_F(SendIntegration, RefusingServerIsRetriedWithAFreshErrorLogUntilStopped) {
  auto server = SmtpServer({"--defer", "nobody@a.test"});
  const fs::path errorLog = dir_ / "DTLErrorLog.xml";
  int failures = 0;
  bool everyFailureWroteItsLog = true;
  log_.onEvent = [&](const dtl::SendEvent& e) {
    if (e.kind != SendEventKind::FailedRetrying) return;
    // Taken away at each failure, so the next failure has to write it anew.
    everyFailureWroteItsLog &=
        fs::exists(errorLog) && dtltest::ReadFileText(errorLog).find("450") != std::string::npos;
    fs::remove(errorLog);
    EXPECT_EQ(e.position, 0);
    if (++failures == 3) doc_.Stop();
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(15000, dtl::SendMethod::SmtpServer, "nobody@a.test")));
  Run(1);
  EXPECT_EQ(failures, 3);
  EXPECT_TRUE(everyFailureWroteItsLog);
  // Stop came with the third failure, before its wait.
  EXPECT_EQ(Waits(), (std::vector<std::chrono::milliseconds>{0s, 1s}));
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  EXPECT_EQ(log_.CountOf(SendEventKind::Delivered), 0u);
  EXPECT_TRUE(doc_.CanSend());
  EXPECT_TRUE(Mails().empty());
}

TEST_F(SendIntegration, StopDuringATransferThenSendResendsOnlyTheInterruptedSegment) {
  auto server = SmtpServer();
  dtl::SendRequest request = Request(3 * 2000000, dtl::SendMethod::SmtpServer, "one@a.test", "big");
  request.position = 200;  // 2 MB segments: many progress polls per transfer
  ASSERT_TRUE(doc_.BuildSplitJob(request));
  log_.onEvent = [&](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::UploadPercent && e.position == 1 && e.percent > 0 &&
        doc_.Running())
      doc_.Stop();
  };
  Run(1);
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), std::vector<int>{0});
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  EXPECT_EQ(doc_.Records()[1].pending, 1);

  log_.onEvent = nullptr;
  log_.Clear();
  Run(1);
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), (std::vector<int>{1, 2}));
  const auto mails = Mails();
  ASSERT_EQ(mails.size(), 3u);
  EXPECT_NE(mails[0].find("|big.dtl.doc|"), std::string::npos);
  EXPECT_NE(mails[1].find("|big.001.doc|"), std::string::npos);
  EXPECT_NE(mails[2].find("|big.002.doc|"), std::string::npos);
}

// A server nobody answers on: each attempt fails at once, the retries wait 0, 1, 2, 4 ... s
// (recorded, not slept), and the status says why with the wait and points to the log.
TEST_F(SendIntegration, RefusedConnectionIsRetriedAfterGrowingWaitsNamingTheReason) {
  dtltest::RefusingPort port;
  ASSERT_NE(port.port(), 0);
  EXPECT_TRUE(settings_.SetString("SMTPServer", "127.0.0.1"));
  EXPECT_TRUE(settings_.SetDword("SMTPPort", static_cast<uint32_t>(port.port())));
  int failures = 0;
  log_.onEvent = [&](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying && ++failures == 5) doc_.Stop();
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  Run(1);
  EXPECT_EQ(Waits(), (std::vector<std::chrono::milliseconds>{0s, 1s, 2s, 4s}));
  const auto statuses = log_.Statuses();
  const std::string want =
      "0:Failed sending segment number 1: connect: Connection refused \u2014 trying again in 4 s";
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), want), statuses.end())
      << ::testing::PrintToString(statuses);
  EXPECT_EQ(statuses.back(), "0:Stopped");
  for (const auto& e : log_.Events()) {
    if (e.kind == SendEventKind::Status && e.text.find("trying again") != std::string::npos) {
      EXPECT_EQ(e.detail, "Log file created: " + (dir_ / "DTLErrorLog.xml").string());
    }
  }
  EXPECT_NE(dtltest::ReadFileText(dir_ / "DTLErrorLog.xml").find("Connection refused"),
            std::string::npos);
}

// The envelope recipients of stored mail number `n` (from the fixture's notes).
std::string StoredRecipients(const fs::path& mail, int n) {
  const std::string json = dtltest::ReadFileText(mail / ("msg-" + std::to_string(n) + ".json"));
  const auto at = json.find("\"rcpt\": ");
  return at == std::string::npos ? json : json.substr(at + 8, json.find(']', at) - at - 7);
}

// The server takes one recipient and refuses the other for good: each segment reaches the one
// that took it once, the run ends normally, and the refused address is reported.
TEST_F(SendIntegration, AcceptedRecipientGetsEachSegmentOnceAndTheRefusedOneIsReported) {
  auto server = SmtpServer({"--refuse", "bad@a.test"});
  ASSERT_TRUE(
      doc_.BuildSplitJob(Request(15000, dtl::SendMethod::SmtpServer, "good@a.test;bad@a.test")));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u) << log_.Statuses().back();
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), (std::vector<int>{0, 1}));
  ASSERT_EQ(Mails().size(), 2u);
  EXPECT_EQ(StoredRecipients(mail_, 1), "[\"good@a.test\"]");
  EXPECT_EQ(StoredRecipients(mail_, 2), "[\"good@a.test\"]");
  const auto statuses = log_.Statuses();
  EXPECT_NE(std::find(statuses.begin(), statuses.end(),
                      "0:Segment number 1 delivered; refused for good: bad@a.test (550 5.1.1 no "
                      "such user)"),
            statuses.end())
      << ::testing::PrintToString(statuses);
  EXPECT_NE(dtltest::ReadFileText(dir_ / "DTLErrorLog.xml").find("bad@a.test"), std::string::npos);
}

// Refused for now, a recipient gets the segment alone on the retry; the one that took it the
// first time is not mailed it again.
TEST_F(SendIntegration, RecipientRefusedForNowGetsTheSegmentAloneOnTheRetry) {
  auto server = SmtpServer({"--defer-once", "later@a.test"});
  ASSERT_TRUE(
      doc_.BuildSplitJob(Request(15000, dtl::SendMethod::SmtpServer, "good@a.test;later@a.test")));
  Run(1);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 1u) << log_.Statuses().back();
  EXPECT_EQ(log_.Positions(SendEventKind::PartlyDelivered), std::vector<int>{0});
  ASSERT_EQ(Mails().size(), 3u);
  EXPECT_EQ(StoredRecipients(mail_, 1), "[\"good@a.test\"]");
  EXPECT_EQ(StoredRecipients(mail_, 2), "[\"later@a.test\"]");
  EXPECT_EQ(StoredRecipients(mail_, 3), "[\"good@a.test\", \"later@a.test\"]");
}

}  // namespace

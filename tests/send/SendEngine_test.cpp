// The send engine's run through the document, with a scripted SMTP peer in place of the network
// and small shell scripts as the mail-client submission program.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <optional>

#include "send/SendEventLog.h"

namespace {

namespace fs = std::filesystem;
using dtl::SendEventKind;
using namespace std::chrono_literals;

struct Attempt {
  dtl::SmtpSettings settings;
  dtl::SmtpEnvelope envelope;
  std::string wire;
};

class SendEngineTest : public dtltest::SendRunTest {
 protected:
  SendEngineTest() {
    EXPECT_TRUE(settings_.SetString("SMTPServer", "smtp.example.com"));
    env_.clock = [] { return std::time_t{1700000000}; };
    env_.mxResolverFactory = []() -> dtl::Result<std::unique_ptr<dtl::MxResolver>> {
      return dtl::Error(dtl::ErrorCode::NotFound, "no resolver in this test");
    };
    env_.deliver = [this](const dtl::SmtpSettings& s, const dtl::SmtpEnvelope& e,
                          std::string_view wire, dtl::MailProgress* progress, std::stop_token stop,
                          dtl::SmtpAttemptReport& report) -> dtl::Status {
      size_t n;
      {
        std::lock_guard<std::mutex> lock(mu_);
        attempts_.push_back({s, e, std::string(wire)});
        n = attempts_.size();
      }
      progress->SendProgress(50);
      progress->SendProgress(100);
      if (stop.stop_requested()) {
        report.log.Error("Mail sending aborted by application");
        return dtl::Error(dtl::ErrorCode::Cancelled, "Mail sending aborted by application");
      }
      if (answer_) return answer_(n, e, report);
      const bool ok = peer_ ? peer_(n) : true;
      if (ok) return {};
      report.log.Error("Send failed. attempt " + std::to_string(n));
      if (refusal_) {
        report.sizeLimit = sizeLimit_;
        report.permanentRefusal = refusal_;
      }
      return dtl::Error(dtl::ErrorCode::Refused, "Send failed.");
    };
  }

  std::vector<Attempt> Attempts() {
    std::lock_guard<std::mutex> lock(mu_);
    return attempts_;
  }
  static std::string Subject(const std::string& wire) {
    const auto at = wire.find("\r\nSubject: ");
    return wire.substr(at + 11, wire.find("\r\n", at + 11) - at - 11);
  }

  std::function<bool(size_t attempt)> peer_;
  // A peer that answers each recipient: fills the report as DeliverOverSmtp would.
  std::function<dtl::Status(size_t attempt, const dtl::SmtpEnvelope&, dtl::SmtpAttemptReport&)>
      answer_;
  // What a failed attempt reports besides failing: a permanent refusal and the announced limit.
  std::optional<dtl::SmtpReply> refusal_;
  uint64_t sizeLimit_ = 0;
  std::mutex mu_;
  std::vector<Attempt> attempts_;
};

TEST(SubjectLine, SplitFormHasNumberNineBlanksAndTagPlainFormOneBlank) {
  dtl::SystemRandom random;
  random.Seed(42);
  const std::string tag = dtl::MakeSubjectTag(random);
  ASSERT_EQ(tag.size(), 10u);
  for (char c : tag) EXPECT_TRUE((c >= '0' && c <= '8') || (c >= 'a' && c <= 'y')) << tag;
  EXPECT_EQ(dtl::SegmentSubject("song.mp3", 12, tag, false),
            "song.mp3 - segment number 12         " + tag);
  EXPECT_EQ(dtl::SegmentSubject("song.mp3", 12, tag, true), "song.mp3 ");
}

TEST_F(SendEngineTest, ThreeRecordsReportSendingProgressAndDeliveryThenEndOnce) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer, "a@x.test;b@y.test")));
  Run();
  std::vector<std::string> kinds;
  for (const auto& e : log_.Events()) {
    if (e.kind == SendEventKind::Status) kinds.push_back(std::to_string(e.position) + ":" + e.text);
    if (e.kind == SendEventKind::UploadPercent)
      kinds.push_back(std::to_string(e.position) + ":" + std::to_string(e.percent) + "%");
    if (e.kind == SendEventKind::Delivered)
      kinds.push_back(std::to_string(e.position) + ":delivered");
    if (e.kind == SendEventKind::RunEnded) kinds.push_back("end");
  }
  const std::vector<std::string> want = {"0:Sending Segment...",
                                         "0:50%",
                                         "0:100%",
                                         "0:delivered",
                                         "1:Sending Segment...",
                                         "1:50%",
                                         "1:100%",
                                         "1:delivered",
                                         "2:Sending Segment...",
                                         "2:50%",
                                         "2:100%",
                                         "2:delivered",
                                         "end"};
  EXPECT_EQ(kinds, want);
  EXPECT_TRUE(doc_.CanSend());
  for (const auto& r : doc_.Records()) EXPECT_EQ(r.pending, 0);

  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 3u);
  EXPECT_EQ(attempts[0].envelope.from, "me@example.com");
  EXPECT_EQ(attempts[0].envelope.recipients, (std::vector<std::string>{"a@x.test", "b@y.test"}));
  EXPECT_EQ(attempts[0].settings.host, "smtp.example.com");
  EXPECT_EQ(attempts[0].settings.startTls, dtl::StartTlsMode::Verified);
  const std::string& wire = attempts[1].wire;
  EXPECT_EQ(wire.find("X-Mailer"), std::string::npos);
  EXPECT_NE(wire.find("filename=\"x.001.doc\""), std::string::npos);
  EXPECT_NE(wire.find("x-original-encoding: base64"), std::string::npos);
  // The body is the subject and a full stop, left unencrypted.
  EXPECT_NE(wire.find("\r\n\r\n" + Subject(wire) + "."), std::string::npos);
  // From comes before To on the SMTP server path.
  EXPECT_LT(wire.find("\r\nFrom: "), wire.find("\r\nTo: "));
}

TEST_F(SendEngineTest, DirectSendUsesTheOverrideHostThePortFixAndNoLogin) {
  EXPECT_TRUE(settings_.SetString("MX", "mx.override.test"));
  EXPECT_TRUE(settings_.SetString("SMTPUserName", "user"));
  EXPECT_TRUE(settings_.SetString("SMTPPass", "secret"));
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::DirectSend, "only@a.test;")));
  doc_.Delivery().directPort = 0;
  Run();
  EXPECT_EQ(log_.Statuses()[0], "0:Overriding MX record detection; Using mx.override.test.");
  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 1u);
  EXPECT_EQ(attempts[0].settings.host, "mx.override.test");
  EXPECT_EQ(attempts[0].settings.port, 25);
  EXPECT_EQ(settings_.RawDword(dtl::kSettingsKey, "Port"), 25u);
  EXPECT_EQ(doc_.Delivery().directPort, 0u);  // the port fix stays with the attempt
  EXPECT_TRUE(attempts[0].settings.user.empty());
  EXPECT_EQ(attempts[0].settings.startTls, dtl::StartTlsMode::Opportunistic);
  EXPECT_EQ(attempts[0].envelope.recipients, std::vector<std::string>{"only@a.test"});
  // To before From on the Direct Send path.
  EXPECT_LT(attempts[0].wire.find("\r\nTo: "), attempts[0].wire.find("\r\nFrom: "));
}

// The SMTP-server attempt carries the user's choice on plain logins; Direct Send has no login.
TEST_F(SendEngineTest, PlainLoginSettingReachesTheSmtpServerAttemptOnly) {
  const struct {
    dtl::SendMethod method;
    std::optional<uint32_t> stored;
    bool allowed;
  } cases[] = {
      {dtl::SendMethod::SmtpServer, std::nullopt, false},
      {dtl::SendMethod::SmtpServer, 0u, false},
      {dtl::SendMethod::SmtpServer, 1u, true},
      {dtl::SendMethod::DirectSend, 1u, false},
  };
  settings_.SetString("MX", "mx.override.test");
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(static_cast<int>(c.method)) + " stored " +
                 (c.stored ? std::to_string(*c.stored) : "none"));
    if (c.stored) settings_.SetDword("AllowPlainLogin", *c.stored);
    ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, c.method, "only@a.test;")));
    Run();
    const auto attempts = Attempts();
    ASSERT_FALSE(attempts.empty());
    EXPECT_EQ(attempts.back().settings.allowPlainLogin, c.allowed);
  }
}

// The settings dialogs reload the document's delivery settings while a run may be in its
// connect step; the run must go on with the settings it started with, and its port fix must not
// leak into the document.
TEST_F(SendEngineTest, RunKeepsItsOwnDeliverySettingsWhenTheDocumentsChangeDuringAnAttempt) {
  struct Case {
    const char* name;
    dtl::SendMethod method;
    void (*prepare)(dtl::DeliverySettings&);  // before the run starts
    void (*change)(dtl::DeliverySettings&);   // during the first attempt
    std::string wantHost;
    void (*checkDoc)(const dtl::DeliverySettings&);
  };
  const Case cases[] = {
      {"smtp server", dtl::SendMethod::SmtpServer, [](dtl::DeliverySettings& d) { d.smtpPort = 0; },
       [](dtl::DeliverySettings& d) {
         d.smtpHost = "changed.example.com";
         d.smtpPort = 2525;
         d.smtpUser = "someone";
       },
       "smtp.example.com",
       [](const dtl::DeliverySettings& d) {
         EXPECT_EQ(d.smtpHost, "changed.example.com");
         EXPECT_EQ(d.smtpPort, 2525u);
       }},
      {"direct send", dtl::SendMethod::DirectSend,
       [](dtl::DeliverySettings& d) {
         d.mxOverride = "mx.override.test";
         d.directPort = 0;
       },
       [](dtl::DeliverySettings& d) {
         d.mxOverride = "mx.changed.test";
         d.directPort = 2525;
       },
       "mx.override.test",
       [](const dtl::DeliverySettings& d) {
         EXPECT_EQ(d.mxOverride, "mx.changed.test");
         EXPECT_EQ(d.directPort, 2525u);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(mu_);
      attempts_.clear();
    }
    log_.Clear();
    ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, c.method)));
    c.prepare(doc_.Delivery());
    peer_ = [&](size_t n) {
      if (n == 1) c.change(doc_.Delivery());
      return n >= 2;
    };
    Run(1);
    const auto attempts = Attempts();
    ASSERT_EQ(attempts.size(), 2u);
    for (const auto& a : attempts) {
      EXPECT_EQ(a.settings.host, c.wantHost);
      EXPECT_EQ(a.settings.port, 25);
      EXPECT_TRUE(a.settings.user.empty());
    }
    c.checkDoc(doc_.Delivery());
    peer_ = nullptr;
  }
}

// A pause (after a failed MX look-up here) must end at once when Stop comes, not after its time.
TEST_F(SendEngineTest, StopEndsAPauseAtOnceAndAbandonsTheRun) {
  env_.pause = std::chrono::hours(1);
  std::mutex m;
  std::condition_variable cv;
  bool failed = false;
  log_.onEvent = [&](const dtl::SendEvent& e) {
    if (e.kind != SendEventKind::Status || e.text.rfind("Failed retrieving MX record", 0) != 0)
      return;
    std::lock_guard<std::mutex> lock(m);
    failed = true;
    cv.notify_all();
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::DirectSend)));
  ASSERT_TRUE(doc_.StartRun(log_, env_));
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return failed; });
  }
  doc_.Stop();
  log_.WaitForRuns(1);
  EXPECT_EQ(doc_.Wait(), 0);
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  EXPECT_TRUE(doc_.CanSend());
  for (const auto& r : doc_.Records()) EXPECT_EQ(r.pending, 1);
}

TEST_F(SendEngineTest, FailureIsRetriedAtOnceThenAfterTheBackOffWithANewTagAndAFreshErrorLog) {
  peer_ = [](size_t n) { return n >= 3; };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  Run();
  const std::vector<std::string> want = {
      "0:Sending Segment...",
      "0:Failed sending segment number 1: Send failed \u2014 trying again now",
      "0:Sending Segment...",
      "0:Failed sending segment number 1: Send failed \u2014 trying again in 1 s",
      "0:Sending Segment...",
  };
  EXPECT_EQ(log_.Statuses(), want);
  EXPECT_EQ(Waits(), (std::vector<std::chrono::milliseconds>{0s, 1s}));
  // The error log's path goes with the failure's status, for the row's tool tip.
  for (const auto& e : log_.Events()) {
    if (e.kind == SendEventKind::Status && e.text.find("trying again") != std::string::npos) {
      EXPECT_EQ(e.detail, "Log file created: " + (dir_ / "DTLErrorLog.xml").string());
    }
  }
  EXPECT_EQ(log_.Positions(SendEventKind::FailedRetrying), (std::vector<int>{0, 0}));
  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 3u);
  EXPECT_NE(Subject(attempts[0].wire), Subject(attempts[1].wire));
  // The subject of the segment at position 0 carries number 0 while the status says 1.
  EXPECT_EQ(Subject(attempts[0].wire).rfind("x - segment number 0         ", 0), 0u);
  EXPECT_NE(dtltest::ReadFileText(dir_ / "DTLErrorLog.xml").find("attempt 2"), std::string::npos);
  // No piece file is left behind by the attempts.
  EXPECT_TRUE(fs::is_empty(temp_));
}

TEST_F(SendEngineTest, SegmentAcceptedWhenStopCameIsNotSentAgain) {
  peer_ = [this](size_t n) {
    if (n == 1) doc_.Stop();
    return true;
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer)));
  Run();
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), std::vector<int>{0});
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
  peer_ = nullptr;
  log_.Clear();
  Run();
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), (std::vector<int>{1, 2}));
  EXPECT_EQ(Attempts().size(), 3u);
}

// Stop pressed at the run's very first event (the worker may still be starting then) ends the
// run all the same. The race is narrow, so the run is repeated.
TEST_F(SendEngineTest, StopAtTheFirstEventOfARunIsNeverLost) {
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer)));
    log_.Clear();
    bool first = true;
    log_.onEvent = [&](const dtl::SendEvent&) {
      if (std::exchange(first, false)) doc_.Stop();
    };
    ASSERT_TRUE(doc_.StartRun(log_, env_));
    log_.WaitForRuns(1);
    EXPECT_EQ(doc_.Wait(), 0);
    log_.onEvent = nullptr;
    EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
    EXPECT_LE(log_.CountOf(SendEventKind::Delivered), 1u);
  }
}

TEST_F(SendEngineTest, SendStaysDisabledUntilAStoppedWorkerHasLeft) {
  std::mutex m;
  std::condition_variable cv;
  bool inside = false, release = false;
  peer_ = [&](size_t) {
    std::unique_lock<std::mutex> lock(m);
    inside = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    return false;
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  ASSERT_TRUE(doc_.StartRun(log_, env_));
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return inside; });
  }
  doc_.Stop();
  EXPECT_FALSE(doc_.CanStop());
  EXPECT_FALSE(doc_.CanSend());  // a second worker would share the list with this one
  EXPECT_FALSE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  {
    std::lock_guard<std::mutex> lock(m);
    release = true;
  }
  cv.notify_all();
  log_.WaitForRuns(1);
  doc_.Wait();
  EXPECT_TRUE(doc_.CanSend());
  EXPECT_EQ(log_.Statuses().back(), "0:Sending Segment...");  // abandoned: no failure reported
}

TEST_F(SendEngineTest, RecordUntickedWhileThePreviousIsOnTheWireIsSkipped) {
  peer_ = [this](size_t n) {
    if (n == 1) doc_.SetPending(1, false);  // the next record may already be packed ahead
    return true;
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer)));
  Run();
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), (std::vector<int>{0, 2}));
  for (const auto& e : log_.Events())
    EXPECT_NE(e.position, 1) << int(e.kind);  // skipped without any event
  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_NE(attempts[1].wire.find("filename=\"x.002.doc\""), std::string::npos);
}

// A permanent refusal ends the run after one attempt: naming a size that fits when the server
// announced a limit, quoting the server otherwise. A transient one is retried as before.
TEST_F(SendEngineTest, PermanentRefusalEndsTheRunAndATransientOneIsRetried) {
  const struct {
    const char* name;
    std::optional<dtl::SmtpReply> refusal;
    uint64_t sizeLimit;
    const char* status;  // the last status's start
  } cases[] = {
      {"policy", dtl::SmtpReply{554, {"5.7.1 rejected"}}, 0,
       "0:The server refused segment number 1 for good: 554 5.7.1 rejected"},
      {"too large", dtl::SmtpReply{552, {"5.3.4 too big"}}, 20000,
       "0:Segment number 1 makes a mail of "},
      {"transient", std::nullopt, 0, "0:Stopped"},
  };
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  peer_ = [](size_t) { return false; };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    {
      std::lock_guard<std::mutex> lock(mu_);
      attempts_.clear();
    }
    refusal_ = c.refusal;
    sizeLimit_ = c.sizeLimit;
    ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer)));
    Run();
    EXPECT_EQ(Attempts().size(), 1u);
    const std::string last = log_.Statuses().back();
    EXPECT_EQ(last.substr(0, std::string(c.status).size()), c.status) << last;
    EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), c.refusal ? 0u : 1u);
    EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
    // Refused for good, the run is over without Stop: Send is free again.
    EXPECT_TRUE(doc_.CanSend());
    EXPECT_FALSE(doc_.CanStop());
    doc_.Stop();
  }
}

TEST_F(SendEngineTest, ARefusedOAuth2LoginEndsTheRunAndARefusedPasswordIsRetried) {
  const std::string expired =
      "The OAuth2 login for me@example.com is no longer valid; log in again (dtl account login)";
  const struct {
    const char* name;
    int smtpAuth;  // the SMTPAuth setting: 1 OAuth2
    bool endsRun;
  } cases[] = {{"OAuth2: the same refusal on every retry", 1, true},
               {"password: retried as before", 0, false}};
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  env_.smtpAccessToken = [](bool) -> dtl::Result<std::string> { return std::string("tok"); };
  answer_ = [&](size_t, const dtl::SmtpEnvelope&, dtl::SmtpAttemptReport& report) -> dtl::Status {
    report.cause = expired;
    return dtl::Error(dtl::ErrorCode::Auth, "Failed to connect to SMTP server.");
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    {
      std::lock_guard<std::mutex> lock(mu_);
      attempts_.clear();
    }
    ASSERT_TRUE(settings_.SetDword("SMTPAuth", c.smtpAuth));
    ASSERT_TRUE(doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer)));
    Run();
    EXPECT_EQ(Attempts().size(), 1u);
    EXPECT_EQ(static_cast<bool>(Attempts().front().settings.accessToken), c.smtpAuth == 1);
    const std::string last = log_.Statuses().back();
    if (c.endsRun)
      EXPECT_EQ(last, "0:Failed sending segment number 1: " + expired);
    else
      EXPECT_EQ(last, "0:Stopped") << last;
    EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), c.endsRun ? 0u : 1u);
    EXPECT_TRUE(doc_.CanSend());
    doc_.Stop();
  }
}

TEST_F(SendEngineTest, MissingSourceIsAFileErrorAndAFailedAttempt) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  fs::remove(dir_ / "x");
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  Run();
  EXPECT_EQ(log_.CountOf(SendEventKind::FileError), 1u);
  EXPECT_EQ(log_.Positions(SendEventKind::FailedRetrying), std::vector<int>{0});
  EXPECT_TRUE(Attempts().empty());  // nothing attached, nothing sent
  EXPECT_NE(dtltest::ReadFileText(dir_ / "DTLErrorLog.xml").find("No such file"),
            std::string::npos);
}

class MailClientTest : public SendEngineTest {
 protected:
  // A submission program that stores what it reads and exits with `status`.
  std::string Program(int status) {
    const fs::path p = dir_ / ("sendmail" + std::to_string(status));
    dtltest::WriteFileText(p, "#!/bin/sh\ncat > \"" + (dir_ / "out").string() + "$$.eml\"\nexit " +
                                  std::to_string(status) + "\n");
    fs::permissions(p, fs::perms::owner_all);
    return p.string();
  }
};

TEST_F(MailClientTest, DeliveredSegmentReportsFullProgressAfterDelivery) {
  env_.sendmailProgram = Program(0);
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::Mapi, "a@x.test;b@y.test")));
  Run();
  const auto events = log_.Events();
  ASSERT_GE(events.size(), 4u);
  EXPECT_EQ(events[0].text, "Sending Segment...");
  EXPECT_EQ(events[1].kind, SendEventKind::Delivered);
  EXPECT_EQ(events[2].kind, SendEventKind::UploadPercent);
  EXPECT_EQ(events[2].percent, 100);
  EXPECT_EQ(events[3].kind, SendEventKind::RunEnded);
}

// A stand-in submission program that refuses the account "bad" the way a sendmail-compatible
// program refuses an unknown account, and records the arguments of every call.
TEST_F(MailClientTest, StoredProfileTheProgramRefusesFallsBackToNoProfileAndTheBodyHasNoDot) {
  const fs::path args = dir_ / "args";
  const fs::path program = dir_ / "sendmail-accounts";
  dtltest::WriteFileText(program, "#!/bin/sh\necho \"$*\" >> \"" + args.string() +
                                      "\"\ncase \" $* \" in *\" -a bad \"*) cat > /dev/null; "
                                      "echo \"account bad not found\"; exit 78;; esac\ncat > \"" +
                                      (dir_ / "out").string() + "$$.eml\"\n");
  fs::permissions(program, fs::perms::owner_all);
  env_.sendmailProgram = program.string();
  const struct {
    const char* profile;
    const char* calls;
  } cases[] = {
      {"", "-t -i\n"},
      {"good", "-a good -t -i\n"},
      {"bad", "-a bad -t -i\n-t -i\n"},
  };
  // A refused submission would be retried without end: the first failure stops the run.
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying) doc_.Stop();
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.profile);
    log_.Clear();
    fs::remove(args);
    for (const auto& e : fs::directory_iterator(dir_.path()))
      if (e.path().extension() == ".eml") fs::remove(e.path());
    settings_.SetString("UserName", c.profile);
    ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::Mapi)));
    Run();
    EXPECT_EQ(dtltest::ReadFileText(args), c.calls);
    EXPECT_EQ(log_.CountOf(SendEventKind::FailedRetrying), 0u);
    std::string eml;
    for (const auto& e : fs::directory_iterator(dir_.path()))
      if (e.path().extension() == ".eml") eml = dtltest::ReadFileText(e.path());
    const std::string subject = Subject(eml);
    EXPECT_NE(eml.find("\r\n\r\n" + subject + "\r\n"), std::string::npos) << eml.substr(0, 2000);
    EXPECT_EQ(eml.find(subject + "."), std::string::npos);
  }
}

TEST_F(MailClientTest, FailedSubmissionIsRetriedAfterTheBackOff) {
  env_.sendmailProgram = Program(1);
  log_.onEvent = [this](const dtl::SendEvent& e) {
    if (e.kind == SendEventKind::FailedRetrying && log_.CountOf(SendEventKind::FailedRetrying) == 1)
      doc_.Stop();
  };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::Mapi)));
  Run();
  const std::vector<std::string> want = {
      "0:Sending Segment...", "0:Failed sending segment number 1 via MAPI \u2014 trying again now",
      "0:Sending Segment...",
      "0:Failed sending segment number 1 via MAPI \u2014 trying again in 1 s", "0:Stopped"};
  EXPECT_EQ(log_.Statuses(), want);
  // Stop came with the second failure: its wait never began.
  EXPECT_EQ(Waits(), (std::vector<std::chrono::milliseconds>{0s}));
  EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), 0u);
}

TEST_F(MailClientTest, LogonFailureAbandonsTheRunAndKeepsSendDisabledUntilStop) {
  env_.sendmailProgram = (dir_ / "no-such-program").string();
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::Mapi)));
  Run();
  EXPECT_EQ(log_.Statuses(), std::vector<std::string>{"0:Could not logon to MAPI session."});
  EXPECT_FALSE(doc_.CanSend());
  doc_.Stop();
  EXPECT_TRUE(doc_.CanSend());
}

// Each recipient answered by `codes` (address -> RCPT reply code per attempt, 250 when the
// list runs out); the message is taken at the end of data when any recipient was accepted.
dtl::Status AnswerRecipients(const std::map<std::string, std::vector<int>>& codes, size_t attempt,
                             const dtl::SmtpEnvelope& envelope, dtl::SmtpAttemptReport& report,
                             std::map<std::string, size_t>& asked) {
  for (const std::string& to : envelope.recipients) {
    const auto it = codes.find(to);
    const size_t turn = asked[to]++;
    const int code = it != codes.end() && turn < it->second.size() ? it->second[turn] : 250;
    if (code == 250)
      report.acceptedRecipients.push_back(to);
    else
      report.refusedRecipients.push_back(
          {to, dtl::SmtpReply{code, {code >= 500 ? "5.1.1 no such user" : "4.2.1 busy"}}});
  }
  report.messageAccepted = !report.acceptedRecipients.empty();
  if (report.refusedRecipients.empty()) return {};
  const char* why = report.messageAccepted ? "Partial send failure." : "Send failed.";
  report.log.Error(std::string("Recipient refused: ") + report.refusedRecipients[0].address);
  return dtl::Error(dtl::ErrorCode::Refused, why);
}

// A server that takes some recipients and refuses others: those it took have the segment and
// never get it again; one refused for good is reported and not asked again; one refused for
// now is owed the segment and gets it alone on the retry; nobody left at all ends the run.
TEST_F(SendEngineTest, PartlyRefusedRecipientsGetEachSegmentOnceAndOnlyTheOwedAreRetried) {
  const std::string kRefusedB = "Delivered; refused: b@y.test";
  using Envelopes = std::vector<std::vector<std::string>>;
  const std::vector<std::string> both = {"a@x.test", "b@y.test"}, a = {"a@x.test"},
                                 b = {"b@y.test"};
  const struct {
    const char* name;
    std::map<std::string, std::vector<int>> codes;
    Envelopes envelopes;
    std::vector<int> delivered;
    std::vector<int> partly;
    const char* status;  // a status the run must show
    size_t runEnded;
    std::vector<std::chrono::milliseconds> waits;
    // The Delivered events' texts, which become the rows' final status: a refusal for good is
    // told there, not hidden behind "Success" (an empty text).
    std::vector<std::string> rows;
  } cases[] = {
      {"refused for good",
       {{"b@y.test", {550}}},
       {both, a, a},
       {0, 1, 2},
       {},
       "0:Segment number 1 delivered; refused for good: b@y.test (550 5.1.1 no such user)",
       1,
       {},
       {kRefusedB, kRefusedB, kRefusedB}},
      {"refused for now",
       {{"b@y.test", {450}}},
       {both, b, both, both},
       {0, 1, 2},
       {0},
       "0:Segment number 1 delivered to some recipients; still owed to b@y.test (450 4.2.1 busy) "
       "\u2014 trying again now",
       1,
       {0s},
       {"", "", ""}},
      {"refused for now twice, then for good",
       {{"b@y.test", {450, 450, 550}}},
       {both, b, b, a, a},
       {0, 1, 2},
       {0},
       "0:Segment number 1 delivered; refused for good: b@y.test (550 5.1.1 no such user)",
       1,
       {0s, 1s},
       {kRefusedB, kRefusedB, kRefusedB}},
      {"everyone refused for good",
       {{"a@x.test", {550}}, {"b@y.test", {550}}},
       {both},
       {},
       {},
       "0:The server refused segment number 1 for good: a@x.test (550 5.1.1 no such user), "
       "b@y.test (550 5.1.1 no such user)",
       0,
       {},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    {
      std::lock_guard<std::mutex> lock(mu_);
      attempts_.clear();
    }
    {
      std::lock_guard<std::mutex> lock(waitMutex_);
      waits_.clear();
    }
    std::map<std::string, size_t> asked;
    answer_ = [&](size_t n, const dtl::SmtpEnvelope& e, dtl::SmtpAttemptReport& report) {
      return AnswerRecipients(c.codes, n, e, report, asked);
    };
    ASSERT_TRUE(
        doc_.BuildSplitJob(Request(25000, dtl::SendMethod::SmtpServer, "a@x.test;b@y.test")));
    Run();
    Envelopes envelopes;
    for (const auto& at : Attempts()) envelopes.push_back(at.envelope.recipients);
    EXPECT_EQ(envelopes, c.envelopes);
    EXPECT_EQ(log_.Positions(SendEventKind::Delivered), c.delivered);
    EXPECT_EQ(log_.Positions(SendEventKind::PartlyDelivered), c.partly);
    std::vector<std::string> rows;
    for (const auto& e : log_.Events())
      if (e.kind == SendEventKind::Delivered) rows.push_back(e.text);
    EXPECT_EQ(rows, c.rows);
    const auto statuses = log_.Statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), c.status), statuses.end())
        << ::testing::PrintToString(statuses);
    EXPECT_EQ(log_.CountOf(SendEventKind::RunEnded), c.runEnded);
    EXPECT_EQ(Waits(), c.waits);
    // Over either way, without Stop.
    EXPECT_TRUE(doc_.CanSend());
    EXPECT_TRUE(doc_.AllServedRecipients().empty());
    if (std::string(c.status).find("refused for good") != std::string::npos) {
      EXPECT_NE(dtltest::ReadFileText(dir_ / "DTLErrorLog.xml").find("b@y.test (550"),
                std::string::npos);
    }
  }
  answer_ = nullptr;
}

// A resumed job knows who already has a pending segment: they are not mailed it again.
TEST_F(SendEngineTest, RecipientsServedBeforeAResumeAreNotMailedAgain) {
  ASSERT_TRUE(doc_.BuildSplitJob(Request(15000, dtl::SendMethod::SmtpServer, "a@x.test;b@y.test")));
  ASSERT_TRUE(doc_.RestoreJob(doc_.Fields(), doc_.Records(), {{0, {"a@x.test"}}}));
  Run();
  const auto attempts = Attempts();
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_EQ(attempts[0].envelope.recipients, std::vector<std::string>{"b@y.test"});
  EXPECT_EQ(attempts[1].envelope.recipients, (std::vector<std::string>{"a@x.test", "b@y.test"}));
  // The mail itself still names everybody.
  EXPECT_NE(attempts[0].wire.find("a@x.test"), std::string::npos);
}

// Every failure is retried at once, then after 1 s, 2 s, 4 s ...; a delivery starts the count
// again for the next segment.
TEST_F(SendEngineTest, RetriesWaitZeroThenDoublingSecondsAndADeliveryStartsTheCountAgain) {
  peer_ = [](size_t n) { return n == 6 || n >= 8; };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(15000, dtl::SendMethod::SmtpServer)));
  Run();
  EXPECT_EQ(Waits(), (std::vector<std::chrono::milliseconds>{0s, 1s, 2s, 4s, 8s, 0s}));
  EXPECT_EQ(log_.Positions(SendEventKind::Delivered), (std::vector<int>{0, 1}));
}

// Stop during a retry's wait ends the run at once, and the row's last word is "Stopped", not a
// promise to try again.
TEST_F(SendEngineTest, StopDuringARetryWaitEndsTheRunAtOnceAndTheRowSaysStopped) {
  std::mutex m;
  std::condition_variable cv;
  bool waiting = false;
  env_.wait = [&](std::chrono::milliseconds delay, std::stop_token stop) {
    if (delay == 0ms) return !stop.stop_requested();
    {
      std::lock_guard<std::mutex> lock(m);
      waiting = true;
    }
    cv.notify_all();
    return dtl::WaitUnlessStopped(std::chrono::hours(1), stop);
  };
  peer_ = [](size_t) { return false; };
  ASSERT_TRUE(doc_.BuildSplitJob(Request(5000, dtl::SendMethod::SmtpServer)));
  ASSERT_TRUE(doc_.StartRun(log_, env_));
  {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return waiting; });
  }
  const auto stopped = std::chrono::steady_clock::now();
  doc_.Stop();
  log_.WaitForRuns(1);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 10s);
  EXPECT_EQ(doc_.Wait(), 0);
  EXPECT_EQ(Attempts().size(), 2u);
  EXPECT_EQ(log_.Statuses().back(), "0:Stopped");
  EXPECT_TRUE(doc_.CanSend());
  EXPECT_EQ(doc_.Records()[0].pending, 1);
}

}  // namespace
